#include "agent/job/job_mutex.h"

#include <map>
#include <mutex>

std::shared_ptr<ACE_Thread_Mutex> Job_Mutex::get(const std::string& id) {
  static std::mutex guard;
  static auto* mutexes = new std::map<std::string, std::weak_ptr<ACE_Thread_Mutex>>;
  std::lock_guard<std::mutex> lock(guard);
  auto& slot = (*mutexes)[id];
  std::shared_ptr<ACE_Thread_Mutex> mutex = slot.lock();
  if (!mutex) {
    // Drop what nobody holds any more, so the map stays as small as the
    // set of IDs in use.
    for (auto it = mutexes->begin(); it != mutexes->end();) {
      if (it->first != id && it->second.expired())
        it = mutexes->erase(it);
      else
        ++it;
    }
    mutex = std::make_shared<ACE_Thread_Mutex>();
    (*mutexes)[id] = mutex;
  }
  return mutex;
}
