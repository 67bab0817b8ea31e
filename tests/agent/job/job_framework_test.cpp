// The job framework: the backup source parser, job definitions with their
// parsers, a job's states, run bookkeeping and reports, its run log, the
// threads that keep a job alive, per-ID mutexes and job scripts.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/base/thread_helper.h"
#include "agent/job/default_backup_job_source_parser.h"
#include "agent/job/job.h"
#include "agent/job/job_event_handler.h"
#include "agent/job/job_mutex.h"
#include "agent/job/job_parser_registry.h"
#include "agent/job/job_thread_helper.h"
#include "agent/job/write_job_alert.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_response.h"
#include "agent/process/execute_script.h"
#include "log_capture.h"
#include "recording_json_rpc_channel.h"
#include "temp_dir.h"

namespace {

using Source_Parser_Creator = Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Default_Backup_Job_Source_Parser>;

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Default_Backup_Job_Source_Parser_Test, ReadsIdAndEntriesAndSkipsOtherMembers) {
  Default_Backup_Job_Source_Parser parser;
  std::string text = R"({"x": {"id": 1, "entries": [{}]}, "id": "r1", "y": [[1], null],
                         "entries": ["hana/HDB00/SYSTEMDB", "hana/HDB00/T01"]})";
  std::string error;
  ASSERT_EQ(parser.parse(text.data(), text.size(), error), 0) << error;
  auto* source = dynamic_cast<Default_Backup_Job_Source*>(parser.result().get());
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->id(), "r1");
  EXPECT_EQ(source->entries(), (std::vector<std::string>{"hana/HDB00/SYSTEMDB", "hana/HDB00/T01"}));
}

TEST(Default_Backup_Job_Source_Parser_Test, RejectsWhatIsNoSourceWithItsCode) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {
      {"[]", Default_Backup_Job_Source_Parser::kNotObject},
      {"\"r1\"", Default_Backup_Job_Source_Parser::kNotObject},
      {R"({"id": 7, "entries": []})", Default_Backup_Job_Source_Parser::kBadMember},
      {R"({"id": "", "entries": []})", Default_Backup_Job_Source_Parser::kBadMember},
      {R"({"id": "r", "entries": ["a", 1]})", Default_Backup_Job_Source_Parser::kBadMember},
      {R"({"id": "r", "entries": "a"})", Default_Backup_Job_Source_Parser::kBadMember},
      {R"({"id": "r"})", Default_Backup_Job_Source_Parser::kBadMember},
      {R"({"id": "r", "entries": [)", 1},
  };
  for (const auto& c : cases) {
    Default_Backup_Job_Source_Parser parser;
    std::string error;
    EXPECT_EQ(parser.parse(c.text, std::strlen(c.text), error), c.code) << c.text;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(parser.result(), nullptr) << c.text;
  }
}

class Job_Definition_Test : public ::testing::Test {
 protected:
  Job_Definition_Test() { registry_.add("hana", JOB_DEFINITION_BACKUP, Job_Parser_Registry::KIND_SOURCE, &creator_); }
  Source_Parser_Creator creator_;
  Job_Parser_Registry registry_;
};

