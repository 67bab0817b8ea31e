#include "common/environ_getter.h"

#include <ace/Log_Msg.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/string.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/regex.hpp>
#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/base/directory_iterator.h"
#include "agent/base/file_utils.h"
#include "agent/base/natoi.h"
#include "agent/process/service_lister.h"
#include "agent/base/snprintf_t.h"
#include "common/precondition.h"
#include "common/utils.h"
#include "common/hana_paths.h"

namespace sap_hana {

namespace {

using Singleton = ACE_Unmanaged_Singleton<Environ_Getter, ACE_Null_Mutex>;

constexpr const char* kSapServices = hana_paths::kSapServices;

// sapservices is a shell script: a commented-out line names no running instance.
bool is_comment(const std::string& line) {
  std::string::size_type first = line.find_first_not_of(" \t");
  return first != std::string::npos && line[first] == '#';
}

bool starts_with(const std::string& entry, const char* prefix, std::size_t length, std::string& rest) {
  if (entry.compare(0, length, prefix) != 0) return false;
  rest.assign(entry, length, std::string::npos);
  return true;
}

// Reads a whole file (a /proc entry has no size) relative to `dir`.
bool read_file_at(int dir, const char* name, std::string& out) {
  const int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool user_id(const std::string& user, uid_t& uid) {
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  uid = pw.pw_uid;
  return true;
}

// A directory that root runs programs from must not be replaceable by
// anybody but root and the system's own user.
bool trusted_entry(const std::string& path, const struct stat& st, uid_t owner, std::string& reason) {
  if (!S_ISDIR(st.st_mode)) {
    reason = "'" + path + "' is not a directory";
  } else if (st.st_uid != 0 && st.st_uid != owner) {
    reason = "'" + path + "' belongs to neither root nor the system's user";
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    reason = "'" + path + "' is writable by others than its owner";
  }
  return reason.empty();
}

// Resolves `path` one entry at a time from "/", following symbolic links
// wherever they lead, and checks every directory it passes through: each
// directory that holds an entry of the path, a link, or the target itself.
// Links are followed rather than refused: HANA installs link
// /usr/sap/<SID>/HDB<nn> and its exe directory into /hana/shared/<SID>/.
bool trusted_directory(const std::string& path, uid_t owner, std::string& reason) {
  struct stat st;
  if (::lstat("/", &st) != 0 || !trusted_entry("/", st, owner, reason)) {
    if (reason.empty()) reason = "'/' cannot be read";
    return false;
  }
  std::vector<std::string> todo;  // components still to walk, the next one last
  auto push = [&todo](const std::string& text) {
    std::vector<std::string> parts;
    boost::split(parts, text, boost::is_any_of("/"));
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
  };
  push(path);
  std::string current;  // resolved so far; "" is "/"
  int links = 0;
  while (!todo.empty()) {
    const std::string name = todo.back();
    todo.pop_back();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      current.erase(current.rfind('/') == std::string::npos ? 0 : current.rfind('/'));
      continue;
    }
    const std::string next = current + "/" + name;
    if (::lstat(next.c_str(), &st) != 0) {
      reason = "'" + next + "' cannot be read";
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = ::readlink(next.c_str(), target, sizeof target);
      if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target || ++links > 40) {
        reason = "the link '" + next + "' cannot be followed";
        return false;
      }
      if (target[0] == '/') current.clear();
      push(std::string(target, static_cast<std::size_t>(n)));
      continue;
    }
    if (!trusted_entry(next, st, owner, reason)) return false;
    current = next;
  }
  return true;
}

}  // namespace

