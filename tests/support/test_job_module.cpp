// A job module for the agent's tests: a job creator whose jobs run a
// counted course on a thread of their own, and the framework's backup
// source parser behind a parser creator, exported as a plug-in exports
// its own.
//
// A run follows the start options: "steps" (3) progress reports
// "step_ms" (10) milliseconds apart, then success, or a failure with an
// alert when "fail" is true. A stop or pause asked for meanwhile ends it
// canceled or paused at the next step. The definition's precondition and
// pre-action scripts run first (a failed precondition leaves the job idle
// without any report). Each run logs "Test job step <n>" on its thread.

#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <thread>

#include <ace/Log_Msg.h>

#include "agent/base/object_creator.h"
#include "agent/job/default_backup_job_source_parser.h"
#include "agent/job/job.h"
#include "agent/job/job_creator.h"
#include "agent/job/job_event_handler.h"
#include "agent/job/job_thread_helper.h"
#include "agent/job/write_job_alert.h"
#include "agent/process/execute_script.h"

namespace {

int option_int(const Action_Options& options, const char* key, int fallback) {
  auto it = options.find(key);
  return it != options.end() && it->second.is_number_integer() ? it->second.get<int>() : fallback;
}

class Test_Job : public Job {
 public:
  using Job::Job;

  int start_i(const Action_Options* options) override {
    Action_Options opts = options != nullptr ? *options : Action_Options();
    Job_var self(this);
    Job_Thread_Helper thread(self, [this, opts]() { return run_i(&opts); });
    return thread.spawn();
  }
  int stop_i(const Action_Options*) override { return state_i(JOB_STATE_CANCELING); }
  int pause_i(const Action_Options*) override { return state_i(JOB_STATE_PAUSING); }
  int resume_i(const Action_Options*) override { return state_i(JOB_STATE_RUNNING); }

  int run_i(const Action_Options* options) override {
    set_job_thread();
    course(*options);
    complete();
    return 0;
  }

 private:
  void course(const Action_Options& options) {
    Job_Event_Handler events(*this);
    const Job_Definition& def = definition();
    if (!execute_script(def.precondition(), 0, Log_Callback())) {
      activity().start_time = activity().last_run_time = std::time(nullptr);
      activity().state = JOB_STATE_IDLE;
      sync(nullptr);
      return;
    }
    events.handle_start_job();
    if (!execute_script(def.pre_action(), 0, log_msg_callback()) && !def.ignore_pre_action_failure()) {
      events.handle_failure(-1, "pre-action failed");
      return;
    }
    int steps = option_int(options, "steps", 3);
    int step_ms = option_int(options, "step_ms", 10);
    for (int i = 1; i <= steps; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
      if (activity().state == JOB_STATE_CANCELING) {
        events.handle_canceled();
        return;
      }
      if (activity().state == JOB_STATE_PAUSING) {
        events.handle_paused();
        return;
      }
      ACE_DEBUG((LM_INFO, ACE_TEXT("Test job step %d\n"), i));
      events.handle_progress(i * 100 / steps, 0, 0, 0);
    }
    auto fail = options.find("fail");
    if (fail != options.end() && fail->second == true) {
      write_job_alert(*this, 7, 5, std::uint64_t(1) << 44, json_value{{"why", "told to"}}, 1);
      events.handle_failure(5, "told to fail");
      return;
    }
    events.handle_success();
  }
};

class Test_Job_Creator : public Job_Creator {
 public:
  Job_var create(Job_Definition_var definition) override {
    if (definition->type() != JOB_DEFINITION_BACKUP) {
      errno = ENOTSUP;
      return Job_var();
    }
    return make_job<Test_Job>(definition);
  }
};

using Source_Parser_Creator = Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Default_Backup_Job_Source_Parser>;

void gobble_creator(void* object) { delete static_cast<Job_Creator*>(object); }

void gobble_parser_creator(void* object) {
  auto* creator = static_cast<Object_Creator_T<YAJL_Handler>*>(object);
  if (creator == nullptr) return;
  creator->fini();
  delete creator;
}

}  // namespace

extern "C" {
void* _make_Test_Job_Creator(void (**gobbler)(void*)) {
  if (gobbler != nullptr) *gobbler = gobble_creator;
  Job_Creator* creator = new (std::nothrow) Test_Job_Creator;
  if (creator == nullptr) errno = ENOMEM;
  return creator;
}

void* _make_Test_Source_Parser_Creator(void (**gobbler)(void*)) {
  if (gobbler != nullptr) *gobbler = gobble_parser_creator;
  Object_Creator_T<YAJL_Handler>* creator = new (std::nothrow) Source_Parser_Creator;
  if (creator == nullptr) errno = ENOMEM;
  return creator;
}
}
