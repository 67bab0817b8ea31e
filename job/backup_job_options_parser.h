#ifndef SAP_HANA_BACKUP_JOB_OPTIONS_PARSER_H
#define SAP_HANA_BACKUP_JOB_OPTIONS_PARSER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "agent/json/yajl_parser.h"
#include "agent/job/job_options.h"

namespace sap_hana {

class Backup_Job_Options;

/// Event parser of Backup_Job_Options (JSON form in backup_job_options.h).
///
/// Contract:
/// - Only the members of the top-level object are read: "compression" (a
///   string, the method's name; a number there is ignored) and
///   "compression_level" (a number, its leading decimal digits). Unknown
///   members are ignored, whatever their value.
/// - Failures stop the parse with error_code():
///   3: a key or an end of object outside any object;
///   9: a string or number inside a nested object, or "compression_level"
///      given as a string.
/// - result() hands out the options (defaults for whatever was not given);
///   null only when they could not be allocated. One parse per parser.
class Backup_Job_Options_Parser : public YAJL_Parser<Job_Options> {
 public:
  Backup_Job_Options_Parser();
  ~Backup_Job_Options_Parser() override;

  std::shared_ptr<Job_Options> result() override { return result_; }
  int error_code() const override { return err_; }

 protected:
  int handle_number_i(const char* text, size_t len) override;
  int handle_string_i(const unsigned char* text, size_t len) override;
  int handle_start_map_i() override;
  int handle_map_key_i(const unsigned char* text, size_t len) override;
  int handle_end_map_i() override;

 private:
  struct JSON_State {
    bool obj = true;
    std::uint64_t key = 0;    ///< code of the member being read, 0 for none
    std::uint64_t masks = 0;  ///< codes of the members seen
  };

  /// The options being filled, or null after logging that there are none.
  Backup_Job_Options* options();

  int err_ = 0;
  std::shared_ptr<Job_Options> result_;
  std::vector<JSON_State> states_;
};

}  // namespace sap_hana

#endif
