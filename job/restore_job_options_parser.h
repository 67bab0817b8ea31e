#ifndef SAP_HANA_RESTORE_JOB_OPTIONS_PARSER_H
#define SAP_HANA_RESTORE_JOB_OPTIONS_PARSER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "agent/job/job_options.h"
#include "agent/json/yajl_parser.h"

namespace sap_hana {

class Restore_Job_Options;

/// Event parser of Restore_Job_Options (JSON form in restore_job_options.h).
///
/// Contract:
/// - Only the top-level object's "ignore_delta" (a boolean) is read; other
///   members are ignored whatever their value, and so are nested objects.
/// - Failures stop the parse with error_code():
///   3: a key or an end of object outside any object, or a document that
///      is not an object;
///   9: a boolean inside a nested object, or "ignore_delta" given as a
///      string or a number.
/// - result() hands out the options (defaults for whatever was not given);
///   null only when they could not be allocated. One parse per parser.
class Restore_Job_Options_Parser : public YAJL_Parser<Job_Options> {
 public:
  enum { ERR_STRUCTURE = 3, ERR_VALUE = 9 };
  enum : std::uint64_t { IGNORE_DELTA_BIT = 1 };

  Restore_Job_Options_Parser();
  ~Restore_Job_Options_Parser() override;

  std::shared_ptr<Job_Options> result() override { return result_; }
  int error_code() const override { return err_; }

 protected:
  int handle_boolean_i(int value) override;
  int handle_number_i(const char* text, std::size_t len) override;
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
  /// A string or number: refused under "ignore_delta", ignored elsewhere.
  int scalar();

  int err_ = 0;
  std::shared_ptr<Job_Options> result_;
  Restore_Job_Options* options_ = nullptr;  // result_, typed
  std::vector<JSON_State> states_;
};

}  // namespace sap_hana

#endif
