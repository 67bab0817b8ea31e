#include "backint_catalog/backint_backup_file.h"

#include <ace/Log_Msg.h>

namespace sap_hana {

Backup_File_Info& Backup_File_Info::operator<<(const json_value& object) {
  object_get(object, "filename", filename);
  object_get(object, "size", size);
  object_get(object, "storage_size", storage_size);
  object_get(object, "extern_backup_id", extern_backup_id);
  object_get(object, "source_type", source_type);
  object_get(object, "storage_path", storage_path);
  object_get(object, "info_uuid", info_uuid);
  object_get(object, "origin_path", origin_path);
  object_get(object, "location", location);
  object_get(object, "pool_uuid", pool_uuid);
  object_get(object, "database_backup_id", database_backup_id);
  object_get(object, "backup_time", backup_time);
  return *this;
}

const Backup_File_Info& Backup_File_Info::operator>>(json_value& object) const {
  if (!object.is_object()) object = json_value::object();
  object["info_uuid"] = info_uuid;
  object["filename"] = filename;
  object["size"] = size;
  object["storage_size"] = storage_size;
  object["extern_backup_id"] = extern_backup_id;
  object["source_type"] = source_type;
  object["storage_path"] = storage_path;
  object["origin_path"] = origin_path;
  object["pool_uuid"] = pool_uuid;
  object["database_backup_id"] = database_backup_id;
  if (!location.empty()) object["location"] = location;
  if (!backup_time.empty()) object["backup_time"] = backup_time;
  return *this;
}

bool Backup_File_Info::parse(const json_value& object) {
  Backup_File_Info row = *this;
  try {
    extract_or_throw(object)("id", row.id)("info_uuid", row.info_uuid)("filename", row.filename)(
        "origin_path", row.origin_path)("size", row.size)("storage_size", row.storage_size)(
        "extern_backup_id", row.extern_backup_id)("source_type", row.source_type)("pool_uuid", row.pool_uuid)(
        "storage_path", row.storage_path);
    auto attrs = object.find("extended_attrs");
    // The attributes are free text kept by the server; a row whose text does
    // not parse is still a valid file record, it only lacks the time.
    if (attrs != object.end() && attrs->is_string()) {
      json_value parsed = json_value::parse(attrs->get_ref<const std::string&>(), nullptr, false);
      if (!parsed.is_discarded() && parsed.is_object()) {
        auto t = parsed.find("backup_time");
        if (t != parsed.end() && t->is_string()) row.backup_time = t->get<std::string>();
      }
    }
    object_get(object, "location", row.location);
    object_get(object, "database_backup_id", row.database_backup_id);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse backup file info, %s\n", e.what()));
    return false;
  }
  *this = std::move(row);
  return true;
}

bool Array_to_Backup_File_Info(const json_value& array, Backup_File_Infos& list) {
  if (!array.is_array()) return false;
  for (const auto& element : array) {
    if (!element.is_object()) continue;
    Backup_File_Info info;
    info << element;
    list.push_back(std::move(info));
  }
  return true;
}

}  // namespace sap_hana
