#ifndef SAP_HANA_BACKINT_CATALOG_LOOKUP_H
#define SAP_HANA_BACKINT_CATALOG_LOOKUP_H

#include <cstdint>
#include <string>
#include <vector>

#include "agent/base/lookup_status.h"
#include "agent/base/secure_string.h"
#include "agent/http/json_http_session.h"
#include "backint/backint_protocol.h"
#include "backint_catalog/backint_catalog_helper.h"

namespace sap_hana {

/// Finds backed-up objects in the two catalogs of backupd: the backint
/// catalog (through Backint_Catalog_helper, "local" below) and the server's
/// backup-set catalog (GET "/d2/r/v2/sets/select", "backupd" below).
///
/// Single lookups answer a Lookup_Status: found (`info` filled), not found
/// (the catalogs were read and hold no match), or failed (a catalog could
/// not be read after its retries, or its answer was malformed). A failure
/// has been written to the protocol as a "#DEBUG" line, or as a "#DEBUG" /
/// "#ERROR" pair where the text says so. Listings answer true or false.
///
/// Borrows the protocol, the catalog client and the session; they must
/// outlive it. Not thread-safe.
class Backint_Catalog_Lookup {
 public:
  /// One backed-up object found in a catalog. `path` is the storage
  /// location to connect to and `filename` the object's path inside it.
  struct Catalog_Backup_File_Info {
    std::string database;
    std::string ebid;
    std::string path;
    std::string filename;
    std::string source_type;
    std::string origin_path;
    std::string pool_uuid;
    std::string storage_path;
    std::string backup_time;
    std::uint64_t size = 0;
    std::uint64_t database_backup_id = 0;
    void clear() { *this = Catalog_Backup_File_Info(); }
  };
  using Catalog_Backup_File_Infos = std::vector<Catalog_Backup_File_Info>;

  /// The system whose backups a lookup may answer. The backint catalog is
  /// asked for the landscape id of the backup's job; in both catalogs a
  /// backup HANA named below /usr/sap/<SID>/ must name this SID (the
  /// backup-set catalog knows no landscape, and a system copy keeps it).
  struct System_Scope {
    std::string landscape_id;  // empty: any landscape
    std::string sid;           // empty: any SID
  };

  /// The SID of a path below /usr/sap/<SID>/ ("<database>@<SID>" there
  /// too); empty for any other path.
  static std::string sid_of_path(const std::string& path);
  /// True when the backup HANA named `origin_path` may belong to `scope`'s
  /// system (a path that names no SID is judged by the landscape alone).
  static bool in_scope(const System_Scope& scope, const std::string& origin_path);

  /// `access_key` goes on every backup-set request (may be empty).
  Backint_Catalog_Lookup(Backint_Protocol& protocol, Backint_Catalog_helper& catalog, JSON_HTTP_Session& session,
                         const secure_string& access_key);

  /// Every lookup and listing answers only backups of `scope`'s system;
  /// the others count as not there.
  ///
  /// By EBID: the backint catalog first, then the backup sets (restricted
  /// to `pool_uuid` when not empty).
  Lookup_Status get_backup_file(const std::string& ebid, const std::string& pool_uuid, const System_Scope& scope,
                                Catalog_Backup_File_Info& info);
  /// By file name in both catalogs; when both hold it, the one with the
  /// higher database backup id. Found when either has it, even if the other
  /// could not be read; failed only when nothing was found and a catalog
  /// could not be read.
  Lookup_Status get_backup_file(const std::string& database, const std::string& filename, const std::string& pool_uuid,
                                const System_Scope& scope, Catalog_Backup_File_Info& info);
  /// The backint catalog only (the last matching row).
  Lookup_Status get_backup_file_from_local(const std::string& ebid, const System_Scope& scope,
                                           Catalog_Backup_File_Info& info);
  /// The backup sets only (the first matching row).
  Lookup_Status get_backup_file_from_backupd(const std::string& ebid, const std::string& pool_uuid,
                                             const System_Scope& scope, Catalog_Backup_File_Info& info);

  /// One page of backup-set rows; `list` is cleared first and holds the
  /// rows of the page within the scope, `total` counts every row.
  bool get_backup_files_from_backupd(const std::string& database, const std::string& filename,
                                     const std::string& pool_uuid, const System_Scope& scope, std::uint64_t& total,
                                     Catalog_Backup_File_Infos& list, std::uint64_t offset, std::uint64_t limit);
  /// One page of backint catalog rows; `list` is cleared first (and holds
  /// the rows within the scope, as above). False when
  /// the catalog could not be read (nothing written: the caller names the
  /// entry that failed).
  bool get_backup_files_from_local(const std::string& database, const std::string& filename, const System_Scope& scope,
                                   std::uint64_t& total, Catalog_Backup_File_Infos& list, std::uint64_t offset,
                                   std::uint64_t limit);
  /// GET "/d2/r/v2/sets/select" with `query` and the fixed parameters,
  /// through Retrying_JSON_Session; the rows appended to `list`.
  bool get_backup_files_req(const std::string& query, std::uint64_t& total, Catalog_Backup_File_Infos& list);

  static void parse_backint_catalog_info(const Backup_File_Info& record, Catalog_Backup_File_Info& info);

 private:
  Backint_Protocol& protocol_;
  Backint_Catalog_helper& catalog_;
  JSON_HTTP_Session& session_;
  const secure_string& access_key_;
};

}  // namespace sap_hana

#endif
