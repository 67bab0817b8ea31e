#include "job/database_lock_manager.h"

#include <ace/Guard_T.h>

namespace sap_hana {

Database_Lock_Manager* Database_Lock_Manager::instance() {
  // Never destroyed: job threads may still hold pointers to its mutexes
  // while the process exits.
  static Database_Lock_Manager* manager = new Database_Lock_Manager;
  return manager;
}

ACE_Thread_Mutex* Database_Lock_Manager::get_update_lock(const std::string& sid, const std::string& database) {
  return get_lock(sid, database, update_locks_);
}

ACE_Thread_Mutex* Database_Lock_Manager::get_control_lock(const std::string& sid, const std::string& database) {
  return get_lock(sid, database, control_locks_);
}

ACE_Thread_Mutex* Database_Lock_Manager::get_lock(const std::string& sid, const std::string& database, Lock_Map& map) {
  if (sid.empty() || database.empty()) return nullptr;
  // Job threads of different jobs ask at the same time; std::map is not
  // safe for a concurrent insert and lookup.
  ACE_Guard<ACE_Thread_Mutex> guard(maps_lock_);
  std::unique_ptr<ACE_Thread_Mutex>& slot = map[sid + "@" + database];
  if (!slot) slot.reset(new ACE_Thread_Mutex);
  return slot.get();
}

}  // namespace sap_hana
