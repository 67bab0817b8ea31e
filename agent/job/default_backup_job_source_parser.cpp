#include "agent/job/default_backup_job_source_parser.h"

#include <cstring>

Default_Backup_Job_Source_Parser::Default_Backup_Job_Source_Parser()
    : source_(std::make_shared<Default_Backup_Job_Source>()) {}

Default_Backup_Job_Source_Parser::~Default_Backup_Job_Source_Parser() = default;

std::shared_ptr<Job_Source> Default_Backup_Job_Source_Parser::result() {
  if (!done_ || err_ != 0) return nullptr;
  return source_;
}

int Default_Backup_Job_Source_Parser::fail(int code) {
  if (err_ == 0) err_ = code;
  return 0;
}

// Scalars: `text` is the string's value, null for any other scalar.
int Default_Backup_Job_Source_Parser::scalar(const std::string* text) {
  if (skip_depth_ != 0) return 1;
  if (depth_ == 0) return fail(kNotObject);
  if (in_entries_) {
    if (text == nullptr) return fail(kBadMember);
    source_->entries().push_back(*text);
    return 1;
  }
  switch (member_) {
    case MEMBER_ID:
      if (text == nullptr || text->empty()) return fail(kBadMember);
      source_->id(*text);
      have_id_ = true;
      return 1;
    case MEMBER_ENTRIES:
      return fail(kBadMember);
    default:
      return 1;
  }
}

int Default_Backup_Job_Source_Parser::handle_null_i() { return scalar(nullptr); }

int Default_Backup_Job_Source_Parser::handle_boolean_i(int) { return scalar(nullptr); }

int Default_Backup_Job_Source_Parser::handle_number_i(const char*, std::size_t) { return scalar(nullptr); }

int Default_Backup_Job_Source_Parser::handle_string_i(const unsigned char* text, std::size_t len) {
  std::string value(reinterpret_cast<const char*>(text), len);
  return scalar(&value);
}

int Default_Backup_Job_Source_Parser::handle_start_map_i() {
  if (skip_depth_ != 0) {
    ++depth_;
    return 1;
  }
  if (depth_ == 0) {
    if (done_) return fail(kNotObject);
    ++depth_;
    return 1;
  }
  if (depth_ == 1 && member_ == MEMBER_OTHER) {
    skip_depth_ = ++depth_;
    return 1;
  }
  return fail(kBadMember);
}

int Default_Backup_Job_Source_Parser::handle_map_key_i(const unsigned char* text, std::size_t len) {
  if (skip_depth_ != 0) return 1;
  std::string key(reinterpret_cast<const char*>(text), len);
  member_ = key == "id" ? MEMBER_ID : key == "entries" ? MEMBER_ENTRIES : MEMBER_OTHER;
  return 1;
}

int Default_Backup_Job_Source_Parser::handle_end_map_i() {
  if (skip_depth_ != 0) {
    if (--depth_ < skip_depth_) skip_depth_ = 0;
    return 1;
  }
  --depth_;
  done_ = true;
  if (!have_id_ || !have_entries_) return fail(kBadMember);
  return 1;
}

int Default_Backup_Job_Source_Parser::handle_start_array_i() {
  if (skip_depth_ != 0) {
    ++depth_;
    return 1;
  }
  if (depth_ == 0) return fail(kNotObject);
  if (depth_ == 1 && member_ == MEMBER_OTHER) {
    skip_depth_ = ++depth_;
    return 1;
  }
  if (depth_ == 1 && member_ == MEMBER_ENTRIES && !in_entries_) {
    source_->entries().clear();
    in_entries_ = true;
    have_entries_ = true;
    ++depth_;
    return 1;
  }
  return fail(kBadMember);
}

int Default_Backup_Job_Source_Parser::handle_end_array_i() {
  if (skip_depth_ != 0) {
    if (--depth_ < skip_depth_) skip_depth_ = 0;
    return 1;
  }
  in_entries_ = false;
  --depth_;
  return 1;
}
