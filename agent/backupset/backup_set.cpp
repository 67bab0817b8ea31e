#include "agent/backupset/backup_set.h"

#include <ctime>

#include "agent/base/time_parse.h"

namespace {

std::string iso8601(std::int64_t seconds) {
  if (seconds == 0) return std::string();
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (::gmtime_r(&t, &tm) == nullptr) return std::string();
  char text[32];
  const std::size_t n = ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(text, n);
}

// A time member: ISO 8601 text ("" for unknown) or, from older writers, a
// number of seconds.
void read_time(const json_value& object, const char* key, std::int64_t& target) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return;
  if (it->is_number_integer()) {
    object_get(object, key, target);
    return;
  }
  std::string text;
  object_get(object, key, text);
  if (text.empty()) {
    target = 0;
    return;
  }
  time_t t = 0;
  if (!iso8601_to_posix_time(text.c_str(), t))
    throw Json_Member_Error(std::string("member \"") + key + "\" is not an ISO 8601 time");
  target = static_cast<std::int64_t>(t);
}

}  // namespace

void Backup_Set::add_piece(const std::string& path, std::uint64_t size) { pieces.push_back(Piece{path, size}); }

void Backup_Set::add_storage(const Backup_Set_Storage& storage) { storages.push_back(storage); }

std::string Backup_Set::module() const { return std::string(); }

void Backup_Set::write_json(json_value& o) const {
  o["uuid"] = uuid;
  o["module"] = module();
  o["name"] = name;
  o["definition_id"] = definition_id;
  o["job_act_id"] = job_act_id;
  o["definition_uid"] = definition_uid;
  o["host_id"] = host_id;
  o["resource_uuid"] = resource_uuid;
  o["minor_resource_id"] = minor_resource_id;
  o["sub_resource"] = sub_resource;
  o["agent"] = agent;
  o["incarnation"] = incarnation;
  o["lifeline"] = lifeline;
  o["type"] = type;
  o["start_time"] = iso8601(start_time);
  o["end_time"] = iso8601(end_time);
  o["creation_time"] = iso8601(creation_time);
  o["completion_time"] = iso8601(completion_time);
  o["source_size"] = source_size;
  o["storage_size"] = storage_size;
  o["expiry_time"] = expiry_time;
  o["retention_count"] = retention_count;
  json_value p = json_value::array();
  for (const Piece& piece : pieces) p.push_back(json_value{{"path", piece.path}, {"size", piece.size}});
  o["pieces"] = std::move(p);
  json_value s = json_value::array();
  for (const Backup_Set_Storage& st : storages)
    s.push_back(json_value{{"pool_uuid", st.target_id}, {"storage_size", st.storage_size}});
  o["storages"] = std::move(s);
}

void Backup_Set::read_json(const json_value& o) {
  uuid = object_get_str_or_throw(o, "uuid");
  object_get(o, "name", name);
  object_get(o, "definition_id", definition_id);
  object_get(o, "job_act_id", job_act_id);
  object_get(o, "definition_uid", definition_uid);
  object_get(o, "host_id", host_id);
  object_get(o, "resource_uuid", resource_uuid);
  object_get(o, "minor_resource_id", minor_resource_id);
  object_get(o, "sub_resource", sub_resource);
  object_get(o, "agent", agent);
  object_get(o, "incarnation", incarnation);
  object_get(o, "lifeline", lifeline);
  object_get(o, "type", type);
  read_time(o, "start_time", start_time);
  read_time(o, "end_time", end_time);
  read_time(o, "creation_time", creation_time);
  read_time(o, "completion_time", completion_time);
  object_get(o, "source_size", source_size);
  object_get(o, "storage_size", storage_size);
  object_get(o, "expiry_time", expiry_time);
  object_get(o, "retention_count", retention_count);
  auto p = o.find("pieces");
  if (p != o.end()) {
    if (!p->is_array()) throw Json_Member_Error("member \"pieces\" is not an array");
    pieces.clear();
    for (const json_value& e : *p) {
      Piece piece;
      extract_or_throw(e)("path", piece.path)("size", piece.size);
      pieces.push_back(piece);
    }
  }
  auto s = o.find("storages");
  if (s != o.end()) {
    if (!s->is_array()) throw Json_Member_Error("member \"storages\" is not an array");
    storages.clear();
    for (const json_value& e : *s) {
      Backup_Set_Storage st;
      extract_or_throw(e)("pool_uuid", st.target_id);
      object_get(e, "storage_size", st.storage_size);
      storages.push_back(st);
    }
  }
}

json_value Backup_Set::to_json() const {
  json_value o = json_value::object();
  write_json(o);
  return o;
}

bool Backup_Set::from_json(const json_value& object, std::string& error) {
  Backup_Set copy(*this);
  try {
    copy.read_json(object);
  } catch (const Json_Member_Error& e) {
    error = e.what();
    return false;
  }
  *this = copy;
  return true;
}
