#include "backint/backint_local_config.h"

#include "agent/base/path_conf.h"
#include "agent/json/json_file.h"
#include "common/hana_paths.h"

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

bool Backint_Local_Config::restore_catalog_from_config() {
  json_value conf;
  bool from_conf = true;
  if (!get_local_config(conf)) return from_conf;
  auto it = conf.find("certification");
  if (it == conf.end() || !it->is_object()) return from_conf;
  try {
    object_get(*it, "restore_catalog_from_conf", from_conf);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse config file, %s", e.what());
  }
  return from_conf;
}

}  // namespace sap_hana
