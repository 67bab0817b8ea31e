#include "agent/daemon/agent_service.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <ace/Log_Msg.h>

#include "agent/base/file_utils.h"
#include "agent/config/host_manager.h"
#include "agent/config/websocket_options.h"
#include "agent/backupd/agent_job_activity_handle.h"
#include "agent/daemon/agent_job_handler.h"
#include "agent/daemon/agent_probe_handler.h"
#include "agent/daemon/instance_prober.h"
#include "agent/daemon/job_manager.h"
#include "agent/daemon/json_rpc_endpoint.h"
#include "agent/daemon/service_repository.h"
#include "agent/jsonrpc/global_json_rpc_channel.h"
#include "agent/job/stop_timeouts.h"
#include "agent/jsonrpc/json_rpc_session.h"

namespace {

constexpr int kRegisterTimeout = 10;
constexpr int kRetrySeconds = 30;

bool write_port_file(const std::string& path, std::uint16_t port) {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  bool ok = std::fprintf(f, "%u\n", static_cast<unsigned>(port)) > 0;
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

bool Agent_Service::register_with_server(const std::string& address) {
  auto channel = Global_JSON_RPC_Channel::instance();
  if (!channel) return false;
  JSON_RPC_Object_Ptr answer;
  json_value params = {{"host_uuid", settings_.host_uuid},
                       {"address", address},
                       {"endpoint_key", std::string(settings_.endpoint_key.data(), settings_.endpoint_key.size())}};
  if (JSON_RPC_Session(channel).request("agent.register", params, answer, kRegisterTimeout) != 0) return false;
  if (answer->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Registration refused by backupd: %C\n"), answer->error_message().c_str()));
    return false;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("Registered with backupd as %C at %C\n"), settings_.host_uuid.c_str(), address.c_str()));
  return true;
}

int Agent_Service::run() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  // Blocked before any thread starts, so every thread inherits the mask and
  // only the wait below takes these signals.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (mkdir_p(settings_.work_dir.c_str(), 0755) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Cannot create the work directory %C\n"), settings_.work_dir.c_str()));
    return 1;
  }
  Instance_Manager::instance()->registry_path(settings_.instance_registry);
  // Services that ask the process-wide configuration see this agent's.
  Host_Manager::instance()->load(settings_.conf_dir);
  WebSocket_Options::instance()->load(settings_.conf_dir);
  if (!Global_JSON_RPC_Channel::open_from_config(settings_.conf_dir))
    ACE_ERROR((LM_WARNING, ACE_TEXT("No channel to backupd; serving local requests only\n")));

  Agent_Job_Activity_Handle::set_directory(settings_.work_dir + "/act");
  Job::set_log_directory(settings_.work_dir + "/log/jobs");

  Service_Repository services;
  std::string error;
  if (!services.load(settings_.svc_conf, error)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Loading the service configuration failed: %C\n"), error.c_str()));
    Global_JSON_RPC_Channel::set(nullptr);
    return 1;
  }
  Instance_Prober prober(services);
  std::vector<std::shared_ptr<Instance>> found;
  prober.probe(found);
  ACE_DEBUG((LM_INFO, ACE_TEXT("Probe found %d instance(s)\n"), static_cast<int>(found.size())));

  Agent_Probe_Handler probe_handler(prober);
  services.add_builtin("agent.probe", &probe_handler);
  Job_Manager jobs(services);
  Agent_Job_Handler job_handler(jobs);
  for (const char* const* m = Agent_Job_Handler::kMethods; *m != nullptr; ++m) services.add_builtin(*m, &job_handler);
  JSON_RPC_Endpoint endpoint(settings_, services);
  if (!endpoint.start(error)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC endpoint: %C\n"), error.c_str()));
    services.unload();
    Global_JSON_RPC_Channel::set(nullptr);
    return 1;
  }
  std::string address =
      settings_.rpc_advertise.empty() ? settings_.endpoint_url(endpoint.port()) : settings_.rpc_advertise;
  ACE_DEBUG((LM_INFO, ACE_TEXT("Serving JSON-RPC at %C\n"), settings_.endpoint_url(endpoint.port()).c_str()));

  bool registered = register_with_server(address);
  bool jobs_loaded = registered && jobs.load_definitions() >= 0;
  // Written last: whoever waits for the file finds the agent serving and,
  // when the server answered, registered.
  if (!write_port_file(settings_.port_file(), endpoint.port()))
    ACE_ERROR((LM_WARNING, ACE_TEXT("Cannot write %C\n"), settings_.port_file().c_str()));
  for (;;) {
    struct timespec wait = {kRetrySeconds, 0};
    int sig = sigtimedwait(&signals, nullptr, &wait);
    if (sig == SIGTERM || sig == SIGINT) break;
    if (sig == SIGHUP) {
      prober.probe(found);
      ACE_DEBUG((LM_INFO, ACE_TEXT("Probe found %d instance(s)\n"), static_cast<int>(found.size())));
    } else if (sig < 0 && errno == EAGAIN) {
      if (!registered) registered = register_with_server(address);
      if (registered && !jobs_loaded) jobs_loaded = jobs.load_definitions() >= 0;
    }
  }

  ACE_DEBUG((LM_INFO, ACE_TEXT("Stopping\n")));
  endpoint.stop();
  probe_handler.fini();
  job_handler.fini();
  if (jobs.shutdown(Stop_Timeouts::kAgentStopWaitSeconds)) {
    services.unload();
  } else {
    // A job thread still runs plug-in code: unloading would pull it from
    // under the thread. The process ends with the modules loaded.
    ACE_ERROR((LM_ERROR, ACE_TEXT("Jobs still running; the plug-ins stay loaded until the agent exits\n")));
    services.abandon();
  }
  Global_JSON_RPC_Channel::set(nullptr);
  ::unlink(settings_.port_file().c_str());
  ACE_DEBUG((LM_INFO, ACE_TEXT("Stopped\n")));
  return 0;
}
