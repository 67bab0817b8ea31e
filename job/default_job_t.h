#ifndef SAP_HANA_DEFAULT_JOB_T_H
#define SAP_HANA_DEFAULT_JOB_T_H

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>

#include <cstring>
#include <new>

#include "agent/base/thread_helper.h"
#include "agent/job/job.h"
#include "job/run_options.h"

namespace sap_hana {

/// A job that runs `Executor` (a Job_Executor_T) on a thread of its own.
///
/// Contract:
/// - start_i() spawns one detached thread (THR_NEW_LWP | THR_DETACHED |
///   THR_INHERIT_SCHED) that calls run_i() with the command's options (null
///   when none or an empty map were given) and holds a reference to the job
///   until it ends; -1 when the thread cannot be started.
/// - run_i(): binds the thread's log to the run, writes the definition's UID
///   into the activity record, runs Executor::execute() and ends the run
///   (Job::complete()).
/// - stop and resume are not supported (-1); abort with options records
///   CANCELING and asks the last spawned thread to cancel cooperatively.
/// - remove_i, update_i, setup_ondemand_i and rollback_i hand the command to
///   a fresh executor; rollback runs on a detached thread of its own.
/// - thr_id_ is the last thread this job spawned.
template <class Executor>
class Default_Job_T : public Job {
 public:
  explicit Default_Job_T(Job_Definition_var definition) : Job(definition) {}

  int handle_exception(ACE_HANDLE) override { return 0; }

  int start_i(const Action_Options* options) override {
    Run_Options* opt = new (std::nothrow) Run_Options;
    if (opt == nullptr) {
      ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, opt is NULL:\n%?\n")));
      return -1;
    }
    opt->job = Job_var(this);
    if (options != nullptr) opt->opts = *options;
    if (ACE_Thread_Manager::instance()->spawn(&Default_Job_T::run, opt, Thread_Helper::kDetached, &thr_id_) == -1) {
      delete opt;
      return -1;
    }
    return 0;
  }

  int stop_i(const Action_Options*) override { return -1; }
  int resume_i(const Action_Options*) override { return -1; }

  int abort_i(const Action_Options*) override {
    int result = state_i(JOB_STATE_CANCELING);
    ACE_Thread_Manager::instance()->cancel(thr_id_, 0);
    return result;
  }
  using Job::abort_i;

  int remove_i(int, const Action_Options*) override {
    Executor executor(*this);
    for (const Job_Schedule& schedule : definition().schedules())
      if (schedule.type == Job_Schedule::TYPE_ONDEMAND) executor.remove_ondemand();
    executor.remove();
    return 0;
  }

  int update_i(Job_Definition_var definition) override {
    Executor executor(*this);
    executor.update(definition);
    return 0;
  }

  int setup_ondemand_i() override {
    Executor executor(*this);
    return executor.setup_ondemand() ? 0 : -1;
  }

  int rollback_i() override {
    Job_var self(this);
    Thread_Helper helper([self]() { return run_rollback(*self); }, Thread_Helper::kDetached);
    return helper.spawn() == -1 ? -1 : 0;
  }

  int run_i(const Action_Options* options) override {
    set_job_thread();
    store_uid();
    {
      Executor executor(*this);
      executor.execute(options);
    }
    complete();
    return 0;
  }

 protected:
  static ACE_THR_FUNC_RETURN run(void* arg) {
    Run_Options* opt = static_cast<Run_Options*>(arg);
    opt->job->run_i(opt->opts.empty() ? nullptr : &opt->opts);
    delete opt;
    return 0;
  }

  static int run_rollback(Job& job) {
    Executor executor(job);
    executor.rollback();
    return 0;
  }

  /// The activity record names the definition by its UID in binary form;
  /// a UID that is no UUID (an owner's name) leaves the definition's id.
  void store_uid() {
    unsigned char bytes[16];
    if (uuid_bytes(definition().uid(), bytes) || uuid_bytes(definition().id(), bytes))
      std::memcpy(activity().uid, bytes, sizeof bytes);
  }

  static bool uuid_bytes(const std::string& text, unsigned char* bytes) {
    if (text.size() != 36 && text.size() != 32) return false;
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (c == '-') continue;
      int v = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (v < 0 || n == 32) return false;
      if (n % 2 == 0)
        bytes[n / 2] = static_cast<unsigned char>(v << 4);
      else
        bytes[n / 2] = static_cast<unsigned char>(bytes[n / 2] | v);
      ++n;
    }
    return n == 32;
  }

  ACE_thread_t thr_id_{};
};

}  // namespace sap_hana

#endif