// Entries of an environment block, separated by NUL bytes.
bool Environ_Getter::parse_environment(const std::string& block, HANA_Env_Value& value) {
  static const struct {
    const char* prefix;
    std::size_t length;
  } kPrefixes[] = {{"DIR_EXECUTABLE=", 15}, {"HOSTNAME=", 9},      {"DIR_INSTANCE=", 13}, {"USER=", 5},
                   {"TINSTANCE=", 10},      {"SAPSYSTEMNAME=", 14}};
  std::string* const targets[] = {&value.dir_executable, &value.hostname, &value.instance_dir,
                                  &value.user,           nullptr,         &value.sid};

  bool number_found = false;
  std::istringstream in(block);
  std::string entry;
  std::string rest;
  while (std::getline(in, entry, '\0')) {
    for (std::size_t i = 0; i < sizeof kPrefixes / sizeof kPrefixes[0]; ++i) {
      if (!starts_with(entry, kPrefixes[i].prefix, kPrefixes[i].length, rest)) continue;
      if (targets[i] != nullptr) {
        targets[i]->swap(rest);
      } else {
        // Only a clean decimal counts; anything else falls back to the
        // instance directory rather than passing for instance 0.
        const char* end = nullptr;
        ACE_UINT16 number = natoi<ACE_UINT16>(rest.c_str(), &end);
        if (errno == 0 && *end == '\0') {
          value.instance_number = number;
          number_found = true;
        }
      }
      break;
    }
  }

  if (!number_found) {
    static const boost::regex kInstanceDigits(".*HDB([0-9][0-9]).*");
    boost::smatch match;
    if (!boost::regex_match(value.instance_dir, match, kInstanceDigits)) {
      ACE_ERROR((LM_ERROR, "Failed to get instance number\n"));
      return false;
    }
    value.instance_number = natoi<ACE_UINT16>(match[1].str().c_str());
  }
  return true;
}

Environ_Getter* Environ_Getter::instance() { return Singleton::instance(); }

void Environ_Getter::close_instance() { Singleton::close(); }

bool Environ_Getter::get(pid_t pid, HANA_Env_Value& value) { return get_env_value(pid, value); }

bool Environ_Getter::get_env_value(pid_t pid, HANA_Env_Value& value) {
  if (pid == 0) {
    ACE_ERROR((LM_ERROR, "Need to get environment variables under database users\n"));
    return false;
  }
  snprintf_t<64> path("/proc/%d/environ", static_cast<int>(pid));
  std::string block;
  if (!read_file_at(AT_FDCWD, path.c_str(), block)) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s'\n", path.c_str()));
    return false;
  }
  return parse_environment(block, value);
}

bool Environ_Getter::get_start_service(pid_t pid, HANA_Env_Value& value) {
  if (pid <= 0) return get_env_value(0, value);
  // Everything is read through one handle of the process directory: should
  // the process end and its pid be reused, the reads fail instead of
  // mixing two processes.
  snprintf_t<64> dir_path("/proc/%d", static_cast<int>(pid));
  const int dir = ::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string cmdline;
  std::string status;
  std::string block;
  const bool read = dir >= 0 && read_file_at(dir, "cmdline", cmdline) && read_file_at(dir, "status", status) &&
                    read_file_at(dir, "environ", block);
  if (dir >= 0) ::close(dir);
  if (!read) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s/environ'\n", dir_path.c_str()));
    return false;
  }

  std::string reason;
  HANA_Env_Value read_value;
  const std::string program = cmdline.substr(0, cmdline.find('\0'));
  static const boost::regex kProgram("/usr/sap/([A-Z][A-Z0-9]{2})/HDB([0-9]{2})/exe/sapstartsrv");
  boost::smatch match;
  uid_t uid = 0;
  uid_t adm_uid = 0;
  std::string sid;
  std::string number;
  std::string adm;
  if (!boost::regex_match(program, match, kProgram)) {
    reason = "its program is not HANA's start service";
  } else {
    sid = match[1].str();
    number = match[2].str();
    adm = boost::to_lower_copy(sid) + "adm";
    if (!Service_Lister::effective_uid(status, uid) || !user_id(adm, adm_uid) || uid != adm_uid) {
      reason = snprintf_t<256>("it does not run as %s", adm.c_str()).c_str();
    } else if (!parse_environment(block, read_value)) {
      return false;
    } else if (read_value.sid != sid || read_value.instance_number != natoi<ACE_UINT16>(number.c_str())) {
      reason = "its environment names another system or instance";
    } else {
      const std::string instance_dir = "/usr/sap/" + sid + "/HDB" + number;
      const std::string* const named[] = {&read_value.instance_dir, &read_value.dir_executable};
      const std::string expected[] = {instance_dir, instance_dir + "/exe"};
      for (std::size_t i = 0; i < 2 && reason.empty(); ++i) {
        if (named[i]->empty()) continue;
        if (*named[i] != expected[i])
          reason = "it names the directory '" + *named[i] + "' instead of '" + expected[i] + "'";
        else
          trusted_directory(*named[i], adm_uid, reason);
      }
    }
  }
  if (!reason.empty()) {
    ACE_ERROR((LM_ERROR, "Ignoring start service process %d, %s\n", static_cast<int>(pid), reason.c_str()));
    return false;
  }
  value = read_value;
  return true;
}

