// The job activity record: written by a job, read by other processes
// through its own mapping of the same file.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include <gtest/gtest.h>

#include "agent/backupd/agent_job_activity_handle.h"
#include "temp_dir.h"

namespace {

const char* const uid = "6c1d3a0e-9f2b-4c57-a1de-0123456789ab";

class Job_Activity_Test : public ::testing::Test {
 protected:
  void SetUp() override { Agent_Job_Activity_Handle::set_directory(dir_.path() + "/act"); }
  void TearDown() override { Agent_Job_Activity_Handle::set_directory("/var/opt/corvane/strovix3/agent/act"); }

  Temp_Dir dir_;
};

TEST_F(Job_Activity_Test, RecordWrittenByTheJobIsSeenByAReader) {
  Agent_Job_Activity_Handle writer;
  ASSERT_EQ(0, writer.open(uid, O_RDWR | O_CREAT));
  EXPECT_EQ(job_activity_magic, writer->magic);
  EXPECT_EQ(JOB_STATE_NONE, writer->state);
  writer->state = JOB_STATE_RUNNING;
  writer->start_time = 1700000000;
  writer->set_storage_size = 123456789012ull;
  ASSERT_EQ(0, writer.sync());

  Agent_Job_Activity_Handle reader;
  ASSERT_EQ(0, reader.open(uid, 0x80000));
  EXPECT_EQ(0, memcmp("JACT", &reader->magic, 4));
  EXPECT_EQ(JOB_STATE_RUNNING, reader->state);
  EXPECT_EQ(1700000000, reader->start_time);
  EXPECT_EQ(123456789012ull, reader->set_storage_size);

  // Both map the same file: a later change shows at once.
  writer->state = JOB_STATE_DISABLED;
  EXPECT_EQ(JOB_STATE_DISABLED, reader->state);

  // Opening an existing record again keeps its content.
  Agent_Job_Activity_Handle again;
  ASSERT_EQ(0, again.open(uid, O_RDWR | O_CREAT));
  EXPECT_EQ(JOB_STATE_DISABLED, again->state);
}

TEST_F(Job_Activity_Test, ReadersFailCleanlyOnMissingOrBadRecords) {
  Agent_Job_Activity_Handle reader;
  errno = 0;
  EXPECT_EQ(-1, reader.open(uid, 0x80000));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(reader.is_open());

  for (const char* bad : {"", "../../etc/passwd", "a/b", "x.y"}) {
    errno = 0;
    EXPECT_EQ(-1, reader.open(bad, O_RDWR | O_CREAT)) << bad;
    EXPECT_EQ(EINVAL, errno) << bad;
  }

  // A truncated record is refused rather than mapped past the file's end.
  ASSERT_EQ(0, mkdir((dir_.path() + "/act").c_str(), 0755));
  std::ofstream(Agent_Job_Activity_Handle::path_of(uid)) << "JACT";
  errno = 0;
  EXPECT_EQ(-1, reader.open(uid, 0x80000));
  EXPECT_EQ(EINVAL, errno);
}

}  // namespace
