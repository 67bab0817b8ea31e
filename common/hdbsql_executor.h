#ifndef SAP_HANA_HDBSQL_EXECUTOR_H
#define SAP_HANA_HDBSQL_EXECUTOR_H

#include <ace/Basic_Types.h>

#include <string>

#include "agent/process/ace_process_ex.h"
#include "agent/base/secure_string.h"
#include "agent/process/text_process_handler.h"
#include "common/hana_basic_type.h"

namespace sap_hana {

/// Runs SQL statements against one HANA database through `hdbsql`, one child
/// process per statement.
///
/// Contract:
/// - A value type: copies carry the connection data, the initialised state
///   and the password (held in a secure_string, wiped on release).
/// - init() must succeed before execute(); a later init() replaces every
///   field. The SQL port is that of the system database (instance number
///   * 100 + 30013) on a multi-container system and that of the index server
///   (+ 30015) otherwise.
/// - execute() runs
///     <tool> -U <key> [-d <database>] <statement>
///   never with a password among the arguments (every local user can read
///   a command line). A user of the form "@<key>" names a key of the secure
///   user store of <sid>adm (the account holds no password): hdbsql then
///   runs as <sid>adm. For any other user the executor keeps an entry of
///   root's own store, key "STROVIX3" and 16 hexadecimal digits of the
///   user and <host>:<port>, written with "hdbuserstore -i SET <key>
///   <host>:<port> <user>" and the password on standard input (written once
///   per process, again after a statement failed), and hdbsql runs as
///   root. Each value is handed over as one argument exactly as given
///   (never split, unquoted or shortened, whatever the statement's length),
///   `-d` only when a database is set, LD_LIBRARY_PATH set to the
///   executable directory, standard error merged into the output, and no
///   other open handle inherited. The command line is never logged;
///   failures log the statement only.
/// - execute() returns true exactly when hdbsql ended successfully; lines a
///   handler rejects do not change that.
/// - Time limits: a handler with a time limit of its own is bounded by it.
///   Otherwise every statement is bounded by the executor's time_limit()
///   (kDefaultTimeLimit unless changed; 0: none), so that a hung client
///   never holds its thread for ever, except BACKUP and RECOVER statements
///   (first word, any case), which run for hours: they are bounded only by
///   the limit their caller gives the handler. The handler's own setting is
///   the same after the call.
/// - No locks: one thread uses an executor at a time.
class HDBSQL_Executor {
 public:
  /// `tool`: path of the hdbsql program; empty means "<dir_executable>/hdbsql",
  /// filled in by init().
  explicit HDBSQL_Executor(const std::string& tool = std::string());

  /// By system ID and instance name ("HDB00"): looks up the instance
  /// "<sid>_<instance_name>" in the agent's instance registry.
  bool init(const std::string& sid, const std::string& instance_name, const std::string& database,
            const std::string& username, const secure_string& password);
  /// By instance registry name. `database` may be empty: statements then run
  /// against the database the port leads to (the system database).
  bool init(const std::string& instance_manager_name, const std::string& database, const std::string& username,
            const secure_string& password);
  /// From a database record: its instance's host, number, executable
  /// directory and multi-container flag, and its name as the database.
  bool init(const Database_Info& database_info, const std::string& username, const secure_string& password);

  /// Runs `sql` and discards its output.
  bool execute(const std::string& sql, const ACE_Log_Msg_Callback_var& log_callback = ACE_Log_Msg_Callback_var()) const;
  /// Runs `sql` and hands every output line to `handler` (not owned).
  bool execute(const std::string& sql, Text_Process_Handler* handler,
               const ACE_Log_Msg_Callback_var& log_callback = ACE_Log_Msg_Callback_var()) const;

  /// For a password that is still to be checked (a log-on): its store entry
  /// has a key of its own ("STROVIX3T..."), is written for every statement
  /// and deleted after it, so that the entry the other statements use keeps
  /// the password that works.
  void trial(bool on) { trial_ = on; }

  /// Seconds a statement without a limit of its own may run (see above).
  static constexpr unsigned kDefaultTimeLimit = 600;
  void time_limit(unsigned seconds) { time_limit_ = seconds; }
  unsigned time_limit() const { return time_limit_; }

  /// True after a successful init(); logs when false.
  bool is_initialized() const;

  /// `username` is "@<key>": a key of <sid>adm's secure user store, used
  /// without a password.
  static bool names_store_key(const std::string& username);

  bool multi_container() const { return multi_container_; }
  const std::string& host() const { return host_; }
  ACE_UINT16 port() const { return port_; }
  const std::string& sid() const { return sid_; }
  const std::string& database() const { return database_; }
  ACE_UINT16 instance_number() const { return instance_number_; }
  const std::string& username() const { return username_; }
  const std::string& tool() const { return tool_; }
  const std::string& dir_executable() const { return dir_executable_; }

 private:
  bool initialize_ = false;
  bool multi_container_ = false;
  std::string host_;
  ACE_UINT16 port_ = 0;
  std::string sid_;
  std::string database_;
  ACE_UINT16 instance_number_ = 0;
  std::string username_;
  secure_string password_;
  std::string tool_;
  std::string dir_executable_;
  bool default_tool_;  // no tool given: init() derives it from each instance

  bool as_sid_adm(ACE_Process_Options& options) const;
  bool write_own_entry(const std::string& key, const std::string& env,
                       const ACE_Log_Msg_Callback_var& log_callback) const;
  void delete_own_entry(const std::string& key) const;
  unsigned time_limit_ = kDefaultTimeLimit;
  bool trial_ = false;
};

}  // namespace sap_hana

#endif
