#include "backint_catalog/backint_job.h"

#include <ace/Log_Msg.h>

namespace sap_hana {

void Backint_Backup_Job_Info::clear() { *this = Backint_Backup_Job_Info(); }

Backint_Backup_Job_Info& Backint_Backup_Job_Info::operator<<(const json_value& object) {
  object_get(object, "database_backup_id", database_backup_id);
  object_get(object, "uuid", uuid);
  object_get(object, "host_uuid", host_uuid);
  object_get(object, "job_act_id", job_act_id);
  object_get(object, "type", type);
  object_get(object, "location", location);
  object_get(object, "database", database);
  object_get(object, "compression", compression);
  object_get(object, "compression_level", compression_level);
  if (object.is_object()) {
    auto it = object.find("extended_attrs");
    if (it != object.end()) {
      if (!it->is_object()) throw Json_Member_Error("member \"extended_attrs\" is not an object");
      extended_attrs = *it;
    }
  }
  object_get(object, "sid", sid);
  object_get(object, "pool_uuid", pool_uuid);
  object_get(object, "landscape_id", landscape_id);
  return *this;
}

const Backint_Backup_Job_Info& Backint_Backup_Job_Info::operator>>(json_value& object) const {
  if (!object.is_object()) object = json_value::object();
  object["database_backup_id"] = database_backup_id;
  object["uuid"] = uuid;
  object["host_uuid"] = host_uuid;
  object["job_act_id"] = job_act_id;
  object["type"] = type;
  object["location"] = location;
  object["database"] = database;
  object["compression"] = compression;
  object["compression_level"] = compression_level;
  object["extended_attrs"] = extended_attrs.is_object() ? extended_attrs : json_value::object();
  object["sid"] = sid;
  object["pool_uuid"] = pool_uuid;
  object["landscape_id"] = landscape_id;
  return *this;
}

bool Backint_Backup_Job_Info::parse(const json_value& object) {
  // Read into a copy so that a failed row leaves the record as it was.
  Backint_Backup_Job_Info row = *this;
  std::string attrs_text;
  try {
    extract_or_throw(object)("id", row.id)("uuid", row.uuid)("host_uuid", row.host_uuid)("job_act_id", row.job_act_id)(
        "location", row.location)("database_backup_id", row.database_backup_id)("database", row.database)(
        "extended_attrs", attrs_text)("landscape_id", row.landscape_id);
    object_get(object, "pool_uuid", row.pool_uuid);
    object_get(object, "compression", row.compression);
    object_get(object, "compression_level", row.compression_level);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse backint backup job info, %s\n", e.what()));
    return false;
  }
  json_value attrs = json_value::parse(attrs_text, nullptr, false);
  if (attrs.is_discarded() || !attrs.is_object()) {
    ACE_ERROR((LM_ERROR, "Failed to load extended attrs while parsing backint backup info\n"));
    return false;
  }
  try {
    object_get(attrs, "compression_level", row.compression_level);
  } catch (const Json_Member_Error& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse backint backup job info, %s\n", e.what()));
    return false;
  }
  row.extended_attrs = std::move(attrs);
  *this = std::move(row);
  return true;
}

}  // namespace sap_hana
