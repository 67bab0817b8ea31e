#ifndef SAP_HANA_LOG_BACKUP_HANDLER_H
#define SAP_HANA_LOG_BACKUP_HANDLER_H

#include <string>

#include "agent/backupd/job_activity.h"
#include "backint/backup_basic_handler.h"

namespace sap_hana {

/// The log and catalog backup handler of `hana-backint -f backup -l
/// log|catalog`. HANA starts these calls by itself, outside any agent job.
///
/// Run (execute_backup), failures written as an error pair naming the -i
/// file:
///  1. the level must be log or catalog ("Level %d is not supported in log
///     backup handler\n");
///  2. system information, the instance name required ("Failed to collect
///     system info\n");
///  3. the input ("Failed to handle input file\n");
///  4. load_conf ("Failed to load configuration\n");
///  5. the software-id line and every source (Backint_Backup_Basic_Handler);
///  6. for delta data backups, the agent job's backup id is set to -s; its
///     failure is written but does not change the run's result.
///
/// load_conf: the pipe kind and the database from the first source; the
/// job UUID from the tool option (every ";"-separated piece that begins
/// with "job_uuid=", the last one winning); log pipes take the ondemand
/// configuration, delta data pipes the agent job; either falling back to
/// hana.conf's local backup location.
///
/// load_ondemand_conf reads the file that the agent's log backup job wrote
/// ("log_backup_<SID>_<instance>_<database>", else the instance-wide
/// "log_backup_<SID>_<instance>" in the agent's HANA work directory): a JSON
/// object with the required strings "location", "type", "host_uuid",
/// "job_definition_uuid", "uid", "pool_uuid" and the optional
/// "compression", "compression_level" and "io_ctl" (whose rate windows are
/// not read here). It registers a new backint job (fresh UUID) for every
/// call, when the job definition's activity record says it is active, and
/// asks backupd to enqueue a start of the job definition (POST
/// "/d2/r/hana/backint/job/enqueue", no retry; a failure is only a #DEBUG
/// line). The job and the request stay even when the transfer then fails.
class Backint_Log_Backup_Handler : public Backint_Backup_Basic_Handler {
 public:
  enum Log_Backup_Type { TYPE_LOG = 0, TYPE_INCREMENTAL = 1, TYPE_DIFFERENTIAL = 2, TYPE_UNKNOWN = 3 };

  /// One control request for a job of backupd.
  struct Backupd_Job_Option {
    std::string method;
    std::string job_def_uuid;
    std::string job_uuid;
    std::string uid;
  };

  explicit Backint_Log_Backup_Handler(const Backint_Info& info) : Backint_Backup_Basic_Handler(info) {}

  /// The kind of a pipe from its base name: "log_backup*" is a log;
  /// containing "databackup_incremental" / "databackup_differential" a
  /// delta data backup; anything else a log. Always true.
  static bool parse_pipe_name(const std::string& name, Log_Backup_Type& type);
  /// The value of the last ";"-separated piece of `tool_options` that begins
  /// with "job_uuid="; `job_uuid` unchanged when there is none.
  static void parse_job_uuid(const std::string& tool_options, std::string& job_uuid);
  /// False for JOB_STATE_NONE, JOB_STATE_DELETED and JOB_STATE_DISABLED.
  static bool is_active_state(Job_State state);

  /// The state in the activity record of `job_uuid` (opened read-only and
  /// closed again at once). False (with a #DEBUG line when it cannot be
  /// opened) when there is no valid record.
  bool get_job_state(const std::string& job_uuid, Job_State& state);
  /// True when the job's activity record can be read and its state is active.
  bool job_is_active(const std::string& job_uuid);

 protected:
  bool execute_backup() override;
  bool load_conf() override;
  bool load_ondemand_conf();
  bool update_database_backup_id();
  /// POST "/d2/r/hana/backint/job/enqueue"; true on status 200. False
  /// without a message when the session is not usable or a field is empty.
  bool backupd_job_ctl(const Backupd_Job_Option& option);

  Log_Backup_Type log_backup_type_ = TYPE_UNKNOWN;
};

}  // namespace sap_hana

#endif
