#include "agent/backupset/hana_backup_set.h"

namespace sap_hana {

std::string HANA_Backup_Set::module() const { return "hana"; }

json_value HANA_Backup_Set::to_json() const {
  json_value o = json_value::object();
  write_json(o);
  o["sid"] = sid;
  o["system_version"] = system_version;
  o["instance_number"] = instance_number;
  o["instance_name"] = instance_name;
  o["database"] = database;
  o["database_backup_id"] = database_backup_id;
  json_value f = json_value::array();
  for (const Backup_File& file : files) {
    f.push_back(json_value{{"extern_backup_id", file.extern_backup_id},
                           {"origin_path", file.origin_path},
                           {"filename", file.filename},
                           {"size", file.size},
                           {"source_type", file.source_type},
                           {"storage_path", file.storage_path}});
  }
  o["files"] = std::move(f);
  return o;
}

bool HANA_Backup_Set::from_json(const json_value& o, std::string& error) {
  HANA_Backup_Set copy(*this);
  try {
    copy.read_json(o);
    object_get(o, "sid", copy.sid);
    object_get(o, "system_version", copy.system_version);
    object_get(o, "instance_number", copy.instance_number);
    object_get(o, "instance_name", copy.instance_name);
    object_get(o, "database", copy.database);
    object_get(o, "database_backup_id", copy.database_backup_id);
    auto f = o.find("files");
    if (f != o.end()) {
      if (!f->is_array()) throw Json_Member_Error("member \"files\" is not an array");
      copy.files.clear();
      for (const json_value& e : *f) {
        Backup_File file;
        extract_or_throw(e)("extern_backup_id", file.extern_backup_id)("storage_path", file.storage_path)("size",
                                                                                                          file.size);
        object_get(e, "origin_path", file.origin_path);
        object_get(e, "filename", file.filename);
        object_get(e, "source_type", file.source_type);
        copy.files.push_back(file);
      }
    }
  } catch (const Json_Member_Error& e) {
    error = e.what();
    return false;
  }
  *this = copy;
  return true;
}

}  // namespace sap_hana
