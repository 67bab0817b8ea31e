#include "agent/base/thread_helper.h"

#include <cerrno>
#include <memory>
#include <new>

namespace {

struct Thread_Record {
  std::function<int()> body;
};

ACE_THR_FUNC_RETURN run_thread(void* arg) {
  std::unique_ptr<Thread_Record> record(static_cast<Thread_Record*>(arg));
  int result = record->body();
  // The body (and whatever it keeps alive) goes before the thread ends, so
  // a joiner never sees the thread done with its references still held.
  record.reset();
  return reinterpret_cast<ACE_THR_FUNC_RETURN>(static_cast<intptr_t>(result));
}

}  // namespace

Thread_Helper::Thread_Helper(std::function<int()> function, long flags, long priority)
    : function_(std::move(function)), flags_(flags), priority_(priority) {}

Thread_Helper::~Thread_Helper() {
  if (spawned_ && !joined_ && (flags_ & THR_JOINABLE) != 0) join(nullptr);
}

std::function<int()> Thread_Helper::thread_body(std::function<int()> function) { return function; }

int Thread_Helper::spawn() {
  if (spawned_ || !function_) {
    errno = EINVAL;
    return -1;
  }
  auto* record = new (std::nothrow) Thread_Record{thread_body(function_)};
  if (record == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  ACE_thread_t id{};
  ACE_hthread_t handle{};
  if (ACE_Thread_Manager::instance()->spawn(run_thread, record, flags_, &id, &handle, priority_) == -1) {
    delete record;
    return -1;
  }
  thread_id_ = id;
  handle_ = handle;
  spawned_ = true;
  return 0;
}

int Thread_Helper::join(int* result) {
  if (!spawned_ || joined_ || (flags_ & THR_JOINABLE) == 0) {
    errno = EINVAL;
    return -1;
  }
  ACE_THR_FUNC_RETURN status = 0;
  if (ACE_Thread_Manager::instance()->join(thread_id_, &status) == -1) return -1;
  joined_ = true;
  if (result != nullptr) *result = static_cast<int>(reinterpret_cast<intptr_t>(status));
  return 0;
}
