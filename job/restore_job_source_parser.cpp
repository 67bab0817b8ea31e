#include "job/restore_job_source_parser.h"

#include <ace/Log_Msg.h>

#include <cstring>
#include <new>

#include "agent/base/key2_value.h"

namespace sap_hana {

namespace {

using P = Restore_Job_Source_Parser;
using Row = Key2_Value_T<unsigned int>;

const Row key_table_1[] = {
    {"id", 2, P::ID_BIT},
    {"name", 4, P::NAME_BIT},
    {"entries", 7, P::ENTRIES_BIT},
    {"pool_uuid", 9, P::POOL_UUID_BIT},
    {"log_pool_uuid", 13, P::LOG_POOL_UUID_BIT},
    {nullptr, 0, 0},
};
const Row key_table_2[] = {
    {"catalog_uuid", 12, P::CATALOG_UUID_BIT},
    {"original", 8, P::ORIGINAL_BIT},
    {"restore_as", 10, P::RESTORE_AS_BIT},
    {nullptr, 0, 0},
};
const Row key_table_origin[] = {
    {"database", 8, P::ORIGINAL_DATABASE_BIT},
    {"sid", 3, P::ORIGINAL_SID_BIT},
    {nullptr, 0, 0},
};
const Row key_table_restore[] = {
    {"database", 8, P::RESTORE_AS_DATABASE_BIT},
    {"timepoint", 9, P::RESTORE_AS_TIMEPOINT_BIT},
    {"lifeline", 8, P::RESTORE_AS_LIFELINE_BIT},
    {nullptr, 0, 0},
};

std::uint64_t lookup(const Row* table, const unsigned char* text, std::size_t len) {
  for (const Row* row = table; row->key != nullptr; ++row)
    if (row->key_length == len && std::memcmp(row->key, text, len) == 0) return row->value;
  return 0;
}

const char* key_name(std::uint64_t bit) {
  for (const Row* table : {key_table_1, key_table_2, key_table_origin, key_table_restore})
    if (const char* name = Row::value_to_key(table, static_cast<unsigned int>(bit))) return name;
  return "?";
}

}  // namespace

Restore_Job_Source_Parser::Restore_Job_Source_Parser() {
  source_ = new (std::nothrow) Restore_Job_Source;
  if (source_ == nullptr) {
    ACE_ERROR((LM_EMERGENCY, "Unexpected error in %N:%l, result_ is NULL:\n%?"));
    return;
  }
  result_.reset(source_);
}

Restore_Job_Source_Parser::~Restore_Job_Source_Parser() = default;

int Restore_Job_Source_Parser::fail(int code) {
  err_ = code;
  return 0;
}

bool Restore_Job_Source_Parser::check_required(std::uint64_t masks, std::uint64_t required, const char* format) {
  bool complete = true;
  for (std::uint64_t bit = 1; bit != 0 && bit <= required; bit <<= 1) {
    if ((required & bit) == 0 || (masks & bit) != 0) continue;
    ACE_ERROR((LM_ERROR, format, key_name(bit)));
    complete = false;
  }
  return complete;
}

int Restore_Job_Source_Parser::string_level_1(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return 1;
  switch (top.key) {
    case ID_BIT:
      source_->id(value);
      break;
    case NAME_BIT:
      source_->name(value);
      break;
    case POOL_UUID_BIT:
      source_->pool_uuid(value);
      break;
    case LOG_POOL_UUID_BIT:
      source_->log_pool_uuid(value);
      break;
    default:
      return fail(ERR_VALUE);
  }
  top.masks |= top.key;
  return 1;
}

int Restore_Job_Source_Parser::string_level_3(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return 1;
  if (top.key != CATALOG_UUID_BIT) return fail(ERR_VALUE);
  item_.catalog_uuid = value;
  top.masks |= top.key;
  return 1;
}

int Restore_Job_Source_Parser::string_level_4(const std::string& value) {
  JSON_State& top = states_.back();
  if (!top.obj || top.key == 0) return 1;
  switch (top.key) {
    case ORIGINAL_DATABASE_BIT:
      item_.origin.database = value;
      break;
    case ORIGINAL_SID_BIT:
      item_.origin.sid = value;
      break;
    case RESTORE_AS_DATABASE_BIT:
      item_.target.database = value;
      break;
    case RESTORE_AS_TIMEPOINT_BIT:
      item_.target.timepoint = value;
      break;
    case RESTORE_AS_LIFELINE_BIT:
      item_.target.lifeline = value;
      break;
    default:
      return fail(ERR_VALUE);
  }
  top.masks |= top.key;
  return 1;
}

int Restore_Job_Source_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  if (source_ == nullptr) {
    ACE_ERROR((LM_EMERGENCY, "Unexpected error in %N:%l, result_ is NULL:\n%?"));
    return 0;
  }
  const std::string value(reinterpret_cast<const char*>(text), len);
  switch (states_.size()) {
    case 1:
      return string_level_1(value);
    case 3:
      return string_level_3(value);
    case 4:
      return string_level_4(value);
    default:
      return fail(ERR_VALUE);
  }
}

