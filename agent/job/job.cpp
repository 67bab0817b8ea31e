#include "agent/job/job.h"

#include <fcntl.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include <ace/Log_Msg.h>

#include "agent/base/uuid_string.h"
#include "agent/job/job_log_file.h"
#include "agent/job/job_server_reporter.h"

namespace {

std::mutex g_dir_mutex;
std::string g_log_dir = "/var/opt/corvane/strovix3/agent/log/jobs";

bool active(Job_State s) {
  switch (s) {
    case JOB_STATE_RUNNING:
    case JOB_STATE_PAUSING:
    case JOB_STATE_COMPLETING:
    case JOB_STATE_CANCELING:
    case JOB_STATE_ABORTING:
    case JOB_STATE_SWITCHING:
      return true;
    default:
      return false;
  }
}

// Run IDs name log files: only what cannot leave the job's log directory.
bool safe_name(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

}  // namespace

const char* job_outcome_to_string(Job_Outcome outcome) {
  switch (outcome) {
    case JOB_OUTCOME_SUCCESS:
      return "success";
    case JOB_OUTCOME_FAILURE:
      return "failure";
    case JOB_OUTCOME_PAUSED:
      return "paused";
    case JOB_OUTCOME_CANCELED:
      return "canceled";
    default:
      return "none";
  }
}

const char* job_state_to_string(Job_State state) {
  switch (state) {
    case JOB_STATE_NONE:
      return "none";
    case JOB_STATE_IDLE:
      return "idle";
    case JOB_STATE_RUNNING:
      return "running";
    case JOB_STATE_PAUSING:
      return "pausing";
    case JOB_STATE_COMPLETING:
      return "completing";
    case JOB_STATE_COMPLETED:
      return "completed";
    case JOB_STATE_CANCELING:
      return "canceling";
    case JOB_STATE_ERROR:
      return "error";
    case JOB_STATE_DELETED:
      return "deleted";
    case JOB_STATE_SKIPPED:
      return "skipped";
    case JOB_STATE_DISABLED:
      return "disabled";
    case JOB_STATE_ABORTING:
      return "aborting";
    case JOB_STATE_SWITCHING:
      return "switching";
  }
  return "unknown";
}

void Job::set_log_directory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(g_dir_mutex);
  g_log_dir = directory;
}

std::string Job::log_directory() {
  std::lock_guard<std::mutex> lock(g_dir_mutex);
  return g_log_dir;
}

Job::Job(Job_Definition_var definition) : definition_(std::move(definition)) {
  reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
  const std::string& id = definition_->id();
  if (handle_.open(id, O_RDWR | O_CREAT) == 0) {
    activity_ = handle_.get();
  } else {
    ACE_ERROR((LM_WARNING, ACE_TEXT("Job %C: activity record %C not mapped (%m); kept in memory only\n"), id.c_str(),
               Agent_Job_Activity_Handle::path_of(id).c_str()));
    fallback_.magic = job_activity_magic;
    fallback_.version = job_activity_version;
    fallback_.state = JOB_STATE_IDLE;
    activity_ = &fallback_;
  }
  // A record left active by an agent that ended mid-run describes no run
  // of this process.
  if (active(activity_->state)) {
    interrupted_.found = true;
    interrupted_.run_id.assign(activity_->run_id, strnlen(activity_->run_id, sizeof activity_->run_id));
    if (!safe_name(interrupted_.run_id)) interrupted_.run_id.clear();
    interrupted_.start_time = activity_->start_time;
    // The last run's ID: what the job reports until its next run names it.
    job_act_id_ = interrupted_.run_id;
    ACE_ERROR((LM_WARNING, ACE_TEXT("Job %C: run %C was cut short (the agent ended while it was %C)\n"), id.c_str(),
               interrupted_.run_id.empty() ? "?" : interrupted_.run_id.c_str(), job_state_to_string(activity_->state)));
    activity_->state = JOB_STATE_IDLE;
  }
  if (activity_->state == JOB_STATE_NONE) activity_->state = JOB_STATE_IDLE;
}

Job::~Job() = default;

const Job_Definition& Job::definition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return *definition_;
}

Job_Definition_var Job::definition_var() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return definition_;
}

Job_Activity& Job::activity() { return *activity_; }

std::string Job::job_act_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return job_act_id_;
}

std::string Job::log_path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_path_;
}

bool Job::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int Job::progress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return progress_;
}

Job_Outcome Job::outcome() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outcome_;
}

int Job::sync(const Action_Options*) {
  if (activity_ == &fallback_) return 0;
  return handle_.sync();
}

void Job::report_state(Job_State state) {
  Job_Server_Reporter::send(*this, "job.event", json_value{{"event", "state"}, {"state", static_cast<int>(state)}});
}

int Job::state(Job_State state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    activity_->state = state;
  }
  int rc = sync(nullptr);
  report_state(state);
  return rc;
}

int Job::state_i(Job_State state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Job_State now = activity_->state;
    bool allowed = false;
    if (running_ && active(now)) {
      if (state == now)
        allowed = true;
      else if (state == JOB_STATE_CANCELING || state == JOB_STATE_ABORTING)
        allowed = true;
      else if (state == JOB_STATE_PAUSING || state == JOB_STATE_SWITCHING)
        allowed = now == JOB_STATE_RUNNING;
      else if (state == JOB_STATE_RUNNING)
        allowed = now == JOB_STATE_PAUSING;
    }
    if (!allowed) {
      errno = EBUSY;
      return -1;
    }
    activity_->state = state;
  }
  sync(nullptr);
  report_state(state);
  return 0;
}

