// Job creation and the common course of a run (the job templates), with a
// scripted executor in place of HANA's.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/base/object_creator.h"
#include "agent/job/default_backup_job_source_parser.h"
#include "agent/job/job_mutex.h"
#include "agent/job/job_parser_registry.h"
#include "job/backup_job_options.h"
#include "job/backup_job_options_parser.h"
#include "job/controllable_job_t.h"
#include "job/hana_backup_job.h"
#include "job/hana_job_creator.h"
#include "job/restore_executor.h"
#include "job/restore_job_options_parser.h"
#include "job/restore_job_source_parser.h"
#include "read_file.h"
#include "log_capture.h"
#include "temp_dir.h"

using namespace sap_hana;

namespace {

/// What the scripted executor saw, shared with the test.
struct Trace {
  std::atomic<int> executed{0};
  std::atomic<bool> null_options{false};
  std::atomic<bool> result{true};
};
Trace trace;

class Scripted_Executor : public Job_Executor_T<Default_Backup_Job_Source, Backup_Job_Options, Job_Event_Handler> {
 public:
  explicit Scripted_Executor(Job& job) : Job_Executor_T(job) {}

 protected:
  bool execute_i(const Action_Options* options) override {
    ++trace.executed;
    trace.null_options = options == nullptr;
    return trace.result;
  }
};

using Scripted_Job = Controllable_Job_T<Scripted_Executor>;

class HanaJob : public ::testing::Test {
 protected:
  void SetUp() override {
    Agent_Job_Activity_Handle::set_directory(dir_.file("act"));
    Job::set_log_directory(dir_.file("log"));
    registry_.add("hana", JOB_DEFINITION_BACKUP, Job_Parser_Registry::KIND_SOURCE, &sources_);
    registry_.add("hana", JOB_DEFINITION_BACKUP, Job_Parser_Registry::KIND_OPTIONS, &options_);
    registry_.add("hana", JOB_DEFINITION_RESTORE, Job_Parser_Registry::KIND_SOURCE, &restore_sources_);
    registry_.add("hana", JOB_DEFINITION_RESTORE, Job_Parser_Registry::KIND_OPTIONS, &restore_options_);
    trace.executed = 0;
    trace.null_options = false;
    trace.result = true;
  }

  Job_Definition_var definition(int type, int subtype, const json_value& scripts = json_value::object()) {
    json_value d = {{"id", "5f0c2b9e-1d2a-4e4b-9a51-0000000000" + std::to_string(10 + (counter_++ % 90))},
                    {"type", type},
                    {"subtype", subtype},
                    {"agent", "hana"},
                    {"scripts", scripts}};
    if (type == JOB_DEFINITION_BACKUP) {
      d["source"] = {{"id", "res"}, {"entries", {"hana/HDB00/SYSTEMDB"}}};
      d["options"] = {{"compression", "zstd"}};
    } else if (type == JOB_DEFINITION_RESTORE) {
      d["target"] = {{"id", "restore-target"}};
      d["source"] = {{"id", "restore-source"}, {"name", "PRD"}, {"entries", json_value::array()}};
    }
    std::string error;
    Job_Definition_var def = Job_Definition::from_json(d, registry_, error);
    EXPECT_TRUE(def) << error;
    return def;
  }

  /// Starts `job` and waits (at most 20 s) until its run has ended.
  void run(Job& job, const Action_Options* options) {
    ASSERT_EQ(job.start(options), 0);
    wait([&job] { return !job.running(); });
  }
  static void wait(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(done());
  }

  Temp_Dir dir_;
  Log_Capture log_;
  Job_Parser_Registry registry_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Default_Backup_Job_Source_Parser> sources_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Backup_Job_Options_Parser> options_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Restore_Job_Source_Parser> restore_sources_;
  Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>, Restore_Job_Options_Parser> restore_options_;
  int counter_ = 0;
};

}  // namespace

TEST_F(HanaJob, CreatorMakesDataBackupJobsOnlyForTheirSubtypes) {
  HANA_Job_Creator creator;
  for (int subtype : {1, 2, 3}) {
    Job_var job = creator.create(definition(JOB_DEFINITION_BACKUP, subtype));
    EXPECT_NE(dynamic_cast<HANA_Backup_Job*>(job.get()), nullptr) << subtype;
  }
  Job_var restore = creator.create(definition(JOB_DEFINITION_RESTORE, JOB_DEFINITION_SUBTYPE_POINT_IN_TIME));
  EXPECT_NE(dynamic_cast<Controllable_Job_T<Restore_Executor>*>(restore.get()), nullptr);
  log_.clear();
  EXPECT_FALSE(creator.create(definition(JOB_DEFINITION_BACKUP, 0)));
  EXPECT_FALSE(creator.create(definition(JOB_DEFINITION_BACKUP, 5)));
  EXPECT_FALSE(creator.create(definition(JOB_DEFINITION_RESTORE, 1)));
  EXPECT_EQ(log_.text(), std::string(job_def_subtype_to_string(0)) + " is not supported\n" +
                             job_def_subtype_to_string(5) + " is not supported\n" + job_def_subtype_to_string(1) +
                             " is not supported\n");
  log_.clear();
  EXPECT_FALSE(creator.create(definition(JOB_DEFINITION_STANDBY, 1)));
  EXPECT_FALSE(creator.create(definition(JOB_DEFINITION_STORAGE, 1)));
  EXPECT_EQ(log_.text(), "");
}

