#include "agent/daemon/agent_settings.h"

#include <arpa/inet.h>

#include "agent/config/agent_config.h"
#include "agent/json/json_file.h"

bool Agent_Settings::load(const std::string& dir, std::string& error) {
  conf_dir = dir;
  Agent_Config config;
  if (!config.load_conf(dir, error)) return false;
  if (!config.load_access_key(dir, error)) return false;
  host_uuid = config.host_uuid;
  access_key = config.access_key;
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
