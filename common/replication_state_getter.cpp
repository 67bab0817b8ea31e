#include "common/replication_state_getter.h"

#include <ace/Log_Msg.h>

#include "agent/base/file_utils.h"
#include "agent/base/snprintf_t.h"
#include "common/ini_file.h"
#include "common/hana_paths.h"

namespace sap_hana {

bool Replication_State_Getter::get_state(Replication_State& state) {
  snprintf_t<4096> path(hana_paths::kGlobalIniFormat, sid_.c_str());
  if (!is_regular_file(path.c_str())) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Global config file '%s' does not exist\n"), path.c_str()));
    return false;
  }
  Ini_File ini;
  std::string error;
  std::string mode, actual_mode, operation_mode;
  if (!ini.load(path.c_str(), error) || !ini.get("system_replication.mode", mode, error) ||
      !ini.get("system_replication.actual_mode", actual_mode, error) ||
      !ini.get("system_replication.operation_mode", operation_mode, error))
    return false;
  state.mode = actual_mode.empty() ? mode : actual_mode;
  state.operation_mode = operation_mode;
  return true;
}

}  // namespace sap_hana
