#include "common/hdbsql_executor.h"

#include <pwd.h>
#include <string.h>

#include <ace/Log_Msg.h>
#include <ace/Process.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "agent/config/instance_manager.h"
#include "common/server_port_manager.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

// Entries this process wrote into root's user store, with the password
// they hold: a statement needs no second hdbuserstore run while the account
// stays the same.
std::mutex written_mutex;
std::map<std::string, std::pair<std::string, secure_string>> written_entries;

// The key of root's store entry for one user at one SQL port.
std::string own_key_name(const std::string& env, const std::string& user, bool trial) {
  char text[40];
  std::snprintf(text, sizeof text, "STROVIX3%s%016zX", trial ? "T" : "", std::hash<std::string>()(env + '\n' + user));
  return text;
}

// Backups and recoveries run for hours; their callers decide how long.
bool long_running(const std::string& sql) {
  const std::size_t start = sql.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return false;
  const std::size_t end = sql.find_first_of(" \t\r\n(", start);
  const std::string word = boost::to_upper_copy(sql.substr(start, end == std::string::npos ? end : end - start));
  return word == "BACKUP" || word == "RECOVER";
}

}  // namespace

HDBSQL_Executor::HDBSQL_Executor(const std::string& tool) : tool_(tool), default_tool_(tool.empty()) {}

bool HDBSQL_Executor::init(const std::string& sid, const std::string& instance_name, const std::string& database,
                           const std::string& username, const secure_string& password) {
  if (sid.empty() || instance_name.empty() || username.empty() || (password.empty() && !names_store_key(username))) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Insufficient information to initialize the hdbsql executor.\n")));
    return false;
  }
  return init(generate_instance_manager_name(sid, instance_name), database, username, password);
}

bool HDBSQL_Executor::init(const std::string& instance_manager_name, const std::string& database,
                           const std::string& username, const secure_string& password) {
  if (instance_manager_name.empty() || username.empty() || (password.empty() && !names_store_key(username))) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Insufficient information to initialize the hdbsql executor.\n")));
    return false;
  }
  std::shared_ptr<Instance> instance = Instance_Manager::instance()->find("hana", instance_manager_name);
  if (!instance) return false;

  Database_Info info;
  System_Instance_Info& ii = info.instance_info;
  if (!instance->get_option("sid", ii.system_info.sid) ||
      !instance->get_option("instance_number", ii.instance_number) ||
      !instance->get_option("instance_name", ii.instance_name) ||
      !instance->get_option("localhost", ii.system_info.localhost) ||
      !instance->get_option("dir_executable", ii.dir_executable) ||
      !instance->get_option("multi_container", ii.system_info.multi_container)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get instance info to initialize hdbsql executor\n")));
    return false;
  }
  info.name = database;
  return init(info, username, password);
}

bool HDBSQL_Executor::init(const Database_Info& database_info, const std::string& username,
                           const secure_string& password) {
  if (username.empty() || (password.empty() && !names_store_key(username))) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Lack of username or password\n")));
    return false;
  }
  const System_Instance_Info& ii = database_info.instance_info;
  // Ports are computed in 16 bits; a number beyond HANA's range would give
  // some other service's port.
  if (ii.instance_number > 99) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid instance number %u to initialize hdbsql executor\n"),
               static_cast<unsigned>(ii.instance_number)));
    return false;
  }
  host_ = ii.system_info.localhost;
  sid_ = ii.system_info.sid;
  database_ = database_info.name;
  instance_number_ = ii.instance_number;
  username_ = username;
  password_ = password;
  multi_container_ = ii.system_info.multi_container;
  Server_Port_Manager ports(instance_number_);
  port_ = ports.get_port(multi_container_ ? Server_Port_Manager::TYPE_MDC_INDEXSERVER
                                          : Server_Port_Manager::TYPE_INDEXSERVER);
  dir_executable_ = ii.dir_executable;
  // A second init for another instance must not keep the first one's program.
  if (default_tool_) tool_ = dir_executable_ + "/hdbsql";
  initialize_ = true;
  return true;
}

bool HDBSQL_Executor::is_initialized() const {
  if (!initialize_) ACE_ERROR((LM_ERROR, ACE_TEXT("HDBSQL executor need to be initialized first.\n")));
  return initialize_;
}

bool HDBSQL_Executor::execute(const std::string& sql, const ACE_Log_Msg_Callback_var& log_callback) const {
  Text_Process_Handler discard(Text_Process_Handler::TPHF_LOG_NONE, 60);
  return execute(sql, &discard, log_callback);
}

