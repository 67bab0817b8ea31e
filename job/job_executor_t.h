#ifndef SAP_HANA_JOB_EXECUTOR_T_H
#define SAP_HANA_JOB_EXECUTOR_T_H

#include <ace/Log_Msg.h>

#include <ctime>
#include <string>

#include "agent/backupd/job_activity.h"
#include "agent/job/job.h"
#include "agent/job/job_definition.h"
#include "agent/process/execute_script.h"

namespace sap_hana {

/// The common course of one job run, around the work of a concrete executor
/// (execute_i). `Source` and `Options` are the classes the job's parsers
/// make; `Event_Handler` reports to the server (Job_Event_Handler).
///
/// An executor is made on the stack from the job for one operation and
/// owns nothing it points to; the job outlives it.
///
/// execute() (false when the run failed):
///  1. no source: emergency "src_ is NULL", false, nothing reported;
///  2. a protection password is set: check_password() must give 0, else
///     handle_failure(code) and false;
///  3. is_active() false: activity SKIPPED with last_run_time now; true,
///     nothing reported;
///  4. precondition script or check_condition() false: activity IDLE with
///     start and last-run time now, synced; true, nothing reported;
///  5. handle_start_job(); pre-action; execute_i() only when the pre-action
///     succeeded and the job still runs; post-action when that succeeded or
///     the definition runs it always (it moves the job to COMPLETING);
///  6. all succeeded: handle_success(), true; otherwise, by the activity
///     state (the one before the post-action when that moved the job to
///     COMPLETING): PAUSING handle_paused(), CANCELING handle_canceled(),
///     else handle_failure(-1), and false.
template <class Source, class Options, class Event_Handler>
class Job_Executor_T {
 public:
  explicit Job_Executor_T(Job& job)
      : job_(job),
        def_(job.definition()),
        tgt_(def_.target()),
        act_(job.activity()),
        evt_handler_(job),
        src_(dynamic_cast<Source*>(def_.source())),
        opts_(dynamic_cast<Options*>(def_.options())) {}
  virtual ~Job_Executor_T() = default;
  Job_Executor_T(const Job_Executor_T&) = delete;
  Job_Executor_T& operator=(const Job_Executor_T&) = delete;

  virtual bool remove() { return true; }
  virtual bool setup_ondemand() { return true; }
  virtual bool remove_ondemand() { return true; }
  virtual bool update(Job_Definition_var) { return true; }
  virtual bool rollback() { return true; }

  bool execute(const Action_Options* options) {
    if (src_ == nullptr) {
      ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, src_ is NULL:\n%?\n")));
      return false;
    }
    if (!def_.backup_protection_password().empty()) {
      int code = check_password();
      if (code != 0) {
        evt_handler_.handle_failure(code, nullptr);
        return false;
      }
    }
    if (!is_active(options)) {
      act_.last_run_time = std::time(nullptr);
      act_.state = JOB_STATE_SKIPPED;
      return true;
    }
    if (!execute_precondition() || !check_condition()) {
      act_.start_time = std::time(nullptr);
      act_.last_run_time = act_.start_time;
      act_.state = JOB_STATE_IDLE;
      job_.sync(nullptr);
      return true;
    }
    evt_handler_.handle_start_job();
    const bool pre = execute_pre_action();
    const bool ok = pre && execute_i(options);
    // The post-action moves the job to COMPLETING; the outcome is chosen by
    // the state the work left, so that a paused or stopped run that runs
    // its post-action anyway still ends paused or cancelled.
    const Job_State before_post = act_.state;
    const bool post = (ok || def_.run_post_action_always()) ? execute_post_action() : true;
    if (pre && ok && post) {
      evt_handler_.handle_success();
      return true;
    }
    switch (act_.state == JOB_STATE_COMPLETING ? before_post : act_.state) {
      case JOB_STATE_PAUSING:
        evt_handler_.handle_paused();
        break;
      case JOB_STATE_CANCELING:
        evt_handler_.handle_canceled();
        break;
      default:
        evt_handler_.handle_failure(-1, nullptr);
        break;
    }
    return false;
  }

 protected:
  virtual bool execute_i(const Action_Options* options) = 0;
  virtual bool execute_pre_action() {
    bool ok = execute_script(def_.pre_action(), 0, job_.log_msg_callback());
    if (!ok && !def_.ignore_pre_action_failure()) return false;
    // A stop or pause that came while the script ran ends the run here.
    return act_.state == JOB_STATE_RUNNING;
  }
  virtual bool execute_post_action() {
    if (def_.post_action().empty()) return true;
    if (act_.state != JOB_STATE_COMPLETING) job_.state(JOB_STATE_COMPLETING);
    return execute_script(def_.post_action(), 0, job_.log_msg_callback()) || def_.ignore_post_action_failure();
  }
  virtual bool check_condition() { return true; }
  virtual bool is_active(const Action_Options*) { return true; }
  virtual int check_password() { return 0; }

  bool execute_precondition() { return execute_script(def_.precondition(), 0, Log_Callback()); }

  /// The string stored under `key`; empty when there are no options, no
  /// such key, or a value that is no string.
  static std::string options_get(const Action_Options* options, const std::string& key) {
    if (options == nullptr) return std::string();
    auto it = options->find(key);
    if (it == options->end() || !it->second.is_string()) return std::string();
    return it->second.template get<std::string>();
  }
  static bool options_get(const Action_Options* options, const std::string& key, std::string& value) {
    value = options_get(options, key);
    return !value.empty();
  }

  Job& job_;
  const Job_Definition& def_;
  const Job_Target& tgt_;
  Job_Activity& act_;
  Event_Handler evt_handler_;
  Source* src_;
  Options* opts_;
};

}  // namespace sap_hana

#endif
