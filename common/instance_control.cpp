#include "common/instance_control.h"

#include <ace/Log_Msg.h>
#include <ace/Process.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include <boost/algorithm/string.hpp>

#include "agent/base/snprintf_t.h"
#include "agent/process/subprocess.h"
#include "agent/process/text_process_handler.h"
#include "common/environ_getter.h"
#include "common/hana_basic_type.h"
#include "common/server_port_manager.h"
#include "common/system_control.h"
#include "common/utils.h"
#include "common/hana_paths.h"

namespace sap_hana {

namespace {

// HDB's own start and stop time-outs (one day).
constexpr unsigned kHdbTimeout = 86400;
// What of HDB's output reaches the log when it fails: its end, where the
// reason stands.
constexpr off_t kHdbOutputTail = 16384;

std::string tail_of(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::string();
  const off_t start = st.st_size > kHdbOutputTail ? st.st_size - kHdbOutputTail : 0;
  std::string text(static_cast<std::size_t>(st.st_size - start), '\0');
  const ssize_t n = ::pread(fd, &text[0], text.size(), start);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  if (start > 0) text.erase(0, text.find('\n') == std::string::npos ? 0 : text.find('\n') + 1);
  return text;
}

}  // namespace

bool Instance_Controller::get_state(ACE_UINT16 instance_number, Instance_State& state) {
  state = INSTANCE_STATE_UNKNOWN;
  const bool multi_container = System_Controller(sid_).is_multi_container();
  std::vector<Service_Info> services;
  if (!get_instance_services(instance_number, services)) {
    state = INSTANCE_STATE_STOPPED;
    return false;
  }
  Server_Port_Manager ports(instance_number);
  state = ports.is_listening(multi_container ? Server_Port_Manager::TYPE_MDC_INDEXSERVER
                                             : Server_Port_Manager::TYPE_INDEXSERVER)
              ? INSTANCE_STATE_RUNNING
              : INSTANCE_STATE_STOPPED;
  return true;
}

bool Instance_Controller::get_state(const std::string& instance_name, Instance_State& state) {
  ACE_UINT16 number = 0;
  if (!instance_name_to_number(instance_name, number)) return false;
  return get_state(number, state);
}

bool Instance_Controller::valid_names(const std::string& instance_name) const {
  // Both names become parts of paths, of a user name and of a process
  // pattern; requests from peers must not lead anywhere else.
  ACE_UINT16 number = 0;
  if (is_hana_identifier(sid_) && instance_name_to_number(instance_name, number) && instance_name[3] >= '0' &&
      instance_name[4] >= '0' && instance_name[3] <= '9' && instance_name[4] <= '9')
    return true;
  ACE_ERROR(
      (LM_ERROR, ACE_TEXT("Invalid system ID '%s' or instance name '%s'\n"), sid_.c_str(), instance_name.c_str()));
  return false;
}

bool Instance_Controller::get_instance_services(const std::string& instance_name, std::vector<Service_Info>& services) {
  if (!valid_names(instance_name)) return false;
  // Anchored to the system's own directory, so that no other system's
  // process (nor any other program) is taken for this instance's.
  snprintf_t<4096> pattern("^/usr/sap/%s/%s/exe/sapstartsrv( |$)", sid_.c_str(), instance_name.c_str());
  std::vector<Service_Info> found;
  if (Service_Lister::list_service(pattern.c_str(), found, false, "C") != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get %s %s service info\n"), sid_.c_str(), instance_name.c_str()));
    return false;
  }
  bool any = false;
  for (const Service_Info& service : found) {
    HANA_Env_Value env;
    if (!Environ_Getter::instance()->get_start_service(service.pid, env)) continue;
    services.push_back(service);
    any = true;
  }
  return any;
}

bool Instance_Controller::get_instance_services(ACE_UINT16 instance_number, std::vector<Service_Info>& services) {
  std::string name;
  if (!instance_number_to_name(instance_number, name)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to generate instance name\n")));
    return false;
  }
  return get_instance_services(name, services);
}

bool Instance_Controller::get_default_instance_dir(const std::string& instance_name, std::string& dir) {
  dir = snprintf_t<4096>(hana_paths::kInstanceDirFormat, sid_.c_str(), instance_name.c_str()).c_str();
  return true;
}

bool Instance_Controller::get_instance_dir(const std::string& instance_name, std::string& dir, bool use_default) {
  dir.clear();
  std::vector<Service_Info> services;
  if (!get_instance_services(instance_name, services)) {
    // An instance whose start service is down as well still has its
    // directory; HDB start brings the service up.
    if (use_default) return get_default_instance_dir(instance_name, dir);
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get %s %s instance env\n"), sid_.c_str(), instance_name.c_str()));
    return false;
  }
  HANA_Env_Value env;
  if (!Environ_Getter::instance()->get_start_service(services.front().pid, env) && !use_default) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get %s %s instance dir\n"), sid_.c_str(), instance_name.c_str()));
    return false;
  }
  dir = env.instance_dir;
  if (dir.empty() && use_default) get_default_instance_dir(instance_name, dir);
  return !dir.empty();
}

