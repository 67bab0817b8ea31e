#include "agent/config/agent_config.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "agent/json/json_file.h"
#include "agent/base/agent_paths.h"

std::string Agent_Config::directory(const std::string& component) { return agent_paths::kConfigRoot + component; }

bool Agent_Config::load_conf(const std::string& dir, std::string& error) {
  const std::string path = dir + "/agent.conf";
  json_value conf;
  std::string why;
  if (!load_json(path, conf, &why)) {
    error = "Failed to read agent configuration '" + path + "': " + why;
    return false;
  }
  if (!conf.is_object()) {
    error = "Failed to read agent configuration '" + path + "': not a JSON object";
    return false;
  }
  try {
    Agent_Config c;
    c.host_uuid = object_get_str_or_throw(conf, "host_uuid");
    object_get(conf, "backupd_host", c.backupd_host);
    object_get(conf, "backupd_port", c.backupd_port);
    object_get(conf, "backupd_ssl", c.backupd_ssl);
    object_get(conf, "ca_file", c.ca_file);
    host_uuid = c.host_uuid;
    backupd_host = c.backupd_host;
    backupd_port = c.backupd_port;
    backupd_ssl = c.backupd_ssl;
    ca_file = c.ca_file;
  } catch (const Json_Member_Error& e) {
    error = "Failed to read agent configuration '" + path + "': " + e.what();
    return false;
  }
  return true;
}

bool Agent_Config::load_access_key(const std::string& dir, std::string& error) {
  const std::string path = dir + "/access_key";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "Failed to read access key '" + path + "': " + std::strerror(errno);
    return false;
  }
  secure_string key;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) key.append(buf, static_cast<std::size_t>(n));
  explicit_bzero(buf, sizeof buf);
  int saved = errno;
  ::close(fd);
  if (n < 0) {
    error = "Failed to read access key '" + path + "': " + std::strerror(saved);
    return false;
  }
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  if (key.empty()) {
    error = "Failed to read access key '" + path + "': the file is empty";
    return false;
  }
  access_key = std::move(key);
  return true;
}
