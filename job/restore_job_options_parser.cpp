#include "job/restore_job_options_parser.h"

#include <ace/Log_Msg.h>

#include <cstring>
#include <new>

#include "agent/base/key2_value.h"
#include "job/restore_job_options.h"

namespace sap_hana {

namespace {

const Key2_Value_T<unsigned int> key_table_1[] = {
    {"ignore_delta", 12, Restore_Job_Options_Parser::IGNORE_DELTA_BIT},
    {nullptr, 0, 0},
};

std::uint64_t lookup(const unsigned char* text, std::size_t len) {
  for (const auto* row = key_table_1; row->key != nullptr; ++row)
    if (row->key_length == len && std::memcmp(row->key, text, len) == 0) return row->value;
  return 0;
}

}  // namespace

Restore_Job_Options_Parser::Restore_Job_Options_Parser() {
  options_ = new (std::nothrow) Restore_Job_Options;
  if (options_ == nullptr) {
    ACE_ERROR((LM_EMERGENCY, "Unexpected error in %N:%l, result_ is NULL:\n%?"));
    return;
  }
  result_.reset(options_);
}

Restore_Job_Options_Parser::~Restore_Job_Options_Parser() = default;

int Restore_Job_Options_Parser::fail(int code) {
  err_ = code;
  return 0;
}

int Restore_Job_Options_Parser::handle_boolean_i(int value) {
  if (states_.size() != 1) return fail(ERR_VALUE);
  JSON_State& top = states_.back();
  if (top.key == IGNORE_DELTA_BIT) {
    if (options_ == nullptr) {
      ACE_ERROR((LM_EMERGENCY, "Unexpected error in %N:%l, result_ is NULL:\n%?"));
      return 0;
    }
    options_->ignore_delta(value != 0);
  }
  top.masks |= top.key;
  return 1;
}

// A restore that silently ignored "ignore_delta": "true" would read delta
// backups the job asked it to skip.
int Restore_Job_Options_Parser::scalar() {
  if (states_.size() == 1 && states_.back().key == IGNORE_DELTA_BIT) return fail(ERR_VALUE);
  return 1;
}

int Restore_Job_Options_Parser::handle_number_i(const char*, std::size_t) { return scalar(); }

int Restore_Job_Options_Parser::handle_string_i(const unsigned char*, std::size_t) { return scalar(); }

int Restore_Job_Options_Parser::handle_start_map_i() {
  states_.push_back(JSON_State());
  return 1;
}

int Restore_Job_Options_Parser::handle_map_key_i(const unsigned char* text, std::size_t len) {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  // An unknown key deselects the previous one, so its value cannot be taken
  // for that member's.
  if (states_.size() == 1) states_.back().key = lookup(text, len);
  return 1;
}

int Restore_Job_Options_Parser::handle_end_map_i() {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  states_.pop_back();
  return 1;
}

int Restore_Job_Options_Parser::handle_start_array_i() {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  JSON_State array;
  array.obj = false;
  states_.push_back(array);
  return 1;
}

int Restore_Job_Options_Parser::handle_end_array_i() {
  if (states_.empty()) return fail(ERR_STRUCTURE);
  states_.pop_back();
  return 1;
}

}  // namespace sap_hana
