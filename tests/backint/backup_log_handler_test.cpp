#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/backupd/agent_job_activity_handle.h"
#include "backint/log_backup_handler.h"
#include "temp_dir.h"

using namespace sap_hana;

namespace {

class Log_Probe : public Backint_Log_Backup_Handler {
 public:
  explicit Log_Probe(Backint_Info info = Backint_Info()) : Backint_Log_Backup_Handler(with_in_file(info)) {
    protocol_.use_streams(nullptr, &out_);
  }
  static Backint_Info with_in_file(Backint_Info info) {
    info.in_file = "/tmp/in";
    return info;
  }
  std::string out() const { return out_.str(); }
  using Backint_Log_Backup_Handler::execute_backup;

 private:
  std::ostringstream out_;
};

}  // namespace

TEST(BackintBackupLogHandler, PipeKindFromTheBaseName) {
  using H = Backint_Log_Backup_Handler;
  H::Log_Backup_Type type = H::TYPE_UNKNOWN;
  const std::string dir = "/usr/sap/H00/SYS/global/hdb/backint/DB_T1/";
  EXPECT_TRUE(H::parse_pipe_name(dir + "log_backup_0_0_0_0.123", type));
  EXPECT_EQ(type, H::TYPE_LOG);
  H::parse_pipe_name(dir + "X_databackup_incremental_5_9_3_1", type);
  EXPECT_EQ(type, H::TYPE_INCREMENTAL);
  H::parse_pipe_name(dir + "X_databackup_differential_5_9_3_1", type);
  EXPECT_EQ(type, H::TYPE_DIFFERENTIAL);
  // Only the base name counts, and a log name wins over delta words in it.
  H::parse_pipe_name("/databackup_incremental/log_backup_databackup_incremental", type);
  EXPECT_EQ(type, H::TYPE_LOG);
  H::parse_pipe_name("/databackup_incremental/other", type);
  EXPECT_EQ(type, H::TYPE_LOG);
  H::parse_pipe_name("COMPLETE_DATA_BACKUP_databackup_0_1", type);
  EXPECT_EQ(type, H::TYPE_LOG);
}

TEST(BackintBackupLogHandler, LastJobUuidPieceWins) {
  std::string uuid = "kept";
  Backint_Log_Backup_Handler::parse_job_uuid("xjob_uuid=J", uuid);
  EXPECT_EQ(uuid, "kept");
  Backint_Log_Backup_Handler::parse_job_uuid("a=1;job_uuid=J;b=2", uuid);
  EXPECT_EQ(uuid, "J");
  Backint_Log_Backup_Handler::parse_job_uuid("job_uuid=A;;job_uuid=B", uuid);
  EXPECT_EQ(uuid, "B");
}

TEST(BackintBackupLogHandler, UnsupportedLevelIsRefused) {
  Backint_Info info;
  info.level = LEVEL_COMPLETE;
  Log_Probe h(info);
  EXPECT_FALSE(h.execute_backup());
  EXPECT_EQ(h.out(), "#DEBUG Level 1 is not supported in log backup handler\n#ERROR \"/tmp/in\"\n");
}

class BackintBackupLogJobState : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Agent_Job_Activity_Handle::directory();
    Agent_Job_Activity_Handle::set_directory(tmp_.path());
  }
  void TearDown() override { Agent_Job_Activity_Handle::set_directory(saved_); }
  void write_record(const std::string& uid, Job_State state, std::uint32_t magic = job_activity_magic) {
    Job_Activity record;
    std::memset(&record, 0, sizeof record);
    record.magic = magic;
    record.version = job_activity_version;
    record.state = state;
    std::ofstream(Agent_Job_Activity_Handle::path_of(uid), std::ios::binary)
        .write(reinterpret_cast<const char*>(&record), sizeof record);
  }
  Temp_Dir tmp_;
  std::string saved_;
};

TEST_F(BackintBackupLogJobState, ActiveUnlessNoneDeletedOrDisabled) {
  Log_Probe h;
  write_record("completed", JOB_STATE_COMPLETED);
  write_record("running", JOB_STATE_RUNNING);
  write_record("disabled", JOB_STATE_DISABLED);
  write_record("deleted", JOB_STATE_DELETED);
  write_record("none", JOB_STATE_NONE);
  write_record("foreign", JOB_STATE_RUNNING, 0x12345678);
  EXPECT_TRUE(h.job_is_active("completed"));
  EXPECT_TRUE(h.job_is_active("running"));
  EXPECT_FALSE(h.job_is_active("disabled"));
  EXPECT_FALSE(h.job_is_active("deleted"));
  EXPECT_FALSE(h.job_is_active("none"));
  EXPECT_FALSE(h.job_is_active("foreign"));
  EXPECT_EQ(h.out(), "");

  Job_State state = JOB_STATE_IDLE;
  EXPECT_FALSE(h.get_job_state("missing", state));
  EXPECT_FALSE(h.job_is_active("../escape"));
  EXPECT_EQ(h.out(),
            "#DEBUG Failed to open job activity for 'missing', errno=2.\n"
            "#DEBUG Failed to open job activity for '../escape', errno=22.\n");
  EXPECT_EQ(state, JOB_STATE_IDLE);
}
