#include "job/backup_job_options_parser.h"

#include <ace/Log_Msg.h>

#include <new>
#include <string>

#include "agent/base/key2_value.h"
#include "agent/base/natoi.h"
#include "job/backup_job_options.h"

namespace sap_hana {

namespace {

enum : unsigned { KEY_NONE = 0, KEY_COMPRESSION = 1, KEY_COMPRESSION_LEVEL = 2 };

const Key2_Value_T<unsigned> key_table_1[] = {
    {"compression", 11, KEY_COMPRESSION},
    {"compression_level", 17, KEY_COMPRESSION_LEVEL},
    {nullptr, 0, KEY_NONE},
};

constexpr int kOutsideObject = 3;
constexpr int kUnexpectedValue = 9;

}  // namespace

Backup_Job_Options_Parser::Backup_Job_Options_Parser() {
  result_.reset(new (std::nothrow) Backup_Job_Options);
  if (!result_) ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, result_ is NULL:\n%?\n")));
}

Backup_Job_Options_Parser::~Backup_Job_Options_Parser() = default;

Backup_Job_Options* Backup_Job_Options_Parser::options() {
  if (!result_) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, result_ is NULL:\n%?\n")));
    return nullptr;
  }
  return static_cast<Backup_Job_Options*>(result_.get());
}

int Backup_Job_Options_Parser::handle_start_map_i() {
  states_.push_back(JSON_State());
  return 1;
}

int Backup_Job_Options_Parser::handle_map_key_i(const unsigned char* text, size_t len) {
  if (states_.empty()) {
    err_ = kOutsideObject;
    return 0;
  }
  if (states_.size() != 1) return 1;
  // An unknown member selects nothing, so that its value is never taken
  // for the member before it.
  states_.back().key = KEY_NONE;
  for (const auto* row = key_table_1; row->key != nullptr; ++row) {
    if (row->key_length == len &&
        std::char_traits<char>::compare(row->key, reinterpret_cast<const char*>(text), len) == 0) {
      states_.back().key = row->value;
      break;
    }
  }
  return 1;
}

int Backup_Job_Options_Parser::handle_string_i(const unsigned char* text, size_t len) {
  if (states_.size() != 1) {
    err_ = kUnexpectedValue;
    return 0;
  }
  Backup_Job_Options* opts = options();
  if (opts == nullptr) return 0;
  JSON_State& state = states_.back();
  switch (state.key) {
    case KEY_COMPRESSION:
      opts->compression_ = compression_name_to_value(reinterpret_cast<const char*>(text), len);
      state.masks |= state.key;
      return 1;
    case KEY_COMPRESSION_LEVEL:
      err_ = kUnexpectedValue;
      return 0;
    default:
      return 1;
  }
}

int Backup_Job_Options_Parser::handle_number_i(const char* text, size_t len) {
  if (states_.size() != 1) {
    err_ = kUnexpectedValue;
    return 0;
  }
  Backup_Job_Options* opts = options();
  if (opts == nullptr) return 0;
  JSON_State& state = states_.back();
  if (state.key == KEY_NONE) return 1;
  if (state.key == KEY_COMPRESSION_LEVEL) opts->compression_level_ = natoi<int>(std::string(text, len).c_str());
  state.masks |= state.key;
  return 1;
}

int Backup_Job_Options_Parser::handle_end_map_i() {
  if (states_.empty()) {
    err_ = kOutsideObject;
    return 0;
  }
  states_.pop_back();
  return 1;
}

}  // namespace sap_hana
