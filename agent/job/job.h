#ifndef AGENT_JOB_H
#define AGENT_JOB_H

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include <ace/Event_Handler.h>
#include <boost/intrusive_ptr.hpp>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/backupd/job_activity.h"
#include "agent/job/job_definition.h"
#include "agent/json/json_access.h"
#include "agent/process/execute_script.h"

class Job;
class Job_Log_File;

/// A strong reference to a job. Jobs count their references (ACE's
/// reference counting, enabled) and delete themselves when the last goes.
/// A new job starts with one reference, which the first Job_var adopts:
///   Job_var job(new My_Job(definition), false);
/// (or make_job<My_Job>(definition)). Every other holder, a thread working
/// for the job included, keeps its own Job_var.
using Job_var = boost::intrusive_ptr<Job>;
void intrusive_ptr_add_ref(Job* job);
void intrusive_ptr_release(Job* job);

/// The options that travel with a job command; a null pointer stands for
/// no options at all.
using Action_Options = std::map<std::string, json_value>;

/// The final outcome of a run, as the event handler reported it.
enum Job_Outcome {
  JOB_OUTCOME_NONE = 0,  ///< no run yet, or a run that reported no end
  JOB_OUTCOME_SUCCESS,
  JOB_OUTCOME_FAILURE,
  JOB_OUTCOME_PAUSED,
  JOB_OUTCOME_CANCELED
};
const char* job_outcome_to_string(Job_Outcome outcome);
/// The lower-case name of a job state ("idle", "running", "pausing", ...);
/// "unknown" for a number that is no state.
const char* job_state_to_string(Job_State state);

/// One job definition's job object on this agent: the definition, its
/// activity record, its runs and the commands that control them. Plug-ins
/// derive from it (through their job templates) and supply the `*_i`
/// operations; the agent calls the commands.
///
/// Activity record: the Job_Activity of the definition (mapped from
/// "<activity dir>/<definition id>.act", see Agent_Job_Activity_Handle;
/// kept in memory, with a warning, when the file cannot be mapped).
///
/// Runs: start() opens a run. Each run has an ID (job_act_id(): the
/// "job_act_id" string of the start options when given, else a new UUID)
/// and its own log file, "<log dir>/<definition id>/<job_act_id>.log";
/// set_job_thread() sends the calling thread's log lines there as well.
/// complete() ends the run. One run at a time.
///
/// State reports: state() and state_i() and the run's opening and end are
/// reported to the server as "job.event" (see Job_Event_Handler); a server
/// that cannot be reached is logged, never a failure of the job.
///
/// Thread safety: every public operation may be called from any thread;
/// the commands of one job are serialised against each other, but a
/// command runs while the run thread works (that is how stop and pause
/// reach a run: they record a state the run observes).
class Job : public ACE_Event_Handler {
 public:
  explicit Job(Job_Definition_var definition);
  ~Job() override;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  /// The activity directory of every job (default
  /// /var/opt/corvane/strovix3/agent/act, Agent_Job_Activity_Handle's) and
  /// the directory of the run logs (default
  /// /var/opt/corvane/strovix3/agent/log/jobs). For the agent's settings
  /// and tests; affects jobs made afterwards.
  static void set_log_directory(const std::string& directory);
  static std::string log_directory();

  const Job_Definition& definition() const;
  Job_Definition_var definition_var() const;
  Job_Activity& activity();

  /// The current (or last) run's ID; before the first start empty, or the
  /// interrupted run's (interrupted_run()).
  std::string job_act_id() const;
  /// The current (or last) run's log file; empty before the first start.
  std::string log_path() const;
  /// A run is open (between start() and complete()).
  bool running() const;
  /// The last progress percentage reported for the current or last run.
  int progress() const;
  Job_Outcome outcome() const;
  /// A run that an earlier agent left open: it was cut short (the agent
  /// was killed, or gave up waiting for it) and what it started may still
  /// run or lie around. Read from the activity record when the job was
  /// made: the run's ID (empty when the record names none) and start time.
  struct Interrupted_Run {
    bool found = false;
    std::string run_id;
    std::int64_t start_time = 0;
  };
  const Interrupted_Run& interrupted_run() const { return interrupted_; }
  /// Hands the interrupted run, once, to reconcile_i(); nothing when there
  /// is none. The agent calls it when it has made the job, before any
  /// command reaches it.
  int reconcile();
  /// How many references the job has now (the agent's, its threads').
  long reference_count() const { return static_cast<long>(reference_count_.load()); }

  // --- What the job's own code calls -------------------------------------

