// strovix3-agent: the agent program of a Strovix3 host.
//
//   strovix3-agent [-c <conf dir>] serve
//   strovix3-agent [-c <conf dir>] probe
//   strovix3-agent [-c <conf dir>] account set <type> <registry name> (<user> | --key <key>) [--uid <uid>]
//   strovix3-agent [-c <conf dir>] call [--timeout <seconds>] <method> [<params JSON>]
//   strovix3-agent [-c <conf dir>] job start|stop|pause|resume|abort|remove|update|setup_ondemand
//                                     <definition id> [<options JSON>]
//   strovix3-agent [-c <conf dir>] job status [<definition id>]
//   strovix3-agent [-c <conf dir>] job list
//
// Exit codes: 0 success; 1 failure (for call: the service answered with a
// JSON-RPC error); 2 usage, configuration or transport fault.

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>
#include <openssl/crypto.h>

#include "agent/config/instance_manager.h"
#include "agent/config/agent_config.h"
#include "agent/daemon/agent_probe_handler.h"
#include "agent/daemon/agent_service.h"
#include "agent/daemon/agent_settings.h"
#include "agent/daemon/instance_prober.h"
#include "agent/daemon/service_repository.h"
#include "agent/jsonrpc/http_json_rpc_channel.h"
#include "agent/jsonrpc/json_rpc_session.h"

