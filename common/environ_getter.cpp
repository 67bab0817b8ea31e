#include "common/environ_getter.h"

#include <ace/Log_Msg.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/regex.hpp>
#include <cstring>
#include <fstream>

#include "agent/base/directory_iterator.h"
#include "agent/base/file_utils.h"
#include "agent/base/natoi.h"
#include "agent/process/service_lister.h"
#include "agent/base/snprintf_t.h"
#include "common/precondition.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

using Singleton = ACE_Unmanaged_Singleton<Environ_Getter, ACE_Null_Mutex>;

constexpr const char* kSapServices = "/usr/sap/sapservices";

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

}  // namespace

Environ_Getter* Environ_Getter::instance() { return Singleton::instance(); }

void Environ_Getter::close_instance() { Singleton::close(); }

bool Environ_Getter::get(pid_t pid, HANA_Env_Value& value) { return get_env_value(pid, value); }

bool Environ_Getter::get_env_value(pid_t pid, HANA_Env_Value& value) {
  if (pid == 0) {
    ACE_ERROR((LM_ERROR, "Need to get environment variables under database users\n"));
    return false;
  }
  snprintf_t<64> path("/proc/%d/environ", static_cast<int>(pid));
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!in) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s'\n", path.c_str()));
    return false;
  }

  static const struct {
    const char* prefix;
    std::size_t length;
  } kPrefixes[] = {{"DIR_EXECUTABLE=", 15}, {"HOSTNAME=", 9}, {"DIR_INSTANCE=", 13},
                   {"USER=", 5},            {"TINSTANCE=", 10}, {"SAPSYSTEMNAME=", 14}};
  std::string* const targets[] = {&value.dir_executable, &value.hostname, &value.instance_dir,
                                  &value.user,           nullptr,         &value.sid};

  bool number_found = false;
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

bool Environ_Getter::get(const std::string& system_id, HANA_Env_Value& value) {
  const char* sid = system_id.c_str();
  HANA_REQUIRE_NONEMPTY(sid, false);
  std::vector<Service_Info> services;
  std::string pattern = regex_escape(system_id) + ".*exe/sapstartsrv";
  if (Service_Lister::list_service(pattern.c_str(), services, false, "C") != 0 || services.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to list services to get environment value\n"));
    return false;
  }
  if (!get_env_value(services.front().pid, value)) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA environment value\n"));
    return false;
  }
  return get_landscape_id(sid, value.landscape_id);
}

bool Environ_Getter::get_landscape_id(const char* sid, std::string& id) {
  HANA_REQUIRE_NONEMPTY(sid, false);
  snprintf_t<256> path("/usr/sap/%s/SYS/global/hdb/custom/config/nameserver.ini", sid);
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
    dir = snprintf_t<256>("/usr/sap/%s/HDB%s/%s/trace", sid, match[1].str().c_str(), match[2].str().c_str())
              .c_str();
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