  /// Records `state` in the activity record (synced) and reports it.
  /// 0, or -1 when the record could not be synced.
  int state(Job_State state);
  /// Records the state a command asks for, when the current state allows
  /// it: CANCELING and ABORTING from any active state (RUNNING, PAUSING,
  /// COMPLETING, SWITCHING, CANCELING, ABORTING), PAUSING and SWITCHING
  /// from RUNNING, RUNNING (resume) from PAUSING; asking for the current
  /// state again is accepted. 0 when recorded and reported, -1 (errno
  /// EBUSY, nothing recorded) when refused: no run is open, or the move is
  /// not one of the above.
  int state_i(Job_State state);
  /// A sink for child processes' output lines: each goes to the current
  /// run's log file (or, with no run, to the agent's log at debug
  /// priority). May be called from any thread; the job must outlive it.
  Log_Callback log_msg_callback();
  /// Sends the calling thread's log lines to the current run's log file
  /// too, until complete() on this thread, the thread's end, or
  /// set_job_thread() of another job on it.
  void set_job_thread();
  /// Ends the run: an active state becomes IDLE (SKIPPED, IDLE and ERROR
  /// stay as the run left them), end_time and last_run_time are set, the
  /// record synced, the run's end reported with its outcome, the run log
  /// closed and this thread's log binding removed. Nothing without a run.
  void complete();
  /// Flushes the activity record to its file; 0 or -1. `options` unused.
  int sync(const Action_Options* options);

  /// Called by Job_Event_Handler: the run's start was reported, its
  /// progress, and its outcome.
  void record_progress(int percent);
  void record_outcome(Job_Outcome outcome);

  // --- Commands (the agent calls these) -----------------------------------

  /// Opens a run (refused, -1 with errno EBUSY, while one is open): run
  /// ID, log file, activity state RUNNING with start and last-run time
  /// now, progress 0; then start_i(). When start_i() fails, the run is
  /// closed again (state IDLE) and -1 returned.
  int start(const Action_Options* options);
  int stop(const Action_Options* options) { return stop_i(options); }
  int pause(const Action_Options* options) { return pause_i(options); }
  int resume(const Action_Options* options) { return resume_i(options); }
  int abort(const Action_Options* options) { return abort_i(options); }
  int switch_over(const Action_Options* options) { return switch_i(options); }
  int enable(const Action_Options* options) { return enable_i(options); }
  int disable(const Action_Options* options) { return disable_i(options); }
  /// remove_i(); the agent drops its reference afterwards.
  int remove(int flag, const Action_Options* options) { return remove_i(flag, options); }
  /// When can_update_i(): update_i(), and on 0 the job uses `definition`
  /// from then on. -1 when refused or failed (the old definition stays).
  int update(Job_Definition_var definition);
  int rollback() { return rollback_i(); }
  int setup_ondemand() { return setup_ondemand_i(); }

  // --- The job's own operations, in this order; base results as noted -----

  /// Sets up the on-demand side of this job for another job; base -1.
  virtual int setup_ondemand_by_job(const Action_Options* options);
  /// Starts the run's work (normally on a thread of its own); base -1.
  virtual int start_i(const Action_Options* options);
  virtual int stop_i(const Action_Options* options);              ///< base -1
  virtual int enable_i(const Action_Options* options);            ///< base 0
  virtual int disable_i(const Action_Options* options);           ///< base 0
  virtual int pause_i(const Action_Options* options);             ///< base -1
  virtual int resume_i(const Action_Options* options);            ///< base -1
  virtual int abort_i(const Action_Options* options);             ///< base -1
  virtual int switch_i(const Action_Options* options);            ///< base -1
  virtual int remove_i(int flag, const Action_Options* options);  ///< base 0
  virtual int update_i(Job_Definition_var definition);            ///< base 0
  virtual int rollback_i();                                       ///< base -1
  /// Whether update() may replace the definition now; base: no run is open.
  virtual bool can_update_i();
  virtual int setup_ondemand_i();                    ///< base -1
  virtual int run_i(const Action_Options* options);  ///< base -1
  virtual int abort_i();                             ///< base -1
  /// Cleans up after an interrupted run (normally on a thread of its own,
  /// which must not block a new run of the job); base 0, nothing to do.
  virtual int reconcile_i(const Interrupted_Run& run);

 private:
  void report_state(Job_State state);

  mutable std::mutex mutex_;
  Job_Definition_var definition_;
  Agent_Job_Activity_Handle handle_;
  Job_Activity fallback_{};
  Job_Activity* activity_ = nullptr;
  std::string job_act_id_;
  std::string log_path_;
  std::shared_ptr<Job_Log_File> log_;
  bool running_ = false;
  int progress_ = 0;
  Job_Outcome outcome_ = JOB_OUTCOME_NONE;
  Interrupted_Run interrupted_;
  bool reconciled_ = false;
};

inline void intrusive_ptr_add_ref(Job* job) { job->add_reference(); }
inline void intrusive_ptr_release(Job* job) { job->remove_reference(); }

/// A new job of class T adopted by a Job_var; empty (errno ENOMEM) when
/// memory runs out.
template <typename T, typename... Args>
Job_var make_job(Args&&... args) {
  T* job = new (std::nothrow) T(std::forward<Args>(args)...);
  if (job == nullptr) {
    errno = ENOMEM;
    return Job_var();
  }
  return Job_var(job, false);
}

#endif
