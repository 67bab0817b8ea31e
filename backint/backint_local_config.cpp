#include "backint/backint_local_config.h"

#include <ace/Log_Msg.h>
#include <unistd.h>

#include <cerrno>

#include "agent/base/file_utils.h"
#include "agent/base/path_conf.h"
#include "agent/json/json_file.h"
#include "common/hana_paths.h"
#include "common/utils.h"

namespace sap_hana {

Backint_Local_Config::Backint_Local_Config(Backint_Protocol& protocol, std::string path)
    : protocol_(protocol),
      path_(path.empty()
                ? Path_Conf(agent_paths::kComponentConfigDir, false, hana_paths::kHanaConfName).fix("agent").str()
                : std::move(path)) {}

bool Backint_Local_Config::get_local_config(json_value& object) {
  json_value value;
  if (!load_json(path_, value) || !value.is_object()) {
    protocol_.write_debug("Failed to load config file '%s'\n", path_.c_str());
    return false;
  }
  object = std::move(value);
  return true;
}

bool Backint_Local_Config::get_local_backup_location(std::string& location) {
  json_value conf;
  if (!get_local_config(conf)) return false;
  try {
    location = object_get_str_or_throw(object_get_obj_or_throw(conf, "local_backup"), "location");
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse config file, %s", e.what());
    return false;
  }
  return !location.empty();
}

bool Backint_Local_Config::exists() const { return ::access(path_.c_str(), F_OK) == 0 || errno != ENOENT; }

bool Backint_Local_Config::restore_catalog_from_config() {
  json_value conf;
  bool from_conf = true;
  if (!exists() || !get_local_config(conf)) return from_conf;
  auto it = conf.find("certification");
  if (it == conf.end() || !it->is_object()) return from_conf;
  try {
    object_get(*it, "restore_catalog_from_conf", from_conf);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse config file, %s", e.what());
  }
  return from_conf;
}

bool Backint_Local_Config::load_restore_config(const std::string& sid, const std::string& database,
                                               Restore_Config& config) {
  std::string path;
  if (!restore_ext_conf_file(sid.c_str(), database.c_str(), path)) {
    ACE_ERROR((LM_ERROR, "Failed to get extended config file name\n"));
    return false;
  }
  json_value conf;
  if (!load_json(path, conf) || !conf.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to load extended config file\n"));
    return false;
  }
  Restore_Config read;
  try {
    object_get(conf, "pool_uuid", read.pool_uuid);
    object_get(conf, "log_pool_uuid", read.log_pool_uuid);
    auto io_ctl = conf.find("io_ctl");
    if (io_ctl != conf.end() && io_ctl->is_object()) {
      object_get(*io_ctl, "max_seconds_retry", read.io.max_seconds_retry);
      object_get(*io_ctl, "resumption_buffer_size", read.io.resumption_buffer_size);
      // Bad rate-limit entries are logged by the reader; the good ones stay.
      read.io.rate_limits.from_json_in_object(*io_ctl);
      object_get(*io_ctl, "max_streams", read.max_streams);
      if (read.max_streams > max_max_streams) read.max_streams = max_max_streams;
    }
    object_get(conf, "origin_sid", read.origin_sid);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse extended config file, %s\n", e.what()));
    return false;
  }
  config = std::move(read);
  return true;
}

std::string Backint_Local_Config::restore_origin_sid(const std::string& sid, const std::string& database) {
  std::string path, origin;
  json_value conf;
  if (!restore_ext_conf_file(sid.c_str(), database.c_str(), path) || !is_regular_file(path.c_str()) ||
      !load_json(path, conf) || !conf.is_object())
    return origin;
  try {
    object_get(conf, "origin_sid", origin);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse extended config file, %s\n", e.what()));
  }
  return origin;
}

bool Backint_Local_Config::load_catalog_config(const std::string& file_sid, const std::string& file_database,
                                               const std::string& sid, const std::string& database,
                                               Backint_Catalog_Lookup::Catalog_Backup_File_Info& info) {
  std::string path;
  json_value conf;
  if (!catalog_conf_file_name(file_sid.c_str(), file_database.c_str(), sid.c_str(), database.c_str(), path) ||
      !load_json(path, conf) || !conf.is_object()) {
    protocol_.write_debug("Failed to handle catalog conf '%s'\n", path.c_str());
    return false;
  }
  try {
    extract_or_throw(conf)("location", info.path)("filename", info.filename)("extern_backup_id", info.ebid)(
        "source_type", info.source_type)("pool_uuid", info.pool_uuid);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse catalog conf: %s\n", e.what());
    return false;
  }
  info.storage_path = info.filename;
  return true;
}

void Backint_Local_Config::stream_settings(std::size_t& max_streams, std::size_t& pipe_timeout) {
  json_value conf;
  // No hana.conf is the usual case of an agent job: quietly the defaults.
  if (!load_json(path_, conf) || !conf.is_object()) return;
  auto it = conf.find("backint");
  if (it == conf.end() || !it->is_object()) return;
  std::size_t streams = max_streams, timeout = pipe_timeout;
  // Each member on its own: a mistyped one must not cost the other.
  try {
    object_get(*it, "max_streams", streams);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse config file, %s\n", e.what());
  }
  try {
    object_get(*it, "pipe_timeout", timeout);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse config file, %s\n", e.what());
  }
  if (streams >= 1 && streams <= max_max_streams)
    max_streams = streams;
  else
    protocol_.write_debug("max_streams %zu in '%s' is not within 1..%zu\n", streams, path_.c_str(), max_max_streams);
  // A wait of more than a day is a typo, and a huge one would overflow the
  // clock's arithmetic into a wait that has already ended.
  if (timeout >= 1 && timeout <= max_pipe_timeout)
    pipe_timeout = timeout;
  else
    protocol_.write_debug("pipe_timeout %zu in '%s' is not within 1..%zu\n", timeout, path_.c_str(), max_pipe_timeout);
}

}  // namespace sap_hana
