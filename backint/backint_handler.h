#ifndef SAP_HANA_BACKINT_HANDLER_H
#define SAP_HANA_BACKINT_HANDLER_H

#include <exception>
#include <string>

#include "agent/http/json_http_session.h"
#include "agent/storage/client_io_ex.h"
#include "backint/backint_catalog_lookup.h"
#include "backint/backint_info.h"
#include "backint/backint_local_config.h"
#include "backint/backint_pool_cache.h"
#include "backint/backint_protocol.h"
#include "backint_catalog/backint_catalog_helper.h"

namespace sap_hana {

/// Common base of the hana-backint function handlers.
///
/// A handler lives for one process run: constructed from the command line,
/// execute() once, destroyed. It owns the HTTP session to backupd and the
/// backint catalog client, and composes the parts the handlers work with:
///   - protocol_: the Backint input and output files (Backint_Protocol);
///   - catalog_:  lookups of backed-up objects in the backint catalog and
///                in the server's backup-set catalog (Backint_Catalog_Lookup);
///   - config_:   hana.conf (Backint_Local_Config);
///   - pools_:    pool descriptions and stored-object checks (Backint_Pool_Cache);
/// plus the HANA environment of the calling instance (sid_, landscape_id_).
///
/// Not thread-safe: hana-backint is single-threaded.
class Backint_Handler {
 public:
  using Catalog_Backup_File_Info = Backint_Catalog_Lookup::Catalog_Backup_File_Info;
  using Catalog_Backup_File_Infos = Backint_Catalog_Lookup::Catalog_Backup_File_Infos;
  using Source = Backint_Protocol::Source;
  using Restore_Entry = Backint_Protocol::Restore_Entry;
  using System_Scope = Backint_Catalog_Lookup::System_Scope;

  explicit Backint_Handler(const Backint_Info& info);
  virtual ~Backint_Handler();
  Backint_Handler(const Backint_Handler&) = delete;
  Backint_Handler& operator=(const Backint_Handler&) = delete;

  /// Opens the input and output files, handle_par_file, init_session,
  /// execute_i, in this order; the first failure stops the chain. True when
  /// all succeeded and no "#ERROR" line was written (the exit code follows
  /// it). An exception ends the chain with an "#ERROR" pair, never without
  /// an answer. Lines written before "#SOFTWAREID" follow it.
  bool execute();

  /// Splits `user_id` at the first "@": database before, SID after. Without
  /// "@" the whole id is the SID and `database` is left unchanged.
  static void parse_userid(const std::string& user_id, std::string& database, std::string& sid);
  /// The last "/"-separated component of `path` (the whole text without "/").
  static std::string base_name(const std::string& path);
  static bool is_catalog(const std::string& name);
  static bool is_log(const std::string& name);
  /// A new time-based UUID as 32 hexadecimal characters. May be called
  /// from several threads once prepare_uuid_generator has run.
  static bool generate_uuid(std::string& uuid);
  /// Creates and initialises ACE's UUID generator, once per process; the
  /// run calls it on the main thread before any stream starts.
  static void prepare_uuid_generator();

 protected:
  /// The handler's own work.
  virtual bool execute_i() = 0;
  /// Accepts every call without reading the parameter file.
  virtual bool handle_par_file();

  /// Connects the session and the catalog client to backupd of the command
  /// line, with the access key on the session's headers. False with an
  /// error pair "NULL" when there is no address or no session.
  bool init_session();
  /// Fills sid_ and landscape_id_ from the environment of this process.
  bool get_system_env();
  void parse_userid(std::string& database, std::string& sid) const { parse_userid(info_.user_id, database, sid); }

  /// The system whose backups may answer an entry HANA named `file`: this
  /// one (sid_, or the user id's SID while sid_ is unknown, and
  /// landscape_id_), or origin_sid_ when `file` lies below that system's
  /// /usr/sap/<SID>/ (the agent's restore job names the origin of a
  /// restore from another system in the restore configuration). False
  /// when `file` names any other system: nothing of it may be answered.
  bool scope_for(const std::string& file, System_Scope& scope) const;

  /// Runs the work of one object (`name`: its file as HANA named it). An
  /// exception thrown by it (std::bad_alloc, say) becomes that object's
  /// error pair, "Unexpected failure: <what>\n", and false: HANA learns
  /// which object failed, and the run ends with exit code 1.
  template <typename Step>
  bool for_object(const std::string& name, Step step) {
    try {
      return step();
    } catch (const std::exception& e) {
      return object_failed(name, e);
    }
  }
  bool object_failed(const std::string& name, const std::exception& e);

  Backint_Info info_;
  Backint_Protocol protocol_;
  std::string sid_;
  std::string landscape_id_;
  /// The other system a restore of this one may read from; empty: none.
  std::string origin_sid_;
  Client_IO_Ex io_;
  JSON_HTTP_Session http_session_;
  Backint_Catalog_helper backint_helper_;
  Backint_Catalog_Lookup catalog_;
  Backint_Local_Config config_;
  Backint_Pool_Cache pools_;
};

}  // namespace sap_hana

#endif
