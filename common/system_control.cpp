#include "common/system_control.h"

#include <ace/Log_Msg.h>

#include "agent/base/file_utils.h"
#include "agent/base/snprintf_t.h"
#include "common/ini_file.h"
#include "common/hana_paths.h"

namespace sap_hana {

bool System_Controller::is_multi_container() {
  snprintf_t<4096> path(hana_paths::kGlobalIniFormat, sid_.c_str());
  if (!is_regular_file(path.c_str())) return false;
  Ini_File ini;
  std::string error;
  std::string mode;
  if (!ini.load(path.c_str(), error)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to parse %s: %s\n"), path.c_str(), error.c_str()));
    return false;
  }
  // Single-container installations of HANA 1.0 have no [multidb] section at
  // all; that is their normal state, asked for on every check, not an error.
  if (!ini.get("multidb.mode", mode, error)) return false;
  return mode == "multidb";
}

bool System_Controller::is_system_database(const std::string& database) {
  if (!is_multi_container()) return true;
  return database == "SYSTEMDB";
}

}  // namespace sap_hana
