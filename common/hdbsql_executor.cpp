#include "common/hdbsql_executor.h"

#include <string.h>

#include <ace/Log_Msg.h>
#include <ace/Process.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <memory>
#include <vector>

#include "agent/config/instance_manager.h"
#include "common/server_port_manager.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

// The argument vector holds the password; it is wiped when the statement
// has run.
struct Wiped_Arguments {
  std::vector<std::string> argv;
  ~Wiped_Arguments() {
    for (auto& a : argv) {
      if (!a.empty()) explicit_bzero(&a[0], a.size());
    }
  }
};

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
  if (sid.empty() || instance_name.empty() || username.empty() || password.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Insufficient information to initialize the hdbsql executor.\n")));
    return false;
  }
  return init(generate_instance_manager_name(sid, instance_name), database, username, password);
}

bool HDBSQL_Executor::init(const std::string& instance_manager_name, const std::string& database,
                           const std::string& username, const secure_string& password) {
  if (instance_manager_name.empty() || username.empty() || password.empty()) {
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
  if (username.empty() || password.empty()) {
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

  // Every value is one argument of its own: a statement of any length or
  // content reaches hdbsql whole, or hdbsql is not started at all.
  Wiped_Arguments args;
  args.argv = {tool_, "-u", username_, "-p", std::string(), "-i", std::to_string(instance_number_)};
  args.argv[4].assign(password_.data(), password_.size());
  if (!database_.empty()) {
    args.argv.push_back("-d");
    args.argv.push_back(database_);
  }
  args.argv.push_back("-n");
  args.argv.push_back(host_ + ":" + std::to_string(port_));
  args.argv.push_back(sql);

  const unsigned own_limit = handler->time_limit();
  if (own_limit == 0 && !long_running(sql)) handler->time_limit(time_limit_);
  const int result = handler->call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, args.argv, options, log_callback);
  handler->time_limit(own_limit);
  if (result != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to execute '%s'\n"), sql.c_str()));
    return false;
  }
  return true;
}

}  // namespace sap_hana