TEST_F(Job_Definition_Test, DocumentedFormWithEveryMember) {
  json_value v = json_value::parse(R"({
    "uuid": "d-1", "uid": "u-9", "type": 1, "subtype": 3, "name": "nightly", "agent": "hana", "host_id": "h-1",
    "target": {"id": "pool-1", "location": "/srv/p"},
    "source": "{\"id\": \"res-1\", \"entries\": [\"hana/HDB00\"]}",
    "schedules": [{"type": 2}, {"type": 7}],
    "scripts": {"precondition": "true", "pre_action": "echo pre", "post_action": "echo post",
                "ignore_pre_action_failure": true, "ignore_post_action_failure": false,
                "run_post_action_always": true},
    "max_seconds_retry": 60, "resumption_buffer_size": 4096, "server_side_dedup": true,
    "rate_limits": {"dest_rate_limits": "[{\"start_time\": 0, \"end_time\": 3600, \"max_bytes_per_second\": 100}]"},
    "backup_protection_password": "pw"})");
  std::string error;
  Job_Definition_var def = Job_Definition::from_json(v, registry_, error);
  ASSERT_TRUE(def) << error;
  EXPECT_EQ(def->id(), "d-1");
  EXPECT_EQ(def->uid(), "u-9");
  EXPECT_EQ(def->subtype(), JOB_DEFINITION_SUBTYPE_CUMULATIVE);
  EXPECT_EQ(def->target().location, "/srv/p");
  ASSERT_NE(def->source(), nullptr);
  EXPECT_EQ(static_cast<Default_Backup_Job_Source*>(def->source())->id(), "res-1");
  EXPECT_EQ(def->options(), nullptr);
  ASSERT_EQ(def->schedules().size(), 2u);
  EXPECT_EQ(def->schedules()[1].type, Job_Schedule::TYPE_ONDEMAND);
  EXPECT_EQ(def->pre_action(), "echo pre");
  EXPECT_TRUE(def->ignore_pre_action_failure());
  EXPECT_TRUE(def->run_post_action_always());
  EXPECT_EQ(def->max_seconds_retry(), 60u);
  EXPECT_EQ(def->resumption_buffer_size(), 4096u);
  EXPECT_EQ(def->rate_limits().limit_at(100), 100u);
  EXPECT_EQ(std::string(def->backup_protection_password().c_str()), "pw");
  EXPECT_STREQ(job_def_subtype_to_string(def->subtype()), "cumulative");
  EXPECT_STREQ(job_def_subtype_to_string(13), "point_in_time");
  EXPECT_STREQ(job_def_subtype_to_string(36), "unknown");
}

TEST_F(Job_Definition_Test, FaultsNameTheMemberOrTheParser) {
  struct Case {
    const char* json;
    const char* error;
  } cases[] = {
      {R"({"type": 1, "agent": "hana"})", "member \"uuid\" is missing"},
      {R"({"id": "d", "type": 1})", "member \"agent\" is missing"},
      {R"({"id": "d", "type": 9, "agent": "hana"})", "member \"type\" is out of range"},
      {R"({"id": "d", "type": 1, "subtype": 36, "agent": "hana"})", "member \"subtype\" is out of range"},
      {R"({"id": "d", "type": 1, "agent": "hana", "scripts": {"precondition": 1}})",
       "member \"precondition\" is not a string"},
      {R"({"id": "d", "type": 1, "agent": "hana", "source": {"id": "r"}})",
       "source: JSON rejected by its parser (code 9)"},
      {R"({"id": "d", "type": 2, "agent": "hana", "source": {"id": "r", "entries": []}})",
       "source: no parser of restore job sources for \"hana\""},
      {R"({"id": "d", "type": 1, "agent": "hana", "options": {}})",
       "options: no parser of backup job options for \"hana\""},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(Job_Definition::from_json(json_value::parse(c.json), registry_, error)) << c.json;
    EXPECT_EQ(error, c.error) << c.json;
  }
}

// A job whose start only records that it was asked.
class Probe_Job : public Job {
 public:
  explicit Probe_Job(Job_Definition_var def, std::atomic<bool>* destroyed = nullptr)
      : Job(std::move(def)), destroyed_(destroyed) {}
  ~Probe_Job() override {
    if (destroyed_ != nullptr) *destroyed_ = true;
  }
  int start_i(const Action_Options*) override { return start_result; }
  int reconcile_i(const Interrupted_Run& run) override {
    reconciled.push_back(run.run_id);
    return 0;
  }
  int start_result = 0;
  std::vector<std::string> reconciled;

 private:
  std::atomic<bool>* destroyed_;
};

class Job_Test : public ::testing::Test {
 protected:
  Job_Test() {
    Agent_Job_Activity_Handle::set_directory(dir_.file("act"));
    Job::set_log_directory(dir_.file("log"));
    Global_JSON_RPC_Channel::set(channel_);
    std::string error;
    def_ = Job_Definition::from_json(
        json_value{{"id", "d-1"}, {"type", 1}, {"agent", "test"}, {"host_id", "h-1"}, {"name", "probe"}}, registry_,
        error);
  }
  ~Job_Test() override { Global_JSON_RPC_Channel::set(nullptr); }