int Restore_Job_Source_Parser::handle_start_map_i() {
  states_.push_back(JSON_State());
  return 1;
}

int Restore_Job_Source_Parser::handle_map_key_i(const unsigned char* text, std::size_t len) {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  // Entry keys count only inside the "entries" array, so that an unknown
  // member shaped like an entry cannot fill the next entry. An unknown key
  // deselects the previous one, so its value cannot be taken for that
  // member's.
  const std::size_t depth = states_.size();
  const bool in_entries = depth >= 3 && states_[0].key == ENTRIES_BIT && !states_[1].obj;
  const Row* table = nullptr;
  if (depth == 1) {
    table = key_table_1;
  } else if (depth == 3 && in_entries) {
    table = key_table_2;
  } else if (depth == 4 && in_entries) {
    if (states_[2].key == ORIGINAL_BIT) table = key_table_origin;
    if (states_[2].key == RESTORE_AS_BIT) table = key_table_restore;
  }
  states_.back().key = table == nullptr ? 0 : lookup(table, text, len);
  return 1;
}

int Restore_Job_Source_Parser::end_entry() {
  if (item_.catalog_uuid.empty() && item_.target.timepoint.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to parse HANA restore job definitionsource, lack of catalog uuid or time.\n"));
    return fail(ERR_MISSING);
  }
  if (item_.origin.database.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to parse HANA restore job definitionsource, lack of origin database.\n"));
    return fail(ERR_MISSING);
  }
  if (item_.target.database.empty()) item_.target.database = item_.origin.database;
  source_->add_entry_item(item_);
  item_.reset();
  return 1;
}

int Restore_Job_Source_Parser::handle_end_map_i() {
  const std::size_t depth = states_.size();
  if (depth == 0) return fail(ERR_STRUCTURE);
  const bool in_entries = depth >= 3 && states_[0].key == ENTRIES_BIT && !states_[1].obj;
  if (depth == 1) {
    if (!check_required(states_[0].masks, COMMON_BIT,
                        "Failed to parse HANA restore job definition source, lack of '%s'.\n"))
      return fail(ERR_MISSING);
  } else if (depth == 3 && in_entries) {
    if (source_ == nullptr || end_entry() == 0) return 0;
  } else if (depth == 4 && in_entries && states_[2].key == ORIGINAL_BIT) {
    if (!check_required(states_[3].masks, ORIGINAL_COMMON_BIT,
                        "Failed to parse HANA restore job definition origin source, lack of '%s'.\n"))
      return fail(ERR_MISSING);
  }
  states_.pop_back();
  return 1;
}

int Restore_Job_Source_Parser::handle_start_array_i() {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  JSON_State array;
  array.obj = false;
  states_.push_back(array);
  return 1;
}

int Restore_Job_Source_Parser::handle_end_array_i() {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  states_.pop_back();
  if (!states_.empty() && states_.back().key == ENTRIES_BIT) states_.back().masks |= ENTRIES_BIT;
  return 1;
}

}  // namespace sap_hana