bool HDBSQL_Executor::execute(const std::string& sql, Text_Process_Handler* handler,
                              const ACE_Log_Msg_Callback_var& log_callback) const {
  if (handler == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, handler is NULL:\n%?\n")));
    return false;
  }
  if (sql.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Lack of sql\n")));
    return false;
  }
  if (!is_initialized()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to execute sql '%s'\n"), sql.c_str()));
    return false;
  }

  ACE_Process_Options options(true, 1024, 16384, 512, 128);
  options.handle_inheritance(false);
  options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s"), dir_executable_.c_str());

  // Never a password in the argument vector (every local user reads
  // /proc/<pid>/cmdline): hdbsql connects through a key of a secure user
  // store, <sid>adm's for an account that names one, root's own otherwise.
  // Every value is one argument of its own: a statement of any length or
  // content reaches hdbsql whole, or hdbsql is not started at all.
  std::vector<std::string> argv = {tool_, "-U"};
  const std::string env = host_ + ":" + std::to_string(port_);
  std::string own_key;
  if (names_store_key(username_)) {
    argv.push_back(username_.substr(1));
    if (!as_sid_adm(options)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to execute '%s': no user %sadm for its user store key\n"), sql.c_str(),
                 boost::to_lower_copy(sid_).c_str()));
      return false;
    }
  } else {
    own_key = own_key_name(env, username_, trial_);
    if (!write_own_entry(own_key, env, log_callback)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to execute '%s'\n"), sql.c_str()));
      return false;
    }
    argv.push_back(own_key);
  }
  if (!database_.empty()) {
    argv.push_back("-d");
    argv.push_back(database_);
  }
  argv.push_back(sql);

  const unsigned own_limit = handler->time_limit();
  if (own_limit == 0 && !long_running(sql)) handler->time_limit(time_limit_);
  const int result = handler->call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, argv, options, log_callback);
  handler->time_limit(own_limit);
  if (trial_ && !own_key.empty()) delete_own_entry(own_key);
  if (result != 0 && !own_key.empty()) {
    // The entry may have gone from the store meanwhile: the next statement
    // writes it again.
    std::lock_guard<std::mutex> guard(written_mutex);
    written_entries.erase(own_key);
  }
  if (result != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to execute '%s'\n"), sql.c_str()));
    return false;
  }
  return true;
}

bool HDBSQL_Executor::names_store_key(const std::string& username) { return username.size() > 1 && username[0] == '@'; }

bool HDBSQL_Executor::as_sid_adm(ACE_Process_Options& options) const {
  const std::string user = boost::to_lower_copy(sid_) + "adm";
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      options.setreugid(user.c_str()) != 0)
    return false;
  options.setenv(ACE_TEXT("HOME"), ACE_TEXT("%s"), pw.pw_dir);
  options.setenv(ACE_TEXT("USER"), ACE_TEXT("%s"), pw.pw_name);
  options.setenv(ACE_TEXT("LOGNAME"), ACE_TEXT("%s"), pw.pw_name);
  return true;
}

bool HDBSQL_Executor::write_own_entry(const std::string& key, const std::string& env,
                                      const ACE_Log_Msg_Callback_var& log_callback) const {
  std::lock_guard<std::mutex> guard(written_mutex);
  auto known = written_entries.find(key);
  if (!trial_ && known != written_entries.end() && known->second.first == username_ &&
      known->second.second == password_)
    return true;
  // hdbuserstore -i prompts for the password and reads it from its input.
  ACE_Process_Options options(true, 1024, 16384, 512, 128);
  options.handle_inheritance(false);
  options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s"), dir_executable_.c_str());
  std::vector<std::string> argv = {dir_executable_ + "/hdbuserstore", "-i", "SET", key, env, username_};
  secure_string line = password_;
  line.push_back('\n');
  Text_Process_Handler quiet(Text_Process_Handler::TPHF_LOG_NONE, 60);
  quiet.time_limit(time_limit_ ? time_limit_ : kDefaultTimeLimit);
  quiet.input(line.data(), line.size());
  const int result =
      quiet.call(ACE_Process_Ex::REDIRECT_STDIN | ACE_Process_Ex::REDIRECT_STDOUT_STDERR, argv, options, log_callback);
  if (result != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to store the account of %s for %s in the user store (hdbuserstore: %d)\n"),
               username_.c_str(), env.c_str(), result));
    return false;
  }
  if (!trial_) written_entries[key] = {username_, password_};
  return true;
}

void HDBSQL_Executor::delete_own_entry(const std::string& key) const {
  ACE_Process_Options options(true, 1024, 16384, 512, 128);
  options.handle_inheritance(false);
  options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s"), dir_executable_.c_str());
  Text_Process_Handler quiet(Text_Process_Handler::TPHF_LOG_NONE, 60);
  quiet.time_limit(kDefaultTimeLimit);
  if (quiet.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, {dir_executable_ + "/hdbuserstore", "DELETE", key}, options) !=
      0)
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to delete the user store entry %s\n"), key.c_str()));
}

}  // namespace sap_hana
