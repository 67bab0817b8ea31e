#include "agent/process/service_lister.h"

#include <ace/Log_Msg.h>
#include <pwd.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <fstream>
#include <iterator>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "agent/base/directory_iterator.h"
#include "agent/base/natoi.h"
#include "agent/base/snprintf_t.h"

namespace {

std::string user_name(uid_t uid) {
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
  return snprintf_t<21>("%u", static_cast<unsigned>(uid)).c_str();
}

// The effective uid from /proc/<pid>/status ("Uid:\treal\teffective\t...").
// The owner of the /proc/<pid> directory is no substitute: the kernel shows
// root there for processes that are not dumpable.
bool effective_uid_of(pid_t pid, uid_t& uid) {
  std::ifstream in(snprintf_t<64>("/proc/%d/status", static_cast<int>(pid)).c_str());
  std::stringstream status;
  status << in.rdbuf();
  return in.good() && Service_Lister::effective_uid(status.str(), uid);
}

}  // namespace

bool Service_Lister::command_line(pid_t pid, std::string& cmd) {
  std::ifstream in(snprintf_t<64>("/proc/%d/cmdline", static_cast<int>(pid)).c_str(), std::ios::binary);
  if (!in) return false;
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  // Arguments are NUL-terminated; show them the way a shell would print them.
  while (!raw.empty() && raw.back() == '\0') raw.pop_back();
  std::replace(raw.begin(), raw.end(), '\0', ' ');
  cmd.swap(raw);
  return true;
}

int Service_Lister::list_service(const char* pattern, std::vector<Service_Info>& services, bool full_match,
                                 const char* locale) {
  if (pattern == nullptr) {
    ACE_ERROR((LM_ERROR, "Missing process pattern\n"));
    return -1;
  }
  boost::regex expression;
  try {
    if (locale != nullptr && *locale != '\0') expression.imbue(std::locale(locale));
    expression.assign(pattern, boost::regex::perl);
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Invalid process pattern '%s', %s\n", pattern, e.what()));
    return -1;
  }

  std::vector<pid_t> pids;
  int visited = iterate_directory("/proc", [&pids](const std::string& name, const struct dirent&) {
    const char* end = nullptr;
    pid_t pid = natoi<pid_t>(name.c_str(), &end);
    if (errno == 0 && *end == '\0' && pid > 0) pids.push_back(pid);
    return true;
  });
  if (visited < 0) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s', %m\n", "/proc"));
    return -1;
  }
  std::sort(pids.begin(), pids.end());

  for (pid_t pid : pids) {
    std::string cmd;
    if (!command_line(pid, cmd) || cmd.empty()) continue;
    bool matched = false;
    try {
      matched = full_match ? boost::regex_match(cmd, expression) : boost::regex_search(cmd, expression);
    } catch (const std::exception&) {
      // Boost gives up on patterns that backtrack too much; such a line is no match.
      continue;
    }
    if (!matched) continue;
    uid_t uid = 0;
    if (!effective_uid_of(pid, uid)) continue;
    Service_Info info;
    info.cmd = std::move(cmd);
    info.user = user_name(uid);
    info.pid = pid;
    services.push_back(std::move(info));
  }
  return 0;
}

bool Service_Lister::effective_uid(const std::string& status, uid_t& uid) {
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, 4, "Uid:") != 0) continue;
    std::istringstream fields(line.substr(4));
    unsigned long real = 0;
    unsigned long effective = 0;
    if (!(fields >> real >> effective)) return false;
    uid = static_cast<uid_t>(effective);
    return true;
  }
  return false;
}
