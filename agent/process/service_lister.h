#ifndef AGENT_SERVICE_LISTER_H
#define AGENT_SERVICE_LISTER_H

#include <sys/types.h>

#include <string>
#include <vector>

/// One running process as the process lister reports it.
struct Service_Info {
  std::string cmd;   ///< command line, arguments joined by single blanks
  std::string user;  ///< user name of the effective uid (the number when it has no name)
  pid_t pid = 0;
};

/// Lists the running processes of the host whose command line matches a
/// regular expression (Perl syntax).
///
/// Contract of list_service(pattern, services, full_match, locale):
/// - Scans /proc; every process with a non-empty command line (kernel threads
///   have none) whose command line matches `pattern` is appended to
///   `services`, in ascending pid order. The vector is not cleared first.
/// - `full_match` false: the pattern may match anywhere in the command line;
///   true: it must match the whole command line.
/// - `locale` names the locale the pattern is compiled in ("C" for a plain
///   byte-wise match); null or "" keeps the global locale.
/// - Returns 0 on success (also when nothing matched), -1 with an error log
///   line when the pattern is null or invalid, the locale is unknown or /proc
///   cannot be read. Processes that end while being read are skipped.
/// - Stateless; safe to call from several threads.
class Service_Lister {
 public:
  static int list_service(const char* pattern, std::vector<Service_Info>& services, bool full_match,
                          const char* locale);

  /// The command line of one process ("" for a kernel thread); false when
  /// the process is gone or cannot be read.
  static bool command_line(pid_t pid, std::string& cmd);

  /// The effective uid that the text of /proc/<pid>/status names ("Uid:"
  /// real, effective, ...); false when the text has none.
  static bool effective_uid(const std::string& status, uid_t& uid);
};

#endif
