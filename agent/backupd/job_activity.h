#ifndef AGENT_JOB_ACTIVITY_H
#define AGENT_JOB_ACTIVITY_H

#include <cstdint>

/// States of a job, as recorded in its activity record. The numbers are
/// shared with the server and with other processes through the record:
/// never renumber them.
enum Job_State : std::int32_t {
  JOB_STATE_NONE = 0,
  JOB_STATE_IDLE = 1,
  JOB_STATE_RUNNING = 3,
  JOB_STATE_PAUSING = 4,
  JOB_STATE_COMPLETING = 6,
  JOB_STATE_COMPLETED = 7,
  JOB_STATE_CANCELING = 8,
  JOB_STATE_ERROR = 10,
  JOB_STATE_DELETED = 14,
  JOB_STATE_SKIPPED = 17,
  JOB_STATE_DISABLED = 19,
  JOB_STATE_ABORTING = 20,
  JOB_STATE_SWITCHING = 23
};

/// The activity record of one job definition, shared between processes
/// through a memory-mapped file (Agent_Job_Activity_Handle). The layout is
/// fixed (256 bytes, host byte order) because readers in other processes
/// map the same file: new fields go into `reserved`, never in between.
/// `magic` is job_activity_magic ("JACT" in memory order) in every valid
/// record. Times are seconds since the epoch; sizes are bytes. The job
/// thread owns the writes; readers may see a field mid-update only for the
/// 64-bit counters, never for `state` (an aligned 32-bit store).
struct Job_Activity {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint8_t uid[16];
  Job_State state;
  std::uint32_t pad0;
  std::int64_t start_time;
  std::int64_t last_run_time;
  std::int64_t end_time;
  std::uint64_t size;              // source bytes of the last run
  std::uint64_t set_size;          // source bytes of the backup set
  std::uint64_t set_storage_size;  // stored bytes of the backup set
  // The ID of the current or last run, NUL-terminated (run IDs have at
  // most 64 characters): a run found active at the next start names the
  // run that was cut short.
  char run_id[72];
  std::uint8_t reserved[104];
};

constexpr std::uint32_t job_activity_magic = 0x5443414A;
constexpr std::uint32_t job_activity_version = 1;

static_assert(sizeof(Job_Activity) == 256, "the record layout is shared with other processes");

#endif
