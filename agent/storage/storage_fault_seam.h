#ifndef AGENT_STORAGE_FAULT_SEAM_H
#define AGENT_STORAGE_FAULT_SEAM_H

#include <atomic>
#include <string>

/// The system calls of the file pool driver that a test can make fail, and
/// the behaviour of filesystems the test machine lacks (no O_TMPFILE, NFS's
/// lock rules). In-process tests call configure(); a test that starts
/// programs (hana-backint through the simulator) sets the environment
/// variable STROVIX3_STORAGE_FAULTS, which is read once per process, and
/// only by builds made with the tests (HANA_TESTS): a build without them
/// ignores the variable, so production never injects a fault it was not
/// built for. Without either, nothing is injected.
///
/// The text: items separated by ",":
///  - "<op>=<errno>@<n>": the n-th call (from 1) of <op> in this process
///    fails with that errno (ENOSPC, EIO, EDQUOT, EROFS or EACCES). <op> is
///    "create" (a temporary file for an object), "write" (one write of a
///    writer), "sync" (a writer's fsync before commit) or "rename" (the link
///    or rename that publishes an object).
///  - "named_temporaries": writers use named temporaries, as where the
///    filesystem has no O_TMPFILE.
///  - "nfs_locks": lock() as NFS emulates flock: an exclusive lock needs a
///    descriptor open for writing, a shared one a descriptor open for
///    reading (EBADF otherwise).
/// e.g. "named_temporaries,nfs_locks,sync=EIO@2".
///
/// Each injected fault is noted on standard error, one line:
/// "storage fault: <op> #<n> failed with <errno>". Thread-safe.
class Storage_Fault_Seam {
 public:
  enum class Op { create, write, sync, rename };

  /// The process's seam (from the environment in test builds).
  static Storage_Fault_Seam& instance();

  Storage_Fault_Seam(const Storage_Fault_Seam&) = delete;
  Storage_Fault_Seam& operator=(const Storage_Fault_Seam&) = delete;

  /// Replaces every setting with those of `text` ("" switches all off) and
  /// restarts the call counts. False, changing nothing, for a text it
  /// cannot read.
  bool configure(const std::string& text);
  /// The errno this call of `op` is to fail with, or 0.
  int fail(Op op);
  bool named_temporaries() const { return named_temporaries_; }
  /// flock(2) under the rules above.
  int lock(int fd, int operation) const;

 private:
  Storage_Fault_Seam() = default;

  struct Plan {
    std::atomic<long> calls{0};
    long nth = 0;  // 0: never
    int error = 0;
  };

  Plan plans_[4];
  bool named_temporaries_ = false;
  bool nfs_locks_ = false;
};

#endif
