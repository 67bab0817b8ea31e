#include "agent/daemon/agent_settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "agent/config/agent_config.h"
#include "agent/json/json_file.h"

namespace {

// Like ssh with its keys: a key file that another user owns, or that group
// or others may read or change, is not taken.
bool private_file(const std::string& path, std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = "Failed to read '" + path + "': " + std::strerror(errno);
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = "'" + path + "' belongs to user " + std::to_string(st.st_uid) + ", not to the agent's user " +
            std::to_string(::geteuid()) + "; refused";
    return false;
  }
  if (st.st_mode & 077) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "'" + path + "' has mode " + mode + ": group or others may reach it; it must be 0600";
    return false;
  }
  return true;
}

// One line of text from a private file; false with `error` (missing: errno
// ENOENT is left for the caller to tell).
bool read_key(const std::string& path, secure_string& key, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "Failed to read '" + path + "': " + std::strerror(errno);
    return false;
  }
  char buf[256];
  ssize_t n;
  key.clear();
  while ((n = ::read(fd, buf, sizeof buf)) > 0) key.append(buf, static_cast<std::size_t>(n));
  OPENSSL_cleanse(buf, sizeof buf);
  ::close(fd);
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r')) key.pop_back();
  if (n < 0 || key.empty()) {
    error = "Failed to read '" + path + "': " + (n < 0 ? "read error" : "the file is empty");
    return false;
  }
  return true;
}

}  // namespace

bool Agent_Settings::load(const std::string& dir, std::string& error) {
  conf_dir = dir;
  Agent_Config config;
  if (!config.load_conf(dir, error)) return false;
  if (!config.load_access_key(dir, error)) return false;
  if (!private_file(dir + "/access_key", error)) return false;
  host_uuid = config.host_uuid;
  access_key = config.access_key;
  endpoint_key.clear();
  struct stat st;
  if (::stat(endpoint_key_file().c_str(), &st) == 0 &&
      (!private_file(endpoint_key_file(), error) || !read_key(endpoint_key_file(), endpoint_key, error)))
    return false;
  std::string path = dir + "/agent.conf";
  json_value conf;
  if (!load_json(path, conf, &error)) {
    error = path + ": " + error;
    return false;
  }
  try {
    object_get(conf, "rpc_address", rpc_address);
    object_get(conf, "rpc_port", rpc_port);
    object_get(conf, "rpc_cert", rpc_cert);
    object_get(conf, "rpc_key", rpc_key);
    object_get(conf, "rpc_advertise", rpc_advertise);
    object_get(conf, "rpc_request_timeout", request_timeout);
    object_get(conf, "svc_conf", svc_conf);
    object_get(conf, "work_dir", work_dir);
    object_get(conf, "instance_registry", instance_registry);
  } catch (const Json_Member_Error& e) {
    error = path + ": " + e.what();
    return false;
  }
  if (request_timeout < 1) {
    error = path + ": member \"rpc_request_timeout\" must be at least 1";
    return false;
  }
  unsigned char buf[sizeof(struct in6_addr)];
  if (inet_pton(AF_INET, rpc_address.c_str(), buf) != 1 && inet_pton(AF_INET6, rpc_address.c_str(), buf) != 1) {
    error = path + ": member \"rpc_address\" is not a numeric IPv4 or IPv6 address";
    return false;
  }
  if (!loopback() && (rpc_cert.empty() || rpc_key.empty())) {
    error = path + ": \"rpc_address\" " + rpc_address +
            " is not a loopback address; \"rpc_cert\" and \"rpc_key\" are required (HTTPS only)";
    return false;
  }
  if (svc_conf.empty()) svc_conf = dir + "/svc.conf";
  if (instance_registry.empty()) instance_registry = work_dir + "/instances.json";
  return true;
}

bool Agent_Settings::loopback() const {
  struct in_addr v4;
  if (inet_pton(AF_INET, rpc_address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  struct in6_addr v6;
  if (inet_pton(AF_INET6, rpc_address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

std::string Agent_Settings::endpoint_url(std::uint16_t port) const {
  std::string host = rpc_address.find(':') != std::string::npos ? "[" + rpc_address + "]" : rpc_address;
  return std::string(tls() ? "https" : "http") + "://" + host + ":" + std::to_string(port);
}

bool Agent_Settings::create_endpoint_key(std::string& error) {
  if (!endpoint_key.empty()) return true;
  unsigned char raw[32];
  if (RAND_bytes(raw, sizeof raw) != 1) {
    error = "no random bytes for the endpoint key";
    return false;
  }
  secure_string key;
  static const char hex[] = "0123456789abcdef";
  for (unsigned char c : raw) {
    key.push_back(hex[c >> 4]);
    key.push_back(hex[c & 15]);
  }
  OPENSSL_cleanse(raw, sizeof raw);
  const std::string path = endpoint_key_file();
  // A new file only: an endpoint key that appeared meanwhile is taken as is.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return private_file(path, error) && read_key(path, endpoint_key, error);
    error = "Cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  key.push_back('\n');
  bool ok = ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  key.pop_back();
  if (!ok) {
    ::unlink(path.c_str());
    error = "Cannot write '" + path + "'";
    return false;
  }
  endpoint_key = std::move(key);
  return true;
}
