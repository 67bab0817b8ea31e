#ifndef SAP_HANA_RESTORE_SOURCE_COLLECTOR_H
#define SAP_HANA_RESTORE_SOURCE_COLLECTOR_H

#include <ace/Basic_Types.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "agent/json/json_access.h"
#include "job/restore_job_source.h"

namespace sap_hana {

/// Finds, for one restore entry, what HANA must read: the full data backup
/// set, the point in time, the HANA backup catalog backup that covers it
/// and the sizes to move, by asking backupd's "hana" catalog views ("set",
/// "rselect", "sets_size") and the resource record of the backed-up system.
///
/// Contract:
/// - collect() true: get_backup_set() names the full data backup (its
///   catalog UUID and HANA backup ID, the highest data volume ID among its
///   files) and the target time; is_full_backup is true when nothing is
///   replayed past that backup. get_hana_catalog() names the catalog backup
///   file and its pool; its database_backup_id is 0 only for a full restore
///   whose catalog backup could not be found. The sizes are 0 when they
///   could not be learnt, which never fails the collection.
/// - A point in time is read as backupd sends it (Restore_Time) and kept as
///   UTC "YYYY-MM-DD HH:MM:SS" in target_time.
/// - A restore to a point in time (no catalog UUID) past the full data
///   backup is collected
///   only when the backups reach it: the log sets of the backup's lifeline
///   (backupd's set query), per log volume in the order of their log
///   positions from the first one begun after the data backup, must follow
///   one another without a gap up to one begun at or after the point in
///   time (a log backup holds the log up to its start). Otherwise collect()
///   fails naming the latest time they reach (get_reachable_time()).
/// - collect() false: every cause is logged at error priority; the results
///   are partly filled and must not be used.
/// - Every server request goes through a fresh Catalog_Operator (the
///   agent's backupd, retried up to `max_seconds_retry`), the resource
///   record through Resource_Info_Getter, the pool through get_pool_info.
/// - `entry` must outlive the collector. One collector per entry and thread.
class Restore_Source_Collector {
 public:
  struct Backup_Set_Info {
    std::string origin_dbname;
    std::string origin_sid;
    std::string target_dbname;
    std::string catalog_uuid;  ///< the full data backup set
    ACE_UINT64 database_backup_id = 0;
    std::string backup_start_time;  ///< "YYYY-MM-DD HH:MM:SS" as the catalog gives them
    std::string backup_end_time;
    std::string target_time;  ///< the moment to restore to
    std::string lifeline;
    bool is_full_backup = false;  ///< restore exactly the full backup, no log replay
    bool origin_mdc = false;      ///< the backed-up system is multi-container
    ACE_UINT16 volume_id = 0;     ///< highest data volume ID of the set's files
  };
  struct File_Detail {
    std::string storage_path;
    std::string extern_backup_id;
    std::string source_type;
    ACE_UINT64 size = 0;
  };
  struct HANA_Catalog_Info {
    std::string location;  ///< URL of the pool holding the catalog backup
    std::string pool_uuid;
    ACE_UINT64 database_backup_id = 0;  ///< 0: no catalog backup found
    File_Detail file_detail;
  };

  /// `resource_uuid`: the backed-up HANA resource (the job source's id).
  /// `pool_uuid`, `log_pool_uuid`: the job source's pools, may be empty.
  Restore_Source_Collector(const std::string& resource_uuid, const Restore_Job_Source::Entry_Item& entry,
                           std::size_t max_seconds_retry, bool ignore_delta, const std::string& pool_uuid,
                           const std::string& log_pool_uuid);
  Restore_Source_Collector(const Restore_Source_Collector&) = delete;
  Restore_Source_Collector& operator=(const Restore_Source_Collector&) = delete;

  bool collect();

  const Backup_Set_Info& get_backup_set() const { return backup_set_info_; }
  const HANA_Catalog_Info& get_hana_catalog() const { return hana_catalog_info_; }
  ACE_UINT64 get_total_size() const { return total_size_; }
  ACE_UINT64 get_total_source_size() const { return total_source_size_; }
  /// After collect(): the latest point in time the backups reach (0 when
  /// it was not learnt).
  time_t get_reachable_time() const { return reachable_time_; }

 private:
  bool get_view(const std::string& view, const json_value& params, json_value& answer);
  bool collect_backup_set_by_uuid(json_value& set);
  /// The first row of an "rselect" query, logged on failure.
  bool query_first_row(const json_value& params, json_value& row);
  bool parse_full_backup(const json_value& record);
  bool query_hana_catalog(json_value& row);
  bool parse_hana_catalog(const json_value& row);
  void collect_sets_size();
  /// Whether the log sets carry the restore from the data backup to the
  /// target time; sets reachable_time_.
  bool check_log_chain();

  const Restore_Job_Source::Entry_Item& source_entry_;
  std::string resource_uuid_;
  Backup_Set_Info backup_set_info_;
  HANA_Catalog_Info hana_catalog_info_;
  std::size_t max_seconds_retry_;
  ACE_UINT64 total_size_ = 0;
  ACE_UINT64 total_source_size_ = 0;
  time_t reachable_time_ = 0;
  bool ignore_delta_;
  std::string pool_uuid_;
  std::string log_pool_uuid_;
};

}  // namespace sap_hana

#endif
