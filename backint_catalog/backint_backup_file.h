#ifndef SAP_HANA_BACKINT_BACKUP_FILE_H
#define SAP_HANA_BACKINT_BACKUP_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "agent/json/json_access.h"

namespace sap_hana {

/// One object that hana-backint saved (a pipe or a file), as recorded in the
/// server's backint catalog. A value type; not thread-safe.
///
/// JSON forms:
///  - operator<< reads the object form; every member optional ("filename",
///    "size", "storage_size", "extern_backup_id", "source_type",
///    "storage_path", "info_uuid", "origin_path", "location", "pool_uuid",
///    "database_backup_id", "backup_time"); a member of the wrong kind raises
///    Json_Member_Error for the caller to catch.
///  - operator>> writes "info_uuid", "filename", "size", "storage_size",
///    "extern_backup_id", "source_type", "storage_path", "origin_path",
///    "pool_uuid", "database_backup_id" always, then "location" and
///    "backup_time" only when not empty. `id` is never written.
///  - parse reads a row in the server's storage form: "id", "info_uuid",
///    "filename", "origin_path", "size", "storage_size", "extern_backup_id",
///    "source_type", "pool_uuid", "storage_path" required; "extended_attrs"
///    optional JSON text whose "backup_time" is taken when it parses to an
///    object (text that does not parse, or a member that is not a string, is
///    ignored); "location" and "database_backup_id" optional. A missing or
///    mistyped member logs "Failed to parse backup file info, %s\n" and
///    leaves the record unchanged.
class Backup_File_Info {
 public:
  std::uint64_t id = 0;  ///< server row id; read only by parse
  std::string info_uuid;
  std::string filename;     ///< base name of the source
  std::string origin_path;  ///< full path as HANA named it
  std::uint64_t size = 0;
  std::uint64_t storage_size = 0;
  std::string extern_backup_id;  ///< the EBID given to HANA
  std::string source_type;       ///< "pipe" or "file"
  std::string pool_uuid;
  std::string storage_path;  ///< object path inside `location`
  std::string backup_time;   ///< ISO 8601, as the server gives it
  std::string location;
  std::uint64_t database_backup_id = 0;

  Backup_File_Info& operator<<(const json_value& object);
  const Backup_File_Info& operator>>(json_value& object) const;
  bool parse(const json_value& object);
};

using Backup_File_Infos = std::vector<Backup_File_Info>;

/// Appends one Backup_File_Info per object element of `array`, read with
/// operator<<; elements that are not objects are skipped. False (nothing
/// appended) when `array` is not an array. Raises Json_Member_Error like
/// operator<< when an element has a member of the wrong kind (elements
/// before it stay appended).
bool Array_to_Backup_File_Info(const json_value& array, Backup_File_Infos& list);

}  // namespace sap_hana

#endif
