#include "job/catalog_metadata.h"

#include <ace/Log_Msg.h>

namespace sap_hana {

bool Catalog_Metadata::is_object(int line) const {
  if (metadata_.is_object()) return true;
  ACE_ERROR((LM_EMERGENCY,
             "Unexpected error in /builds/7/rpm/src/backup/hana/job/catalog_metadata:%d, metadata_ is not object!\n",
             line));
  return false;
}

bool Catalog_Metadata::get_string(const char* key, std::string& value, int line) const {
  if (!is_object(line)) return false;
  auto it = metadata_.find(key);
  if (it == metadata_.end() || !it->is_string()) return false;
  value = it->get<std::string>();
  return true;
}

bool Catalog_Metadata::set_string(const char* key, const std::string& value, int line) {
  if (!is_object(line)) return false;
  metadata_[key] = value;
  return true;
}

bool Catalog_Metadata::get_backup_databases(json_value& databases) const {
  if (!is_object(__LINE__)) return false;
  auto it = metadata_.find("databases");
  if (it == metadata_.end() || !it->is_array()) return false;
  databases = *it;
  return true;
}

bool Catalog_Metadata::set_backup_databases(const json_value& database) {
  if (!is_object(__LINE__)) return false;
  json_value& databases = metadata_["databases"];
  if (!databases.is_array()) databases = json_value::array();
  databases.push_back(database);
  return true;
}

bool Catalog_Metadata::get_instance_number(ACE_UINT16& number) const {
  if (!is_object(__LINE__)) return false;
  number = 0;
  auto it = metadata_.find("instance_number");
  if (it == metadata_.end() || !it->is_number_unsigned()) return false;
  number = static_cast<ACE_UINT16>(it->get<std::uint64_t>());
  return true;
}

bool Catalog_Metadata::set_instance_number(ACE_UINT16 number) {
  if (!is_object(__LINE__)) return false;
  metadata_["instance_number"] = number;
  return true;
}

bool Catalog_Metadata::get_sid(std::string& v) const { return get_string("sid", v, __LINE__); }
bool Catalog_Metadata::set_sid(const std::string& v) { return set_string("sid", v, __LINE__); }
bool Catalog_Metadata::get_instance_name(std::string& v) const { return get_string("instance_name", v, __LINE__); }
bool Catalog_Metadata::set_instance_name(const std::string& v) { return set_string("instance_name", v, __LINE__); }
bool Catalog_Metadata::get_system_version(std::string& v) const { return get_string("system_version", v, __LINE__); }
bool Catalog_Metadata::set_system_version(const std::string& v) { return set_string("system_version", v, __LINE__); }
bool Catalog_Metadata::get_extended_attrs(std::string& v) const { return get_string("extended_attrs", v, __LINE__); }
bool Catalog_Metadata::set_extended_attrs(const std::string& v) { return set_string("extended_attrs", v, __LINE__); }
bool Catalog_Metadata::get_incarnation(std::string& v) const { return get_string("incarnation", v, __LINE__); }
bool Catalog_Metadata::set_incarnation(const std::string& v) { return set_string("incarnation", v, __LINE__); }
bool Catalog_Metadata::get_lifeline(std::string& v) const { return get_string("lifeline", v, __LINE__); }
bool Catalog_Metadata::set_lifeline(const std::string& v) { return set_string("lifeline", v, __LINE__); }

}  // namespace sap_hana
