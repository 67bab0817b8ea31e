#include "common/resource_info_getter.h"

#include <ace/Log_Msg.h>

#include <cstdint>
#include <exception>

#include "agent/http/http_query.h"
#include "agent/backupd/read_first_catalog.h"

namespace sap_hana {

namespace {

// Number of retries and overall time bound handed to read_first_catalog.
constexpr int kReadRetries = 10;
constexpr int kReadTimeout = -1;

// The server keeps the number in a wider integer; only the low 16 bits
// name an instance.
ACE_UINT16 low_16_bits(const json_value& attrs) {
  return static_cast<ACE_UINT16>(object_get_uint64_or_throw(attrs, "instance_number") & 0xFFFFu);
}

}  // namespace

Resource_Info_Getter::Resource_Info_Getter(const std::string& resource_uuid) : resource_uuid_(resource_uuid) {}

Resource_Info_Getter::Resource_Info_Getter(const std::string& resource_uuid, HTTP_Session_Ptr session)
    : resource_uuid_(resource_uuid), session_(std::move(session)) {}

bool Resource_Info_Getter::get_info(json_value& info) {
  const std::string path = "/d2/r/v2/resources?" + HTTP_Query().add("uuid", resource_uuid_).str();
  json_value record;
  bool read = session_ ? read_first_catalog(session_, path, record, kReadRetries, kReadTimeout)
                       : read_first_catalog(path, record, kReadRetries, kReadTimeout);
  if (!read || !record.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA resource info\n"));
    return false;
  }
  info = std::move(record);
  return true;
}

bool Resource_Info_Getter::base_info(std::string& sid, std::string& instance_name, std::string& instance_mgr_name,
                                     ACE_UINT16& instance_number) {
  json_value info;
  if (!get_info(info)) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA resource base info\n"));
    return false;
  }
  try {
    const json_value& instances = object_get_array_or_throw(info, "instances");
    if (instances.empty()) {
      ACE_ERROR((LM_ERROR, "Lack of instance info\n"));
      return false;
    }
    for (const json_value& instance : instances) {
      if (!instance.is_object()) continue;
      instance_mgr_name = object_get_str_or_throw(instance, "name");
      const json_value& attrs = object_get_obj_or_throw(instance, "extended_attrs");
      sid = object_get_str_or_throw(attrs, "sid");
      instance_name = object_get_str_or_throw(attrs, "instance_name");
      instance_number = low_16_bits(attrs);
      return true;
    }
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA resource base info, %s\n", e.what()));
    return false;
  }
  // Instances that are all of the wrong kind are no better than none.
  ACE_ERROR((LM_ERROR, "Lack of instance info\n"));
  return false;
}

bool Resource_Info_Getter::get_instances_info(Instances_Info& infos) {
  json_value info;
  if (!get_info(info)) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA resource base info\n"));
    return false;
  }
  try {
    const json_value& instances = object_get_array_or_throw(info, "instances");
    if (instances.empty()) {
      ACE_ERROR((LM_ERROR, "Failed to get instances info from base info\n"));
      return false;
    }
    for (const json_value& instance : instances) {
      if (!instance.is_object()) continue;
      infos.emplace_back();
      Instance_Info& item = infos.back();
      item.instance_mgr_name = object_get_str_or_throw(instance, "name");
      item.uuid = object_get_str_or_throw(instance, "uuid");
      item.host_uuid = object_get_str_or_throw(instance, "host_uuid");
      item.ext_attrs = object_get_obj_or_throw(instance, "extended_attrs");
      item.sid = object_get_str_or_throw(item.ext_attrs, "sid");
      item.instance_name = object_get_str_or_throw(item.ext_attrs, "instance_name");
      item.instance_number = low_16_bits(item.ext_attrs);
      item.mdc = object_get_bool_or_throw(item.ext_attrs, "multi_container");
    }
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to get HANA resource base info, %s\n", e.what()));
    return false;
  }
  return true;
}

}  // namespace sap_hana
