#include "common/host_info_getter.h"

#include <ace/Log_Msg.h>

#include <boost/regex.hpp>
#include <cstring>
#include <fstream>

#include "agent/base/file_utils.h"
#include "common/precondition.h"
#include "common/utils.h"
#include "common/hana_paths.h"

namespace sap_hana {

namespace {

constexpr const char* kSapServices = hana_paths::kSapServices;

}  // namespace

bool Host_Info_Getter::hostname(std::string& name) const {
  const char* sid = sid_.c_str();
  HANA_REQUIRE_NONEMPTY(sid, false);
  if (!is_regular_file(kSapServices)) {
    ACE_ERROR((LM_ERROR, "Configure file %s does not exist\n", kSapServices));
    return false;
  }
  std::ifstream in(kSapServices);
  // Escaped: a SID is letters and digits, anything else must not act as a pattern.
  const boost::regex profile(".*pf=.*" + regex_escape(sid_) + "_HDB[0-9][0-9]_(\\S*).*");
  std::string line;
  boost::smatch match;
  while (std::getline(in, line)) {
    // The file is a shell script; a commented-out line starts nothing.
    std::string::size_type first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] == '#') continue;
    if (boost::regex_match(line, match, profile)) {
      name = match[1].str();
      return true;
    }
  }
  ACE_ERROR((LM_ERROR, "Failed to get hostname from '%s'\n", kSapServices));
  return false;
}

}  // namespace sap_hana