Log_Callback Job::log_msg_callback() {
  return [this](const std::string& line) {
    std::shared_ptr<Job_Log_File> file;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      file = log_;
    }
    if (file)
      file->write("INFO", line);
    else
      ACE_DEBUG((LM_DEBUG, ACE_TEXT("%C\n"), line.c_str()));
  };
}

void Job::set_job_thread() {
  std::shared_ptr<Job_Log_File> file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    file = log_;
  }
  Job_Log_File::bind_thread(file);
}

void Job::record_progress(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  std::lock_guard<std::mutex> lock(mutex_);
  progress_ = percent;
}

void Job::record_outcome(Job_Outcome outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_ = outcome;
}

int Job::start(const Action_Options* options) {
  std::string id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = definition_->id();
    if (running_) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Job %C is already running (run %C)\n"), id.c_str(), job_act_id_.c_str()));
      errno = EBUSY;
      return -1;
    }
    std::string act;
    if (options != nullptr) {
      auto it = options->find("job_act_id");
      if (it != options->end() && it->second.is_string()) act = it->second.get<std::string>();
    }
    if (!act.empty() && !safe_name(act)) {
      ACE_ERROR((LM_WARNING,
                 ACE_TEXT("Job %C: run ID %C refused (letters, digits, \"-\" and \"_\" only); a new "
                          "one is used\n"),
                 id.c_str(), act.c_str()));
      act.clear();
    }
    job_act_id_ = act.empty() ? uuid_string() : act;
    log_path_ = log_directory() + "/" + id + "/" + job_act_id_ + ".log";
    log_ = Job_Log_File::open(log_path_);
    if (!log_)
      ACE_ERROR((LM_WARNING, ACE_TEXT("Job %C: cannot open its log file %C: %m\n"), id.c_str(), log_path_.c_str()));
    running_ = true;
    progress_ = 0;
    outcome_ = JOB_OUTCOME_NONE;
    std::int64_t now = std::time(nullptr);
    activity_->state = JOB_STATE_RUNNING;
    activity_->start_time = now;
    activity_->last_run_time = now;
    activity_->end_time = 0;
    activity_->size = 0;
    std::memset(activity_->run_id, 0, sizeof activity_->run_id);
    job_act_id_.copy(activity_->run_id, sizeof activity_->run_id - 1);
    if (log_) log_->write("INFO", "Run " + job_act_id_ + " of job " + id + " (" + definition_->name() + ") started");
  }
  sync(nullptr);
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C: run %C started\n"), id.c_str(), job_act_id().c_str()));
  if (start_i(options) == 0) return 0;
  int e = errno;
  ACE_ERROR((LM_ERROR, ACE_TEXT("Job %C: the run could not be started\n"), id.c_str()));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    activity_->state = JOB_STATE_IDLE;
    activity_->end_time = std::time(nullptr);
    if (log_) log_->write("ERROR", "The run could not be started");
    log_.reset();
  }
  sync(nullptr);
  errno = e;
  return -1;
}

void Job::complete() {
  Job_State final_state;
  Job_Outcome outcome;
  std::shared_ptr<Job_Log_File> file;
  std::string id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    if (active(activity_->state)) activity_->state = JOB_STATE_IDLE;
    activity_->end_time = std::time(nullptr);
    final_state = activity_->state;
    outcome = outcome_;
    running_ = false;
    file = log_;
    log_.reset();
    id = definition_->id();
    // A run that reported no end got no further than its checks (skipped,
    // precondition): its progress is complete all the same.
    if (outcome == JOB_OUTCOME_SUCCESS) progress_ = 100;
  }
  sync(nullptr);
  if (file) file->write("INFO", std::string("Run ended: ") + job_outcome_to_string(outcome));
  if (Job_Log_File::bound_file() == file) Job_Log_File::bind_thread(nullptr);
  ACE_DEBUG((LM_INFO, ACE_TEXT("Job %C: run %C ended (%C)\n"), id.c_str(), job_act_id().c_str(),
             job_outcome_to_string(outcome)));
  Job_Server_Reporter::send(*this, "job.event",
                            json_value{{"event", "complete"},
                                       {"state", static_cast<int>(final_state)},
                                       {"outcome", job_outcome_to_string(outcome)}});
}

int Job::update(Job_Definition_var definition) {
  if (!definition || !can_update_i()) return -1;
  if (update_i(definition) != 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  definition_ = std::move(definition);
  return 0;
}

int Job::reconcile() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!interrupted_.found || reconciled_) return 0;
    reconciled_ = true;
  }
  return reconcile_i(interrupted_);
}

int Job::setup_ondemand_by_job(const Action_Options*) { return -1; }
int Job::start_i(const Action_Options*) { return -1; }
int Job::stop_i(const Action_Options*) { return -1; }
int Job::enable_i(const Action_Options*) { return 0; }
int Job::disable_i(const Action_Options*) { return 0; }
int Job::pause_i(const Action_Options*) { return -1; }
int Job::resume_i(const Action_Options*) { return -1; }
int Job::abort_i(const Action_Options*) { return -1; }
int Job::switch_i(const Action_Options*) { return -1; }
int Job::remove_i(int, const Action_Options*) { return 0; }
int Job::update_i(Job_Definition_var) { return 0; }
int Job::rollback_i() { return -1; }
bool Job::can_update_i() { return !running(); }
int Job::setup_ondemand_i() { return -1; }
int Job::run_i(const Action_Options*) { return -1; }
int Job::abort_i() { return -1; }
int Job::reconcile_i(const Interrupted_Run&) { return 0; }