namespace {

constexpr const char* kUsage =
    "usage: strovix3-agent [-c <conf dir>] serve\n"
    "       strovix3-agent [-c <conf dir>] probe\n"
    "       strovix3-agent [-c <conf dir>] account set <type> <registry name> (<user> | --key <key>) [--uid "
    "<uid>]\n"
    "       strovix3-agent [-c <conf dir>] call [--timeout <seconds>] <method> [<params JSON>]\n"
    "       strovix3-agent [-c <conf dir>] job start|stop|pause|resume|abort|remove|update|setup_ondemand\n"
    "                                          <definition id> [<options JSON>]\n"
    "       strovix3-agent [-c <conf dir>] job status [<definition id>]\n"
    "       strovix3-agent [-c <conf dir>] job list\n";

// Accounts the administrator sets are stored for this user of the backup
// server unless --uid names another: the list service looks accounts up by
// the "uid" its requester sends.
constexpr const char* kDefaultUid = "admin";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool load_settings(const std::string& dir, Agent_Settings& settings) {
  std::string error;
  if (settings.load(dir, error)) return true;
  std::fprintf(stderr, "strovix3-agent: %s\n", error.c_str());
  return false;
}

int cmd_probe(const Agent_Settings& settings) {
  Instance_Manager::instance()->registry_path(settings.instance_registry);
  Service_Repository services;
  std::string error;
  if (!services.load(settings.svc_conf, error)) {
    std::fprintf(stderr, "strovix3-agent: %s\n", error.c_str());
    return 2;
  }
  Instance_Prober prober(services);
  std::vector<std::shared_ptr<Instance>> found;
  int rc = prober.probe(found);
  for (const auto& i : found)
    std::printf("%s %s %s\n", i->type().c_str(), i->name().c_str(), i->options().dump().c_str());
  if (found.empty()) std::printf("No instances found\n");
  if (rc != 0) std::fprintf(stderr, "strovix3-agent: probing failed (see the log)\n");
  return rc == 0 ? 0 : 1;
}

// One line from standard input, without echo on a terminal.
bool read_password(secure_string& password) {
  bool tty = isatty(STDIN_FILENO);
  struct termios saved {};
  if (tty) {
    std::fputs("Password: ", stderr);
    tcgetattr(STDIN_FILENO, &saved);
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  bool ok = static_cast<bool>(std::getline(std::cin, line)) || !line.empty();
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password.assign(line.data(), line.size());
  if (!line.empty()) OPENSSL_cleanse(&line[0], line.size());
  return ok && !password.empty();
}

int cmd_account_set(const Agent_Settings& settings, const std::vector<std::string>& args) {
  // account set <type> <name> (<user> | --key <key>) [--uid <uid>]
  std::vector<std::string> words(args.begin(), args.end());
  std::string uid = kDefaultUid;
  if (words.size() >= 2 && words[words.size() - 2] == "--uid") {
    uid = words.back();
    words.resize(words.size() - 2);
    if (uid.empty()) return usage();
  }
  std::string user;
  if (words.size() == 6 && words[4] == "--key" && !words[5].empty() && words[5][0] != '-')
    user = "@" + words[5];  // a key of the application's own credential store
  else if (words.size() == 5 && !words[4].empty() && words[4][0] != '@' && words[4][0] != '-')
    user = words[4];
  else
    return usage();
  if (words[1] != "set") return usage();
  const bool by_key = user[0] == '@';
  const std::string& type = words[2];
  const std::string& name = words[3];
  Instance_Manager* registry = Instance_Manager::instance();
  registry->registry_path(settings.instance_registry);
  if (!registry->find(type, name)) {
    std::fprintf(stderr, "strovix3-agent: %s instance %s is not registered (run strovix3-agent probe)\n", type.c_str(),
                 name.c_str());
    return 1;
  }
  secure_string password;
  if (!by_key && !read_password(password)) {
    std::fprintf(stderr, "strovix3-agent: no password on standard input\n");
    return 2;
  }
  // Check the credentials with the instance handler of the type, when one is
  // configured, so a mistyped password is refused now, not at the next job.
  Service_Repository services;
  std::string error;
  if (!services.load(settings.svc_conf, error)) {
    std::fprintf(stderr, "strovix3-agent: %s\n", error.c_str());
    return 2;
  }
  for (Instance_Handler* handler : services.instance_handlers()) {
    if (handler->type() != type) continue;
    int rc = handler->logon(name.c_str(), user.c_str(), password.c_str(), nullptr);
    if (rc == Instance_Handler::E_INVALID_USERNAME_OR_PASSWORD) {
      std::fprintf(stderr, "strovix3-agent: log-on to %s as %s refused: wrong %s\n", name.c_str(), user.c_str(),
                   by_key ? "or unknown key" : "user or password");
      return 1;
    }
    if (rc != Instance_Handler::E_OK) {
      std::fprintf(stderr, "strovix3-agent: log-on check for %s failed (%d); nothing stored\n", name.c_str(), rc);
      return 1;
    }
  }
  if (!registry->set_account(type, name, uid, user, password)) {
    std::fprintf(stderr, "strovix3-agent: storing the account failed (see the log)\n");
    return 1;
  }
  std::printf("Account of %s stored for %s %s (uid %s)\n", user.c_str(), type.c_str(), name.c_str(), uid.c_str());
  return 0;
}

// One request to the local agent: 0 with `answer`, 2 (reported) when the
// agent cannot be reached.
int call_agent(const Agent_Settings& settings, const std::string& method, const json_value& params, int timeout,
               JSON_RPC_Object_Ptr& answer) {
  std::uint16_t port = settings.rpc_port;
  if (port == 0) {
    FILE* f = std::fopen(settings.port_file().c_str(), "r");
    unsigned p = 0;
    if (!f || std::fscanf(f, "%u", &p) != 1 || p == 0 || p > 65535) {
      if (f) std::fclose(f);
      std::fprintf(stderr, "strovix3-agent: no port in %s (is the agent serving?)\n", settings.port_file().c_str());
      return 2;
    }
    std::fclose(f);
    port = static_cast<std::uint16_t>(p);
  }
  HTTP_Session::Options options;
  options.host = settings.rpc_address == "0.0.0.0" ? "127.0.0.1"
                 : settings.rpc_address == "::"    ? "::1"
                                                   : settings.rpc_address;
  options.port = port;
  options.ssl = settings.tls();
  options.ca_file = settings.rpc_cert;
  options.name = "strovix3-agent";
  if (settings.endpoint_key.empty()) {
    std::fprintf(stderr, "strovix3-agent: no endpoint key %s (has the agent been started?)\n",
                 settings.endpoint_key_file().c_str());
    return 2;
  }
  auto channel = std::make_shared<HTTP_JSON_RPC_Channel>(options, "/jsonrpc", settings.endpoint_key, timeout);
  if (JSON_RPC_Session(channel).request(method, params, answer, timeout) != 0) {
    std::fprintf(stderr, "strovix3-agent: no answer from the agent at %s\n", settings.endpoint_url(port).c_str());
    return 2;
  }
  return 0;
}

int cmd_call(const Agent_Settings& settings, const std::vector<std::string>& args) {
  std::size_t i = 1;
  int timeout = 600;
  if (i < args.size() && args[i] == "--timeout") {
    if (i + 1 >= args.size()) return usage();
    timeout = std::atoi(args[i + 1].c_str());
    if (timeout < 1) return usage();
    i += 2;
  }
  if (i >= args.size() || args.size() - i > 2) return usage();
  const std::string& method = args[i];
  json_value params;
  if (i + 1 < args.size()) {
    try {
      params = json_value::parse(args[i + 1]);
    } catch (const json_value::exception&) {
      std::fprintf(stderr, "strovix3-agent: params are not JSON\n");
      return 2;
    }
    if (!params.is_object() && !params.is_array()) {
      std::fprintf(stderr, "strovix3-agent: params must be a JSON object or array\n");
      return 2;
    }
  }
  JSON_RPC_Object_Ptr answer;
  if (int rc = call_agent(settings, method, params, timeout, answer)) return rc;
  if (answer->type() == JSON_RPC_Object::TYPE_ERROR) {
    json_value error = answer->to_json()["error"];
    std::printf("%s\n", error.dump().c_str());
    return 1;
  }
  std::printf("%s\n", answer->result().dump().c_str());
  return 0;
}

// "<id> state=<state> progress=<n>% outcome=<outcome> run=<run id or -> name=<name>"
void print_job_status(const json_value& job) {
  std::string run = job.value("job_act_id", std::string());
  std::printf("%s state=%s progress=%d%% outcome=%s run=%s name=%s\n", job.value("id", std::string()).c_str(),
              job.value("state", std::string()).c_str(), job.value("progress", 0),
              job.value("outcome", std::string()).c_str(), run.empty() ? "-" : run.c_str(),
              job.value("name", std::string()).c_str());
}

int cmd_job(const Agent_Settings& settings, const std::vector<std::string>& args) {
  if (args.size() < 2) return usage();
  const std::string& command = args[1];
  static const char* const kCommands[] = {"start",  "stop",   "pause",          "resume", "abort",
                                          "remove", "update", "setup_ondemand", nullptr};
  bool known = command == "status" || command == "list";
  for (const char* const* c = kCommands; *c != nullptr && !known; ++c) known = command == *c;
  if (!known) return usage();
  json_value params = json_value::object();
  if (command == "list") {
    if (args.size() != 2) return usage();
  } else if (command == "status") {
    if (args.size() > 3) return usage();
    if (args.size() == 3) params["id"] = args[2];
  } else {
    if (args.size() < 3 || args.size() > 4) return usage();
    params["id"] = args[2];
    if (args.size() == 4) {
      try {
        params["options"] = json_value::parse(args[3]);
      } catch (const json_value::exception&) {
        std::fprintf(stderr, "strovix3-agent: options are not JSON\n");
        return 2;
      }
      if (!params["options"].is_object()) {
        std::fprintf(stderr, "strovix3-agent: options must be a JSON object\n");
        return 2;
      }
    }
  }
  JSON_RPC_Object_Ptr answer;
  std::string method = "agent.job." + std::string(command == "list" ? "status" : command);
  if (int rc = call_agent(settings, method, params, 60, answer)) return rc;
  if (answer->type() == JSON_RPC_Object::TYPE_ERROR) {
    std::fprintf(stderr, "strovix3-agent: %s\n", answer->error_message().c_str());
    return 1;
  }
  const json_value& result = answer->result();
  if (command == "list") {
    for (const json_value& job : result.value("jobs", json_value::array()))
      std::printf("%s %s %s %s %s\n", job.value("id", std::string()).c_str(), job.value("agent", std::string()).c_str(),
                  job.value("type", std::string()).c_str(), job.value("subtype", std::string()).c_str(),
                  job.value("name", std::string()).c_str());
  } else if (command == "status") {
    const json_value jobs = result.value("jobs", json_value::array());
    for (const json_value& job : jobs) print_job_status(job);
    if (jobs.empty()) std::printf("No jobs\n");
  } else {
    print_job_status(result);
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string dir = Agent_Config::kDefaultDir;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "-c") {
    dir = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return usage();
  const std::string& command = args[0];
  if (command != "serve" && command != "probe" && command != "account" && command != "call" && command != "job")
    return usage();
  if (command == "serve" && args.size() != 1) return usage();
  if (command == "probe" && args.size() != 1) return usage();
  Agent_Settings settings;
  if (!load_settings(dir, settings)) return 2;
  if (command == "serve") {
    std::string error;
    if (!settings.create_endpoint_key(error)) {
      std::fprintf(stderr, "strovix3-agent: %s\n", error.c_str());
      return 2;
    }
    return Agent_Service(settings).run();
  }
  // The administrator's commands log only faults, to standard error.
  ACE_LOG_MSG->priority_mask(LM_WARNING | LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY, ACE_Log_Msg::PROCESS);
  if (command == "probe") return cmd_probe(settings);
  if (command == "account") return cmd_account_set(settings, args);
  if (command == "job") return cmd_job(settings, args);
  return cmd_call(settings, args);
}
