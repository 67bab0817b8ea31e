#include "job/backint_preparer.h"

#include <ace/Log_Msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/base/file_utils.h"

namespace sap_hana {

namespace {
constexpr const char* kInstallDir = "/opt/corvane/strovix3";
constexpr const char* kUsrSap = "/usr/sap";
}  // namespace

Backint_Preparer::Backint_Preparer(const std::string& sid) : sid_(sid) {
  if (sid_.empty()) return;
  source_ = std::string(kInstallDir) + "/bin/hana-backint";
  target_ = std::string(kUsrSap) + "/" + sid_ + "/SYS/global/hdb/opt/hana-backint";
}

bool Backint_Preparer::prepare() {
  if (source_.empty() || target_.empty()) {
    ACE_ERROR((LM_ERROR, "Source or target is empty\n"));
    return false;
  }
  if (!is_regular_file(source_.c_str())) {
    ACE_ERROR((LM_ERROR, "Source file %s does not exist\n", source_.c_str()));
    return false;
  }
  struct stat st;
  if (::lstat(target_.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      ACE_ERROR((LM_ERROR, "Target file %s is exist\n", target_.c_str()));
      return false;
    }
    char text[4096];
    ssize_t n = ::readlink(target_.c_str(), text, sizeof text - 1);
    if (n < 0) n = 0;
    text[n] = '\0';
    if (source_.compare(0, std::string::npos, text, static_cast<size_t>(n)) == 0) return true;
    // Someone else's link (or an older installation's): replacing it could
    // take Backint away from a product that still relies on it.
    ACE_ERROR((LM_ERROR, "Symbolic link backint '%s' is exists, linking to %s\n", target_.c_str(), text));
    return false;
  }
  if (mkdir_p(dirname_string(target_).c_str(), 0755) != 0 || ::symlink(source_.c_str(), target_.c_str()) != 0) {
    ACE_ERROR((LM_ERROR, "Failed to create symbol link, errno = %d\n", errno));
    return false;
  }
  return true;
}

}  // namespace sap_hana
