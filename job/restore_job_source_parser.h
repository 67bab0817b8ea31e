#ifndef SAP_HANA_RESTORE_JOB_SOURCE_PARSER_H
#define SAP_HANA_RESTORE_JOB_SOURCE_PARSER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "agent/job/job_source.h"
#include "agent/json/yajl_parser.h"
#include "job/restore_job_source.h"

namespace sap_hana {

/// Event parser of Restore_Job_Source (JSON form in restore_job_source.h).
///
/// Contract:
/// - Members are matched exactly (case-sensitive). Unknown members are
///   ignored, but a string directly inside an array other than "entries",
///   or deeper than an entry's "original" and "restore_as", is refused.
///   Null, boolean and number values are ignored wherever they are.
/// - Each complete entry is appended as it ends; its "restore_as"."database"
///   defaults to "original"."database". The entry's catalog UUID and both
///   databases start empty for every entry, while "original"."sid",
///   "timepoint" and "lifeline" carry over from the previous entry when an
///   entry leaves them out.
/// - Failures stop the parse with error_code(), logged at error priority:
///   ERR_STRUCTURE (3): a key or an end of a container outside any, or a
///     document that is not an object;
///   ERR_MISSING (7): "id", "name" or "entries" missing ("Failed to parse
///     HANA restore job definition source, lack of '<key>'."), "original"
///     without "database" or "sid" ("... origin source, lack of '<key>'."),
///     an entry with neither catalog UUID nor timepoint, or without origin
///     database;
///   ERR_VALUE (9): a string where an object or array belongs (for example
///     "entries": "x") or at an unexpected depth.
/// - result() hands out the source; after a failed parse it is incomplete.
///   One parse per parser.
class Restore_Job_Source_Parser : public YAJL_Parser<Job_Source> {
 public:
  enum { ERR_STRUCTURE = 3, ERR_MISSING = 7, ERR_VALUE = 9 };
  enum : std::uint64_t {
    ID_BIT = 1,
    NAME_BIT = 2,
    ENTRIES_BIT = 4,
    ORIGINAL_BIT = 8,
    ORIGINAL_DATABASE_BIT = 16,
    RESTORE_AS_BIT = 32,
    RESTORE_AS_DATABASE_BIT = 64,
    CATALOG_UUID_BIT = 128,
    RESTORE_AS_TIMEPOINT_BIT = 256,
    RESTORE_AS_LIFELINE_BIT = 512,
    ORIGINAL_SID_BIT = 1024,
    POOL_UUID_BIT = 2048,
    LOG_POOL_UUID_BIT = 4096,
    COMMON_BIT = ID_BIT | NAME_BIT | ENTRIES_BIT,
    ORIGINAL_COMMON_BIT = ORIGINAL_DATABASE_BIT | ORIGINAL_SID_BIT,
  };

  Restore_Job_Source_Parser();
  ~Restore_Job_Source_Parser() override;

  std::shared_ptr<Job_Source> result() override { return result_; }
  int error_code() const override { return err_; }

 protected:
  int handle_string_i(const unsigned char* text, std::size_t len) override;
  int handle_start_map_i() override;
  int handle_map_key_i(const unsigned char* text, std::size_t len) override;
  int handle_end_map_i() override;
  int handle_start_array_i() override;
  int handle_end_array_i() override;

 private:
  struct JSON_State {
    bool obj = true;
    std::uint64_t key = 0;    ///< bit of the member being read, 0 for none
    std::uint64_t masks = 0;  ///< bits of the members seen
  };

  int fail(int code);
  int string_level_1(const std::string& value);
  int string_level_3(const std::string& value);
  int string_level_4(const std::string& value);
  int end_entry();
  /// Logs `format` with the name of every bit of `required` missing from
  /// `masks`, lowest first; true when none was missing.
  static bool check_required(std::uint64_t masks, std::uint64_t required, const char* format);

  int err_ = 0;
  std::shared_ptr<Job_Source> result_;
  Restore_Job_Source* source_ = nullptr;  // result_, typed
  std::vector<JSON_State> states_;
  Restore_Job_Source::Entry_Item item_;
};

}  // namespace sap_hana

#endif