TEST_F(HanaJob, NullAndEmptyOptionsBothRunWithoutOptions) {
  Job_var job = make_job<Scripted_Job>(definition(JOB_DEFINITION_BACKUP, 1));
  run(*job, nullptr);
  EXPECT_TRUE(trace.null_options);
  Action_Options empty;
  trace.null_options = false;
  run(*job, &empty);
  EXPECT_TRUE(trace.null_options);
  Action_Options some = {{"job_act_id", "r3"}};
  run(*job, &some);
  EXPECT_FALSE(trace.null_options);
  EXPECT_EQ(trace.executed, 3);
  EXPECT_EQ(job->outcome(), JOB_OUTCOME_SUCCESS);
}

TEST_F(HanaJob, FailingPreconditionEndsIdleWithoutAnyReport) {
  Job_var job = make_job<Scripted_Job>(definition(JOB_DEFINITION_BACKUP, 1, {{"precondition", "exit 3"}}));
  run(*job, nullptr);
  EXPECT_EQ(trace.executed, 0);
  EXPECT_EQ(job->activity().state, JOB_STATE_IDLE);
  EXPECT_EQ(job->activity().start_time, job->activity().last_run_time);
  EXPECT_EQ(job->outcome(), JOB_OUTCOME_NONE);
}

TEST_F(HanaJob, PauseDuringThePreActionSkipsTheWorkAndEndsPaused) {
  const std::string started = dir_.file("pre-started"), go = dir_.file("go");
  const std::string pre =
      "touch " + started + "; i=0; while [ ! -e " + go + " ] && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done";
  for (bool always : {false, true}) {
    ::unlink(started.c_str());
    ::unlink(go.c_str());
    const std::string post_marker = dir_.file(always ? "post-always" : "post-never");
    Job_var job = make_job<Scripted_Job>(
        definition(JOB_DEFINITION_BACKUP, 1,
                   {{"pre_action", pre}, {"post_action", "touch " + post_marker}, {"run_post_action_always", always}}));
    ASSERT_EQ(job->start(nullptr), 0);
    wait([&] { return ::access(started.c_str(), F_OK) == 0; });
    EXPECT_EQ(job->pause(nullptr), 0);
    dir_.write("go", "");
    wait([&] { return !job->running(); });
    EXPECT_EQ(trace.executed, 0);
    EXPECT_EQ(job->outcome(), JOB_OUTCOME_PAUSED);
    EXPECT_EQ(::access(post_marker.c_str(), F_OK) == 0, always);
  }
}

TEST_F(HanaJob, FailedWorkEndsFailedUnlessCanceled) {
  trace.result = false;
  Job_var job = make_job<Scripted_Job>(definition(JOB_DEFINITION_BACKUP, 1));
  run(*job, nullptr);
  EXPECT_EQ(job->outcome(), JOB_OUTCOME_FAILURE);
}

TEST_F(HanaJob, RestoreWaitsForTheSourceAndTargetResourcesThenRefusesOtherSubtypes) {
  // A data backup of either system holds its resource's mutex for its run.
  for (const char* held : {"restore-target", "restore-source"}) {
    SCOPED_TRACE(held);
    std::shared_ptr<ACE_Thread_Mutex> mutex = Job_Mutex::get(held);
    ASSERT_EQ(mutex->acquire(), 0);
    Job_var job = make_job<Controllable_Job_T<Restore_Executor>>(definition(JOB_DEFINITION_RESTORE, 1));
    ASSERT_EQ(job->start(nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(job->running());
    mutex->release();
    wait([&job] { return !job->running(); });
    EXPECT_EQ(job->outcome(), JOB_OUTCOME_FAILURE);
    EXPECT_NE(
        read_file(job->log_path()).find(std::string("Type ") + job_def_subtype_to_string(1) + " is not supported\n"),
        std::string::npos)
        << read_file(job->log_path());
  }
}