  // (event, state or percent) of every report sent so far.
  std::vector<std::string> reports() {
    std::vector<std::string> out;
    for (const json_value& r : channel_->sent()) {
      const json_value& p = r["params"];
      std::string what = r["method"].get<std::string>() + " " + p.value("event", std::string());
      if (p.contains("state")) what += " " + std::to_string(p["state"].get<int>());
      if (p.contains("percent")) what += " " + std::to_string(p["percent"].get<int>());
      out.push_back(what);
    }
    return out;
  }

  Temp_Dir dir_;
  Job_Parser_Registry registry_;
  Job_Definition_var def_;
  std::shared_ptr<Recording_JSON_RPC_Channel> channel_ = std::make_shared<Recording_JSON_RPC_Channel>(
      [](const JSON_RPC_Object& request) { return std::make_shared<JSON_RPC_Response>(request); });
};

TEST_F(Job_Test, StatesFollowTheCommandsThatTheRunAllows) {
  Log_Capture quiet;
  Job_var job = make_job<Probe_Job>(def_);
  EXPECT_EQ(job->activity().state, JOB_STATE_IDLE);
  EXPECT_EQ(job->state_i(JOB_STATE_CANCELING), -1);  // no run: a stop has nothing to stop
  Action_Options options{{"job_act_id", "run-1"}};
  ASSERT_EQ(job->start(&options), 0);
  EXPECT_EQ(job->job_act_id(), "run-1");
  EXPECT_EQ(job->activity().state, JOB_STATE_RUNNING);
  EXPECT_EQ(job->start(nullptr), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(job->state_i(JOB_STATE_PAUSING), 0);
  EXPECT_EQ(job->state_i(JOB_STATE_SWITCHING), -1);
  EXPECT_EQ(job->state_i(JOB_STATE_RUNNING), 0);  // resume withdraws the pause
  EXPECT_EQ(job->state_i(JOB_STATE_CANCELING), 0);
  EXPECT_EQ(job->state_i(JOB_STATE_PAUSING), -1);
  Job_Event_Handler events(*job);
  EXPECT_EQ(events.job_act_id(), "run-1");
  events.handle_progress(140, 0, 0, 0);
  events.handle_canceled();
  job->complete();
  EXPECT_EQ(job->activity().state, JOB_STATE_IDLE);
  EXPECT_GE(job->activity().end_time, job->activity().start_time);
  EXPECT_FALSE(job->running());
  EXPECT_EQ(job->outcome(), JOB_OUTCOME_CANCELED);
  EXPECT_EQ(reports(),
            (std::vector<std::string>{"job.event state 4", "job.event state 3", "job.event state 8",
                                      "job.event progress 100", "job.event canceled", "job.event complete 1"}));
  json_value last = channel_->sent().back()["params"];
  EXPECT_EQ(last["definition_id"], "d-1");
  EXPECT_EQ(last["host_uuid"], "h-1");
  EXPECT_EQ(last["job_act_id"], "run-1");
  EXPECT_EQ(last["outcome"], "canceled");
}

TEST_F(Job_Test, RunThatEndsSkippedStaysSkippedAndAFailedStartClosesTheRun) {
  Log_Capture quiet;
  Job_var job = make_job<Probe_Job>(def_);
  ASSERT_EQ(job->start(nullptr), 0);
  EXPECT_EQ(job->job_act_id().size(), 36u);  // a fresh run ID
  job->activity().state = JOB_STATE_SKIPPED;
  job->complete();
  EXPECT_EQ(job->activity().state, JOB_STATE_SKIPPED);
  static_cast<Probe_Job*>(job.get())->start_result = -1;
  EXPECT_EQ(job->start(nullptr), -1);
  EXPECT_FALSE(job->running());
  EXPECT_EQ(job->activity().state, JOB_STATE_IDLE);
  // An unusable run ID from a command is replaced, never used as a file name.
  static_cast<Probe_Job*>(job.get())->start_result = 0;
  Action_Options options{{"job_act_id", "../../x"}};
  ASSERT_EQ(job->start(&options), 0);
  EXPECT_NE(job->job_act_id(), "../../x");
  EXPECT_EQ(job->log_path().find(dir_.file("log/d-1/")), 0u);
  job->complete();
}

TEST_F(Job_Test, RunLeftOpenByTheLastAgentIsReconciledOnceByTheNextJob) {
  Log_Capture quiet;
  Action_Options options{{"job_act_id", "run-7"}};
  std::int64_t started = 0;
  {
    Job_var cut_short = make_job<Probe_Job>(def_);
    ASSERT_EQ(cut_short->start(&options), 0);
    started = cut_short->activity().start_time;
  }  // the agent ends here without the run's end
  Job_var job = make_job<Probe_Job>(def_);
  EXPECT_TRUE(job->interrupted_run().found);
  EXPECT_EQ(job->interrupted_run().start_time, started);
  EXPECT_EQ(job->job_act_id(), "run-7");
  EXPECT_EQ(job->activity().state, JOB_STATE_IDLE);
  EXPECT_EQ(job->reconcile(), 0);
  EXPECT_EQ(job->reconcile(), 0);
  EXPECT_EQ(static_cast<Probe_Job*>(job.get())->reconciled, std::vector<std::string>{"run-7"});
  // A run that ended leaves nothing to reconcile.
  ASSERT_EQ(job->start(nullptr), 0);
  job->complete();
  EXPECT_FALSE(make_job<Probe_Job>(def_)->interrupted_run().found);
}

TEST_F(Job_Test, BoundThreadLogsIntoTheRunLogUntilTheRunEnds) {
  Log_Capture quiet;
  Job_var job = make_job<Probe_Job>(def_);
  ASSERT_EQ(job->start(nullptr), 0);
  job->set_job_thread();
  ACE_DEBUG((LM_INFO, ACE_TEXT("inside the run\n")));
  job->log_msg_callback()("child line");
  EXPECT_TRUE(write_job_alert(*job, 7, 13, std::uint64_t(1) << 44, nullptr, 1));
  job->complete();
  ACE_DEBUG((LM_INFO, ACE_TEXT("after the run\n")));
  std::string log = read_all(job->log_path());
  EXPECT_NE(log.find(" INFO inside the run\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" INFO child line\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" WARNING Alert category 7 code 13\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("after the run"), std::string::npos) << log;
  // The capture still saw every line: binding adds the run log, it takes nothing away.
  EXPECT_NE(quiet.text().find("after the run"), std::string::npos);
  json_value alert = channel_->sent()[0];
  EXPECT_EQ(alert["method"], "job.alert");
  EXPECT_EQ(alert["params"]["flags"], std::uint64_t(1) << 44);
}

TEST_F(Job_Test, ThreadHelperKeepsTheJobAliveUntilItsThreadEnds) {
  std::atomic<bool> destroyed{false};
  std::promise<void> go;
  std::shared_future<void> wait = go.get_future().share();
  Job_var job = make_job<Probe_Job>(def_, &destroyed);
  Job_Thread_Helper thread(
      job,
      [wait]() {
        wait.wait();
        return 7;
      },
      Thread_Helper::kJoinable);
  ASSERT_EQ(thread.spawn(), 0);
  job.reset();
  EXPECT_FALSE(destroyed);
  go.set_value();
  int result = 0;
  ASSERT_EQ(thread.join(&result), 0);
  EXPECT_EQ(result, 7);
  EXPECT_TRUE(destroyed);
}

TEST(Job_Mutex_Test, OneMutexPerIdWhileHeld) {
  auto a = Job_Mutex::get("res-1");
  EXPECT_EQ(a, Job_Mutex::get("res-1"));
  EXPECT_NE(a, Job_Mutex::get("res-2"));
}

TEST(Execute_Script_Test, LinesExitCodesAndTheTimeLimit) {
  Log_Capture log;
  std::vector<std::string> lines;
  Log_Callback collect = [&lines](const std::string& line) { lines.push_back(line); };
  EXPECT_TRUE(execute_script("", 0, collect));
  EXPECT_TRUE(execute_script("echo one; echo two >&2; printf three", 0, collect));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_FALSE(execute_script("exit 3", 0, collect));
  EXPECT_EQ(log.text(), "Script failed with exit code 3\n");
  log.clear();
  set_script_time_limit(1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(execute_script("sleep 30", 0, collect));
  set_script_time_limit(3600);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  std::string text = log.text();
  const std::string reason = "Script exceeded its time limit of 1 second(s)\n";
  ASSERT_GE(text.size(), reason.size());
  EXPECT_EQ(text.substr(text.size() - reason.size()), reason) << text;
}

}  // namespace