bool Environ_Getter::get(const std::string& system_id, HANA_Env_Value& value) {
  const char* sid = system_id.c_str();
  HANA_REQUIRE_NONEMPTY(sid, false);
  std::vector<Service_Info> services;
  // Anchored to the system's own directory: the SID "HDB" must not find
  // /usr/sap/ABC/HDB01/exe/sapstartsrv.
  std::string pattern = "^/usr/sap/" + regex_escape(system_id) + "/HDB[0-9][0-9]/exe/sapstartsrv( |$)";
  if (Service_Lister::list_service(pattern.c_str(), services, false, "C") != 0 || services.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to list services to get environment value\n"));
    return false;
  }
  bool found = false;
  for (const Service_Info& service : services) {
    HANA_Env_Value candidate;
    if (get_start_service(service.pid, candidate)) {
      value = candidate;
      found = true;
      break;
    }
  }
  if (!found) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA environment value\n"));
    return false;
  }
  return get_landscape_id(sid, value.landscape_id);
}

bool Environ_Getter::get_landscape_id(const char* sid, std::string& id) {
  HANA_REQUIRE_NONEMPTY(sid, false);
  snprintf_t<256> path(hana_paths::kNameserverIniFormat, sid);
  if (!is_regular_file(path.c_str())) {
    ACE_ERROR((LM_ERROR, "Nameserver config file '%s' not exist\n", path.c_str()));
    return false;
  }
  std::string landscape_id;
  try {
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(path.c_str(), tree);
    landscape_id = tree.get<std::string>("landscape.id");
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to get %s landscape_id, %s\n", sid, e.what()));
    return false;
  }
  id = landscape_id;
  if (id.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get %s landscape_id, %s\n", sid, "landscape id is empty"));
    return false;
  }
  return true;
}

bool Environ_Getter::get_trace_dir(const std::string& system_id, std::string& dir) {
  const char* sid = system_id.c_str();
  HANA_REQUIRE_NONEMPTY(sid, false);
  std::ifstream in(kSapServices);
  if (!in) {
    ACE_ERROR((LM_ERROR, "Failed to open config file '%s'\n", kSapServices));
    return false;
  }
  const boost::regex profile(".*pf=.*" + regex_escape(system_id) + "_HDB([0-9][0-9])_(\\S*).*");
  std::string line;
  boost::smatch match;
  while (std::getline(in, line)) {
    if (is_comment(line) || !boost::regex_match(line, match, profile)) continue;
    dir = snprintf_t<256>(hana_paths::kTraceDirFormat, sid, match[1].str().c_str(), match[2].str().c_str()).c_str();
    return true;
  }
  return false;
}

bool Environ_Getter::get_trace_dirs(const std::string& sid, std::vector<std::string>& dirs) {
  HANA_Env_Value value;
  if (!get(sid, value)) {
    ACE_ERROR((LM_ERROR, "Failed to get trace dirs\n"));
    return false;
  }
  iterate_directory(value.instance_dir, [&](const std::string& name, const struct dirent&) {
    std::string trace = snprintf_t<4096>("%s/%s/trace", value.instance_dir.c_str(), name.c_str()).c_str();
    if (is_directory(trace.c_str())) dirs.push_back(trace);
    return true;
  });
  return !dirs.empty();
}

}  // namespace sap_hana

void Environ_Getter_fini() { sap_hana::Environ_Getter::close_instance(); }
