#include "agent/backupd/pool_info.h"

bool Pool_Info::from_json(const json_value& object, std::string& error) {
  if (!object.is_object()) {
    error = "the pool is not a JSON object";
    return false;
  }
  Pool_Info read = *this;
  try {
    extract_or_throw(object)("uuid", read.uuid)("name", read.name)("url", read.url);
    std::string method;
    if (object_get(object, "compression", method))
      read.compression = compression_name_to_value(method.data(), method.size());
    object_get(object, "compression_level", read.compression_level);
    object_get(object, "server_side_dedup", read.server_side_dedup);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  *this = std::move(read);
  return true;
}
