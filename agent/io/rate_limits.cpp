#include "agent/io/rate_limits.h"

#include <ace/Log_Msg.h>

const char* const Rate_Limits::dest_key = "dest_rate_limits";
const char* const Rate_Limits::src_key = "src_rate_limits";

namespace {

constexpr std::uint32_t last_second_of_day = 86399;

void narrow(const Rate_Limits::List& list, std::uint32_t second, std::uint64_t& limit) {
  for (const Rate_Control_Entry& e : list) {
    if (e.max_bytes_per_second == 0 || !e.covers(second)) continue;
    if (limit == 0 || e.max_bytes_per_second < limit) limit = e.max_bytes_per_second;
  }
}

std::string list_text(const Rate_Limits::List& list) {
  json_value array = json_value::array();
  for (const Rate_Control_Entry& e : list) {
    json_value entry = json_value::object();
    entry["start_time"] = e.start_time;
    entry["end_time"] = e.end_time;
    entry["max_bytes_per_second"] = e.max_bytes_per_second;
    array.push_back(std::move(entry));
  }
  return array.dump();
}

}  // namespace

std::uint64_t Rate_Limits::limit_at(std::uint32_t second_of_day) const {
  std::uint64_t limit = 0;
  narrow(dest_, second_of_day, limit);
  narrow(src_, second_of_day, limit);
  return limit;
}

void Rate_Limits::to_json_in_object(json_value& object, bool skip_empty) const {
  if (!object.is_object()) object = json_value::object();
  if (!skip_empty || !dest_.empty()) object[dest_key] = list_text(dest_);
  if (!skip_empty || !src_.empty()) object[src_key] = list_text(src_);
}

bool Rate_Limits::parse_entries(const std::string& text, List& list) {
  json_value array;
  try {
    array = json_value::parse(text);
  } catch (const std::exception&) {
    array = nullptr;
  }
  if (!array.is_array()) {
    ACE_ERROR((LM_ERROR, "Failed to load rate control entries string '%s'.\n", text.c_str()));
    return false;
  }
  try {
    for (const json_value& item : array) {
      if (!item.is_object()) throw Json_Member_Error("entry is not an object");
      std::uint32_t start = 0, end = 0;
      std::uint64_t rate = 0;
      extract_or_throw(item)("start_time", start)("end_time", end)("max_bytes_per_second", rate);
      if (start > last_second_of_day || end > last_second_of_day)
        throw Json_Member_Error("start_time or end_time is not a second of the day");
      if (end < start) {
        list.emplace_back(start, last_second_of_day, rate);
        list.emplace_back(0, end, rate);
      } else {
        list.emplace_back(start, end, rate);
      }
    }
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "Failed to parse rate control entries: %s.\n", e.what()));
    return false;
  }
  return true;
}

bool Rate_Limits::from_json_in_object(const json_value& object) {
  if (!object.is_object()) return true;
  bool ok = true;
  const struct {
    const char* key;
    List* list;
  } sides[] = {{dest_key, &dest_}, {src_key, &src_}};
  for (const auto& side : sides) {
    auto it = object.find(side.key);
    if (it == object.end()) continue;
    if (!it->is_string()) {
      ACE_ERROR((LM_ERROR, "Failed to load rate control entries string '%s'.\n", it->dump().c_str()));
      ok = false;
      continue;
    }
    if (!parse_entries(it->get_ref<const std::string&>(), *side.list)) ok = false;
  }
  return ok;
}
