#ifndef SAP_HANA_BACKINT_PREPARER_H
#define SAP_HANA_BACKINT_PREPARER_H

#include <string>

namespace sap_hana {

/// Makes sure a HANA system finds hana-backint where HANA looks for its
/// Backint agent: the symbolic link
///   /usr/sap/<SID>/SYS/global/hdb/opt/hana-backint
/// must point to the installed program, /opt/corvane/strovix3/bin/hana-backint.
///
/// Contract of prepare() (every failure logged at error priority, false):
/// - an empty SID: "Source or target is empty";
/// - the installed program is no regular file: "Source file %s does not exist";
/// - the link exists and its text is exactly the program's path: true, nothing
///   changed; a link with any other text (a relative path to the same file
///   included) is never replaced: "Symbolic link backint '%s' is exists,
///   linking to %s";
/// - nothing exists there: the missing directories are created (0755) and the
///   link made; "Failed to create symbol link, errno = %d" when either fails;
/// - something else exists there: "Target file %s is exist".
/// No state beyond the paths; any thread.
class Backint_Preparer {
 public:
  explicit Backint_Preparer(const std::string& sid);

  bool prepare();

  const std::string& source() const { return source_; }
  const std::string& target() const { return target_; }

 private:
  std::string sid_;
  std::string source_;
  std::string target_;
};

}  // namespace sap_hana

#endif
