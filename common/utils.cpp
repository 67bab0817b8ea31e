#include "common/utils.h"

#include <ace/Log_Msg.h>
#include <sys/stat.h>
#include <errno.h>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <cstring>
#include <vector>

#include "agent/crypto/aes_decoder.h"
#include "agent/crypto/aes_encoder.h"
#include "agent/base/file_utils.h"
#include "agent/config/host_manager.h"
#include "agent/json/json_file.h"
#include "agent/base/natoi.h"
#include "agent/base/path_conf.h"
#include "agent/base/snprintf_t.h"
#include "agent/base/time_parse.h"
#include "agent/config/websocket_options.h"
#include "common/precondition.h"

namespace sap_hana {

bool create_base_dir(const char* path) {
  char dir[4096];
  if (path == nullptr || dirname_r(path, dir, sizeof dir) == nullptr) {
    errno = ENAMETOOLONG;
    ACE_ERROR((LM_ERROR, "Failed to create directory '%s', errno=%d, %m\n", path ? path : "", errno));
    return false;
  }
  if (mkdir_p(dir, 0750) != 0) {
    ACE_ERROR((LM_ERROR, "Failed to create directory '%s', errno=%d, %m\n", dir, errno));
    return false;
  }
  return true;
}

std::string generate_instance_manager_name(const std::string& sid, const std::string& instance_name) {
  return sid + "_" + instance_name;
}

std::string generate_instance_manager_name(const std::string& sid, ACE_UINT16 instance_number) {
  return snprintf_t<64>("%s_HDB%02u", sid.c_str(), static_cast<unsigned>(instance_number)).c_str();
}

bool instance_name_to_number(const std::string& name, ACE_UINT16& number) {
  if (name.size() != 5 || name.compare(0, 3, "HDB") != 0) return false;
  const char* digits = name.c_str() + 3;
  const char* end = nullptr;
  ACE_UINT16 n = natoi<ACE_UINT16>(digits, &end);
  if (errno != 0 || end != digits + 2) return false;
  number = n;
  return true;
}

bool instance_number_to_name(ACE_UINT16 number, std::string& name) {
  if (number >= 100) return false;
  name = snprintf_t<16>("HDB%02u", static_cast<unsigned>(number)).c_str();
  return true;
}

bool parse_version_string(const std::string& version, ACE_UINT16& major, ACE_UINT32& support_package,
                          ACE_UINT16& patch) {
  if (version.empty()) return false;
  std::vector<std::string> parts;
  boost::algorithm::split(parts, version, boost::algorithm::is_any_of("."));
  if (parts.size() != 5) return false;
  major = natoi<ACE_UINT16>(parts[0].c_str());
  support_package = natoi<ACE_UINT32>(parts[2].c_str());
  patch = natoi<ACE_UINT16>(parts[3].c_str());
  return true;
}

bool ondemand_conf_path(const std::string& sid, const std::string& instance_name, const std::string& database,
                        std::string& path) {
  if (sid.empty()) {
    ACE_ERROR((LM_ERROR, "Missing sid to generate ondemand configuration file path\n"));
    return false;
  }
  std::string name;
  if (instance_name.empty()) {
    name = "ondemand_" + sid;
  } else {
    name = "log_backup_" + sid + "_" + instance_name;
    if (!database.empty()) name += "_" + database;
  }
  path = Path_Conf(kHanaWorkDir, false, name, 0750).fix("agent").str();
  return true;
}

bool hana_time_to_posix_time(const char* text, ACE_INT64& result) {
  time_t t = 0;
  if (!local_to_posix_time(text, "%Y-%m-%dT%H:%M:%S%z", t)) return false;
  result = static_cast<ACE_INT64>(t);
  return true;
}

std::string get_hana_format_date(time_t time) {
  if (time == 0) time = ::time(nullptr);
  struct tm tm;
  ::gmtime_r(&time, &tm);
  char buf[64];
  std::size_t n = ::strftime(buf, sizeof buf, kHanaDateFormat, &tm);
  return std::string(buf, n);
}

std::string iso8601_to_hana_format_date(const char* text) {
  if (text == nullptr || *text == '\0') return get_hana_format_date(0);
  std::string s(text);
  if (s.size() == 24) return s;
  time_t t = 0;
  if (!iso8601_to_posix_time(text, t)) t = 0;
  return get_hana_format_date(t);
}

bool change_file_group_to_sap(const char* path, const char* user) {
  if (chown_r(path, user, kSapGroup, 1) != 1) {
    ACE_ERROR((LM_ERROR, "Failed to change file '%s' group\n", path ? path : ""));
    return false;
  }
  return true;
}

bool change_directory_permission(const std::string& path, int mode) {
  if (path.empty() || path[0] != '/') return false;
  const mode_t search = static_cast<mode_t>(mode) & (S_IXUSR | S_IXGRP | S_IXOTH);
  bool ok = true;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string dir = path.substr(0, pos);
    if (dir.empty() || dir.back() == '/') continue;  // "/" itself, or "//"
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
      // Somebody else's directory (/var, /opt, ...) keeps its mode; it only
      // becomes passable where it was not.
      if (!S_ISDIR(st.st_mode)) return false;
      if ((st.st_mode & search) != search && ::chmod(dir.c_str(), (st.st_mode & 07777) | search) != 0) ok = false;
    } else if (errno == ENOENT && ::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0) {
      // The umask must not take away what was asked for.
      if (::chmod(dir.c_str(), static_cast<mode_t>(mode)) != 0) ok = false;
    } else {
      return false;
    }
  }
  return ok;
}

