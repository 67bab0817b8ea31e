#ifndef SAP_HANA_ENVIRON_GETTER_H
#define SAP_HANA_ENVIRON_GETTER_H

#include <ace/Null_Mutex.h>
#include <ace/Singleton.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/hana_env_value.h"

namespace sap_hana {

/// Finds where a HANA instance lives from the environment of one of its
/// running processes and from the system's own configuration files:
///   /proc/<pid>/environ
///   /usr/sap/<SID>/SYS/global/hdb/custom/config/nameserver.ini  ([landscape] id)
///   /usr/sap/sapservices                                       (instance profile lines)
///
/// Contract:
/// - One instance per process: instance() creates it on the first call
///   without a lock (make the first call from the start-up thread);
///   close_instance() or Environ_Getter_fini() destroys it.
/// - Nothing is cached: every call reads the files anew. All operations are
///   stateless and may run in several threads once the instance exists.
/// - Every operation answers true on success; each failure is a false result
///   with one error-level log line. A value that was being filled when the
///   failure struck keeps what was already written; callers discard it.
/// - A null or empty SID is refused with an emergency-level precondition
///   message.
class Environ_Getter {
 public:
  static Environ_Getter* instance();
  static void close_instance();

  /// Fills `value` from the environment of process `pid` (landscape_id and
  /// trace_dir untouched). Refuses pid 0 ("Need to get environment variables
  /// under database users") before opening anything; fails when the
  /// environment cannot be read (another user's or an ended process) or no
  /// instance number can be found (neither a numeric TINSTANCE entry nor an
  /// instance directory containing "HDB" and two digits).
  bool get(pid_t pid, HANA_Env_Value& value);

  /// Fills `value` from the environment of the system's start service (the
  /// first trusted process, by pid, whose program is
  /// "/usr/sap/<SID>/HDB<nn>/exe/sapstartsrv"), then sets landscape_id; the
  /// result is that of get_landscape_id. Untrusted processes are logged and
  /// skipped (see get_start_service).
  bool get(const std::string& sid, HANA_Env_Value& value);

  /// Fills `value` from the environment of start service process `pid`, but
  /// only when that process can be trusted with what is later run as root
  /// from the directories it names:
  /// - its program (first argument) is "/usr/sap/<SID>/HDB<nn>/exe/sapstartsrv";
  /// - it runs as "<sid>adm" (effective user) of that SID;
  /// - its environment names that SID and instance number, and DIR_INSTANCE
  ///   and DIR_EXECUTABLE, when set, are exactly "/usr/sap/<SID>/HDB<nn>" and
  ///   "/usr/sap/<SID>/HDB<nn>/exe";
  /// - every directory those paths pass through, symbolic links followed
  ///   (into /hana/shared/<SID>/ for example), belongs to root or <sid>adm
  ///   and is writable by its owner only.
  /// Command line, owner and environment are read from one process, even if
  /// its pid is reused meanwhile. An untrusted process gives false and one
  /// error line "Ignoring start service process <pid>, <reason>"; a process
  /// that cannot be read, the messages of get(pid).
  bool get_start_service(pid_t pid, HANA_Env_Value& value);

  /// The trace directory "/usr/sap/<SID>/HDB<nn>/<host>/trace" of the first
  /// instance of the system listed in /usr/sap/sapservices. False (without a
  /// message) when no active line names an instance profile of the system.
  static bool get_trace_dir(const std::string& sid, std::string& dir);

  /// Appends "<instance dir>/<entry>/trace" for every entry of the instance
  /// directory (from get by SID) for which that is a directory, in directory
  /// listing order. True when `dirs` is non-empty afterwards.
  bool get_trace_dirs(const std::string& sid, std::vector<std::string>& dirs);

  /// Reads key "id" of section "landscape" of the system's custom
  /// nameserver.ini into `id`. False when the file is missing, cannot be
  /// parsed, lacks the key, or the id is empty.
  static bool get_landscape_id(const char* sid, std::string& id);

  Environ_Getter(const Environ_Getter&) = delete;
  Environ_Getter& operator=(const Environ_Getter&) = delete;

 private:
  Environ_Getter() = default;
  ~Environ_Getter() = default;
  friend class ACE_Singleton<Environ_Getter, ACE_Null_Mutex>;

  bool get_env_value(pid_t pid, HANA_Env_Value& value);
  static bool parse_environment(const std::string& block, HANA_Env_Value& value);
};

}  // namespace sap_hana

/// Destroys the Environ_Getter singleton (same as Environ_Getter::close_instance()).
void Environ_Getter_fini();

#endif
