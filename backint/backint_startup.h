#ifndef SAP_HANA_BACKINT_STARTUP_H
#define SAP_HANA_BACKINT_STARTUP_H

#include <ostream>
#include <string>

#include "backint/backint_info.h"
#include "common/hana_paths.h"

namespace sap_hana {

/// Start-up of hana-backint: command line, backupd address and access key,
/// service configuration, handler dispatch, exit code.
class Backint_Startup {
 public:
  static constexpr const char* kApiVersion = "1.5.0";
  static constexpr const char* kDefaultSvcConf = hana_paths::kBackintSvcConf;

  enum Parse_Result {
    PARSE_CONTINUE,  // options read; go on with start-up
    PARSE_EXIT,      // -v, -V or -h answered; exit 0
  };

  /// Parses the command line into `info` and `svc_conf` (left empty when
  /// --svc-conf is absent). -v, -V and -h print their text to `out` the
  /// moment they are met and end parsing. Unknown options are logged.
  /// `argv` may be permuted.
  static Parse_Result parse_options(int argc, char* argv[], Backint_Info& info, std::string& svc_conf,
                                    std::ostream& out);

  /// Writes the usage text.
  static void print_usage(std::ostream& out);

  /// Fills the backupd fields of `info` from the access key file at `path`.
  /// False when that file is missing or not a JSON object (the caller then
  /// asks the agent configuration); true otherwise, even when members are
  /// missing or the key cannot be decoded (those fields stay empty).
  static bool read_access_key_file(const std::string& path, Backint_Info& info);

  /// Loads the service configuration `svc_conf` (the default file when empty).
  static bool load_services(const std::string& svc_conf);

  /// The whole program: returns the process exit code.
  static int run(int argc, char* argv[], std::ostream& out);
};

}  // namespace sap_hana

#endif