bool catalog_conf_file_name(const char* origin_sid, const char* origin_database, const char* target_sid,
                            const char* target_database, std::string& path) {
  HANA_REQUIRE_NONEMPTY(origin_sid, false);
  HANA_REQUIRE_NONEMPTY(origin_database, false);
  HANA_REQUIRE_NONEMPTY(target_sid, false);
  HANA_REQUIRE_NONEMPTY(target_database, false);
  Path_Conf conf(kHanaWorkDir, true, "catalog", 0750);
  conf.append(snprintf_t<256>("%s@%s-%s@%s", origin_sid, origin_database, target_sid, target_database).c_str());
  path = conf.fix("agent").str();
  return true;
}

bool restore_ext_conf_file(const char* sid, const char* database, std::string& path) {
  HANA_REQUIRE_NONEMPTY(sid, false);
  HANA_REQUIRE_NONEMPTY(database, false);
  Path_Conf conf(kHanaWorkDir, true, "catalog", 0750);
  conf.append(snprintf_t<256>("%s@%s-restore-ext-conf", sid, database).c_str());
  path = conf.fix("agent").str();
  return true;
}

bool database_pipe_path(const char* sid, const char* database, bool multi_container, std::string& path) {
  HANA_REQUIRE_NONEMPTY(sid, false);
  HANA_REQUIRE_NONEMPTY(database, false);
  path = snprintf_t<4096>(hana_paths::kBackintDirFormat, sid).c_str();
  if (!multi_container || std::string(database) == "SYSTEMDB")
    path += database;
  else
    path += std::string("DB_") + database;
  return true;
}

std::string regex_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::strchr(".^$|()[]{}*+?\\", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

std::string access_key_file() { return Path_Conf(kHanaWorkDir, false, "access-key", 0750).fix("agent").str(); }

bool generate_access_key_file() {
  Host_Manager* host = Host_Manager::instance();
  const secure_string key = host->access_key();
  if (key.empty()) return true;
  const std::string uuid = host->uuid();
  const std::string path = access_key_file();

  WebSocket_Options* options = WebSocket_Options::instance();
  json_value current;
  std::string encoded;
  if (is_regular_file(path.c_str()) && load_json(path, current) && current.is_object()) {
    try {
      // A file that names another server address is stale too: hana-backint
      // would keep calling a backupd that moved.
      const json_value address = {
          {"backupd_host", options->host()}, {"backupd_port", options->port()}, {"backupd_ssl", options->ssl()}};
      bool same_address = true;
      for (const auto& item : address.items()) {
        auto it = current.find(item.key());
        same_address = same_address && it != current.end() && *it == item.value();
      }
      if (same_address && object_get(current, "encoded_access_key", encoded)) {
        AES_Decoder decoded(encoded.data(), encoded.size(), uuid.data(), uuid.size(), true, "cbc", -1);
        if (decoded && decoded.length() == key.size() &&
            std::char_traits<char>::compare(decoded.get(), key.data(), key.size()) == 0)
          return true;
      }
    } catch (const Json_Member_Error&) {
      // Not a string: the file is rewritten below.
    }
  }
  if (!create_base_dir(path.c_str())) {
    ACE_ERROR((LM_ERROR, "Failed to create directory for access key\n"));
    return false;
  }
  AES_Encoder encoder(key.data(), key.size(), uuid.data(), uuid.size(), true, "cbc", -1);
  if (!encoder) {
    ACE_ERROR((LM_ERROR, "Failed to encode access key\n"));
    return false;
  }
  json_value file = json_value::object();
  file["encoded_access_key"] = std::string(encoder.get(), encoder.length());
  file["backupd_host"] = options->host();
  file["backupd_port"] = options->port();
  file["backupd_ssl"] = options->ssl();
  if (!dump_json(path, file, 0640)) {
    ACE_ERROR((LM_ERROR, "Failed to write access key file '%s', errno=%d, %m\n", path.c_str(), errno));
    return false;
  }
  change_file_group_to_sap(path.c_str(), nullptr);
  return true;
}

}  // namespace sap_hana
