#ifndef SAP_HANA_DATABASE_LOCK_MANAGER_H
#define SAP_HANA_DATABASE_LOCK_MANAGER_H

#include <ace/Thread_Mutex.h>

#include <map>
#include <memory>
#include <string>

namespace sap_hana {

/// The process-wide registry of per-database mutexes through which the HANA
/// jobs keep their work on one database from overlapping:
/// - the update lock, held while a database's backup-set record is completed
///   and committed (data and log backups);
/// - the control lock, held while a database is stopped, recovered or
///   started (log backups and restores).
/// The two locks of one database are independent of each other.
///
/// Contract: a database is keyed "<SID>@<database>". A mutex is made on first
/// request and lives as long as the process, so callers keep plain pointers
/// and take it with a blocking ACE_Guard (a guard that failed to lock is the
/// caller's failure). An empty SID or database gives null. Thread-safe: the
/// lookups are serialised.
class Database_Lock_Manager {
 public:
  static Database_Lock_Manager* instance();

  ACE_Thread_Mutex* get_update_lock(const std::string& sid, const std::string& database);
  ACE_Thread_Mutex* get_control_lock(const std::string& sid, const std::string& database);

  Database_Lock_Manager(const Database_Lock_Manager&) = delete;
  Database_Lock_Manager& operator=(const Database_Lock_Manager&) = delete;

 private:
  using Lock_Map = std::map<std::string, std::unique_ptr<ACE_Thread_Mutex>>;

  Database_Lock_Manager() = default;
  ACE_Thread_Mutex* get_lock(const std::string& sid, const std::string& database, Lock_Map& map);

  ACE_Thread_Mutex maps_lock_;
  Lock_Map update_locks_;
  Lock_Map control_locks_;
};

}  // namespace sap_hana

#endif
