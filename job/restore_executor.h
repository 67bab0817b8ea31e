#ifndef SAP_HANA_RESTORE_EXECUTOR_H
#define SAP_HANA_RESTORE_EXECUTOR_H

#include <ace/Basic_Types.h>

#include <map>
#include <string>
#include <vector>

#include "agent/job/job_event_handler.h"
#include "common/hdbsql_executor.h"
#include "common/resource_info_getter.h"
#include "job/job_executor_t.h"
#include "job/restore_job_options.h"
#include "job/restore_job_source.h"
#include "job/restore_source_collector.h"

namespace sap_hana {

/// Runs a HANA point-in-time restore job on the agent of the target host.
///
/// The run (execute_i, on the job thread) holds the job mutexes of the
/// source resource and of the target resource (taken in the order of their
/// IDs, so two restores in opposite directions cannot deadlock), so that no
/// backup of either system runs meanwhile, and then:
///  1. refuses any subtype but point in time ("Type %s is not supported");
///  2. reads the target resource's first instance and, for a scale-out
///     system, its other hosts (at least one besides this host; alert 6);
///  3. reads the system's version (below 1.00.100 the statements name no
///     catalog), writes the access key file for hana-backint;
///  4. places the hana-backint link (alert 1);
///  5. orders the entries: on a multi-container system the "SYSTEMDB" entry
///     first; on a single-container system every entry is the system
///     database;
///  6. checks every entry's names (HANA identifiers) and point in time
///     ("YYYY-MM-DD HH:MM:SS") before any database is touched (alert 15);
///  7. logs on through hdbsql with the instance's account (alert 2) and
///     makes the catalog configuration directory reachable for <sid>adm;
///  8. collects every entry's backups (Restore_Source_Collector, alert 5,
///     with the latest reachable time when the backups do not reach the
///     entry's point in time) before any database is stopped;
///  9. per entry: from another system, prepares that system's pipe directory for the
///     origin's object names; writes the catalog configuration file when a
///     HANA catalog backup was found (alert 16) and the restore
///     configuration file (both 0640, group sapsys, pushed to the other
///     hosts of a scale-out system through "hana.file.download"); restores;
///     reports progress current * 100 / total and adds the sizes to the
///     activity record.
/// The first failure ends the run; what was restored stays restored and
/// nothing is undone.
///
/// Stop and abort are honoured between databases: the database being
/// recovered when one comes is finished (recovered and started), no further
/// one is touched, and the run ends cancelled with a log line naming the
/// databases restored and those not restored, also when the last one was
/// finished.
///
/// After the recovery of a point in time, the point HANA's backup.log
/// reports the recovery reached must not be earlier than asked (alert 15
/// naming it); HANA ends such a recovery successfully wherever its logs
/// end. When HANA reports no point, the catalog's check stands.
///
/// A tenant restore holds the database's control lock from before its stop
/// to after its start: the RECOVER statement is made (and checked) first,
/// then the tenant is stopped (up to 3 attempts, alert 4), recovered
/// through hdbsql on the system database (alert 15) and started (alert 3).
///
/// A system database restore makes the statement, refuses to run while a
/// recoverInstance.sql is left in the instance's work directory (alert 18
/// naming the file, before anything is stopped), stops the instance
/// (alert 4), writes the statement into a new recoverInstance.sql, starts
/// the instance, which recovers (alert 15), restarts the other hosts of a
/// scale-out system through "hana.instance.control" (alert 17 per host
/// that fails, and the restore goes on), and starts the tenant named like
/// the SID on a multi-container system (result ignored).
///
/// Every failure is logged at error priority. One executor per run.
class Restore_Executor : public Job_Executor_T<Restore_Job_Source, Restore_Job_Options, Job_Event_Handler> {
 public:
  using Entry_Item = Restore_Job_Source::Entry_Item;
  using Entry_List = Restore_Job_Source::Entry_List;
  using Backup_Set_Info = Restore_Source_Collector::Backup_Set_Info;
  using HANA_Catalog_Info = Restore_Source_Collector::HANA_Catalog_Info;

  explicit Restore_Executor(Job& job);
  ~Restore_Executor() override;

 protected:
  bool execute_i(const Action_Options* options) override;

  bool execute_restore();
  bool init_hdbsql();
  bool sort_entries();
  /// Names and points in time of every entry, before anything is stopped.
  bool check_entries();
  bool check_feature();
  bool get_cluster_info();
  bool change_conf_dir_permission();
  bool restore_catalog(const Entry_Item& entry, const HANA_Catalog_Info& catalog);
  /// The restore configuration file of `sid`/`database`; it names
  /// `origin_sid` when the backups come from that other system.
  bool generate_ext_conf_file(const std::string& sid, const std::string& database, const std::string& origin_sid);
  /// Writes `content` to `path` (0640, group sapsys) and pushes it to the
  /// other hosts; `what` names the file in the failure message.
  bool write_conf_file(const std::string& path, const json_value& content, const char* what);
  bool sync_config(const std::string& path, const json_value& content);
  bool prepare_origin_pipe_dir(const Backup_Set_Info& set);
  bool restore_data(bool systemdb, const Backup_Set_Info& set, const HANA_Catalog_Info& catalog);
  bool restore_systemdb(const Backup_Set_Info& set, const HANA_Catalog_Info& catalog);
  bool restore_tenantdb(const Backup_Set_Info& set, const HANA_Catalog_Info& catalog);
  bool generate_restore_cmd(const Backup_Set_Info& set, const HANA_Catalog_Info& catalog, std::string& statement,
                            bool tenant);
  void alert(int code, const json_value& parameters);
  /// A stop or abort was asked for; logs what was restored (the first
  /// `restored` entries) and what not.
  bool stop_requested(unsigned restored);
  /// The sizes of a database's backup.log files on this host before its
  /// recovery, so that only what the recovery writes is read afterwards.
  struct Log_Marks {
    std::string database;
    std::map<std::string, long long> sizes;
  };
  Log_Marks backup_log_marks(const std::string& database, bool systemdb);
  /// The point HANA reports its recovery reached is not before the set's
  /// target time (point-in-time restores only).
  bool check_reached(const Backup_Set_Info& set, const Log_Marks& marks);

  Entry_List sorted_entries_;
  std::string sid_;
  std::string instance_name_;
  std::string instance_mgr_name_;
  ACE_UINT16 instance_number_ = 0;
  std::string hana_version_;
  bool ancient_version_ = false;
  bool ignore_delta_ = false;
  HDBSQL_Executor hdbsql_;
  bool mdc_ = false;
  Resource_Info_Getter::Instances_Info cluster_instances_;
  bool is_cluster_ = false;
  std::string pool_uuid_;
  std::string log_pool_uuid_;
};

}  // namespace sap_hana

#endif