bool Instance_Controller::hdb_action(const std::string& instance_name, HDB_ACTION action) {
  const char* word = nullptr;
  switch (action) {
    case HDB_ACTION_START:
      word = "start";
      break;
    case HDB_ACTION_STOP:
      word = "stop";
      break;
    case HDB_ACTION_RESTART:
      word = "restart";
      break;
    default:
      ACE_ERROR((LM_ERROR, ACE_TEXT("Unknown type of HDB action\n")));
      return false;
  }

  std::string dir;
  int result = -1;
  std::string output;
  if (valid_names(instance_name) && get_instance_dir(instance_name, dir, true)) {
    ACE_Process_Options options(true, 1024, 16384, 512, 128);
    options.handle_inheritance(false);
    const std::string user = snprintf_t<64>("%sadm", boost::to_lower_copy(sid_).c_str()).c_str();
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> pw_buffer(16384);
    if (::getpwnam_r(user.c_str(), &pw, pw_buffer.data(), pw_buffer.size(), &found) != 0 || found == nullptr ||
        options.setreugid(user.c_str()) != 0) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to find user '%s'\n"), user.c_str()));
    } else {
      // HDB expects what a log-in as <sid>adm gives: that user's variables
      // and its home as working directory, not root's.
      options.setenv(ACE_TEXT("HOME"), ACE_TEXT("%s"), pw.pw_dir);
      options.setenv(ACE_TEXT("USER"), ACE_TEXT("%s"), pw.pw_name);
      options.setenv(ACE_TEXT("LOGNAME"), ACE_TEXT("%s"), pw.pw_name);
      options.setenv(ACE_TEXT("SHELL"), ACE_TEXT("%s"), pw.pw_shell);
      options.working_directory(pw.pw_dir);
      options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s/exe"), dir.c_str());
      options.setenv(ACE_TEXT("HDB_START_TIMEOUT"), ACE_TEXT("%u"), kHdbTimeout);
      options.setenv(ACE_TEXT("HDB_STOP_TIMEOUT"), ACE_TEXT("%u"), kHdbTimeout);
      // The output goes to an unnamed file rather than a pipe: HDB start
      // leaves daemons behind that may keep its output open long after the
      // script has ended.
      FILE* collected = std::tmpfile();
      const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (collected == nullptr || null_fd < 0 ||
          options.set_handles(null_fd, ::fileno(collected), ::fileno(collected)) != 0) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to create a file for the output of HDB, %m\n")));
      } else {
        std::vector<std::string> argv = {dir + "/HDB", word};
        result = subprocess::call(argv, options, ACE_Log_Msg_Callback_var(),
                                  kHdbTimeout + Text_Process_Handler::TERM_TIMEOUT);
        options.release_handles();
        if (result != 0) output = tail_of(::fileno(collected));
      }
      if (null_fd >= 0) ::close(null_fd);
      if (collected != nullptr) std::fclose(collected);
    }
  }
  if (result != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %s %s instance %s\n"), word, sid_.c_str(), instance_name.c_str()));
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) ACE_ERROR((LM_ERROR, ACE_TEXT("HDB %s: %s\n"), word, line.c_str()));
    return false;
  }
  return true;
}

bool Instance_Controller::start(const std::string& instance_name) {
  return hdb_action(instance_name, HDB_ACTION_START);
}

bool Instance_Controller::stop(const std::string& instance_name) { return hdb_action(instance_name, HDB_ACTION_STOP); }

bool Instance_Controller::restart(const std::string& instance_name) {
  return hdb_action(instance_name, HDB_ACTION_RESTART);
}

}  // namespace sap_hana
