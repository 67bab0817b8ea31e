#ifndef AGENT_DEFAULT_BACKUP_JOB_SOURCE_PARSER_H
#define AGENT_DEFAULT_BACKUP_JOB_SOURCE_PARSER_H

#include <memory>
#include <string>

#include "agent/job/default_backup_job_source.h"
#include "agent/job/job_source.h"
#include "agent/json/yajl_parser.h"

/// Parses the JSON form of a Default_Backup_Job_Source:
///   {"id": "<resource uuid>", "entries": ["<entry>", ...]}
/// Both members are required; other members (of any shape) are ignored.
/// Error codes (error_code()): kNotObject when the document is not an
/// object, kBadMember when "id" is not a non-empty string, "entries" is
/// not an array of strings, or a member is missing.
class Default_Backup_Job_Source_Parser : public YAJL_Parser<Job_Source> {
 public:
  enum { kNotObject = 3, kBadMember = 9 };

  Default_Backup_Job_Source_Parser();
  ~Default_Backup_Job_Source_Parser() override;

  int error_code() const override { return err_; }
  /// The parsed source after a successful parse(), else null.
  std::shared_ptr<Job_Source> result() override;

 protected:
  int handle_null_i() override;
  int handle_boolean_i(int value) override;
  int handle_number_i(const char* text, std::size_t len) override;
  int handle_string_i(const unsigned char* text, std::size_t len) override;
  int handle_start_map_i() override;
  int handle_map_key_i(const unsigned char* text, std::size_t len) override;
  int handle_end_map_i() override;
  int handle_start_array_i() override;
  int handle_end_array_i() override;

 private:
  enum Member { MEMBER_OTHER, MEMBER_ID, MEMBER_ENTRIES };
  int scalar(const std::string* text);
  int fail(int code);

  std::shared_ptr<Default_Backup_Job_Source> source_;
  int err_ = 0;
  int depth_ = 0;       // open objects and arrays
  int skip_depth_ = 0;  // depth of an ignored member's value, 0 when none
  Member member_ = MEMBER_OTHER;
  bool in_entries_ = false;
  bool have_id_ = false;
  bool have_entries_ = false;
  bool done_ = false;
};

#endif
