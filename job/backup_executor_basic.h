#ifndef SAP_HANA_BACKUP_EXECUTOR_BASIC_H
#define SAP_HANA_BACKUP_EXECUTOR_BASIC_H

#include <ace/Basic_Types.h>

#include <ctime>
#include <string>

#include "agent/http/json_http_session.h"
#include "agent/job/default_backup_job_source.h"
#include "agent/job/job_event_handler.h"
#include "agent/storage/client_io_ex.h"
#include "backint_catalog/backint_catalog_helper.h"
#include "common/hdbsql_executor.h"
#include "common/hdbsql_general_text_handler.h"
#include "job/backup_job_options.h"
#include "job/job_executor_t.h"

namespace sap_hana {

class HANA_Backup_Set;

/// What every HANA backup run needs, for the data and log backup executors:
/// the HANA system behind the job's resource, the session to backupd and its
/// backint catalog, hdbsql with the instance's account, whether this node
/// runs the job, HANA's backup catalog, the server's backup sets, the last
/// restore, and the backup-set record of one database backup.
///
/// Contract:
/// - execute_i(): init_system_info() then execute_backup(); false, logged as
///   "Failed to ... HANA database" ("log" for log backups), when either fails.
/// - is_active(): false (the run ends skipped) for a system-replication
///   secondary, an instance whose state cannot be read, and a stopped
///   instance, except for a log backup of a stopped single instance, or of a
///   cluster whose active master this node is while no instance runs.
/// - Catalog statements run through hdbsql on "SYS_DATABASES" views of a
///   multi-container system and "SYS" views otherwise; reads retry on the
///   back-off waits (slept through backoff_sleep, which tests shorten).
/// - update_metadata() completes a record from the backint job `uuid`: the
///   job record and its files must be readable (an empty file list is
///   awaited over the whole back-off, then "Backup files is empty"); it never
///   removes the backint job: whoever commits the set removes it afterwards,
///   so a failed commit still leaves a trace of the backup.
/// - Every failure is a false result with an error-level line; alerts are
///   raised by the callers named in the operations' comments.
/// One executor per thread; it owns its session and hdbsql executor.
class Backup_Executor_Basic : public Job_Executor_T<Default_Backup_Job_Source, Backup_Job_Options, Job_Event_Handler> {
 public:
  explicit Backup_Executor_Basic(Job& job);
  ~Backup_Executor_Basic() override;

 protected:
  bool execute_i(const Action_Options* options) override;
  bool is_active(const Action_Options* options) override;
  virtual bool execute_backup(const Action_Options* options) = 0;

  bool init_session();
  bool init_hdbsql();
  /// Session, backint catalog, system data of the resource (alert 6 when it
  /// cannot be read), multi-container flag.
  bool init_system_info();

  void init_metadata(HANA_Backup_Set& set);
  bool update_metadata(HANA_Backup_Set& set, const std::string& catalog_uuid);
  bool save_metadata(const HANA_Backup_Set& set);
  /// Under the update lock of (SID, `database`): update_metadata (alert 13,
  /// "Failed to update metadata"), save_metadata (alert 45, `save_failed`),
  /// then the backint job `catalog_uuid` is removed: only a committed set
  /// takes its place.
  bool record_set(HANA_Backup_Set& set, const std::string& catalog_uuid, const std::string& database,
                  const char* save_failed);
  /// Connects `io` to pool `pool_uuid` with the agent's access key; false
  /// (with the cause logged) when its information cannot be read or it
  /// cannot be reached.
  bool connect_pool(const std::string& pool_uuid, Client_IO_Ex& io);

  bool get_last_backup_id(const std::string& database, Job_Definition_Subtype level, ACE_UINT64& backup_id,
                          bool success_only);
  bool get_last_full_backup_id(const std::string& database, ACE_UINT64& backup_id, bool success_only) {
    return get_last_backup_id(database, JOB_DEFINITION_SUBTYPE_FULL, backup_id, success_only);
  }
  bool get_backup_catalog_time(ACE_UINT64 backup_id, time_t& start_time, time_t& end_time);
  bool get_job_state(ACE_UINT64 backup_id, std::string& state);

  bool get_backup_sets(const std::string& database, ACE_UINT64 database_backup_id, json_value& set);
  bool get_last_full_backup_set(const std::string& database, json_value& set);
  bool get_last_restore(const std::string& database, time_t& time);

  /// "SYS_DATABASES" or "SYS".
  const char* schema() const { return mdc_ ? "SYS_DATABASES" : "SYS"; }
  /// Runs a catalog statement until one execution succeeds (with at least a
  /// row when `need_row`), sleeping the back-off waits between attempts.
  bool query_with_retry(const std::string& sql, HDBSQL_General_Text_Handler& handler, bool need_row);
  /// The job's word for messages: "log" or "database".
  const char* backup_word() const { return job_type_ == JOB_DEFINITION_SUBTYPE_ONDEMAND ? "log" : "database"; }
  void alert(int code, std::uint64_t flags, const json_value& parameters);

  std::string sid_;
  std::string instance_name_;
  std::string instance_mgr_name_;
  ACE_UINT16 instance_number_ = 0;
  bool mdc_ = false;
  HDBSQL_Executor hdbsql_;
  Job_Definition_Subtype job_type_;
  Compression_Method compression_ = COMPR_NONE;
  int compression_level_ = 1;
  Backint_Catalog_helper backint_helper_;
  JSON_HTTP_Session session_;
  ACE_UINT64 last_full_backup_id_ = 0;
};

}  // namespace sap_hana

#endif
