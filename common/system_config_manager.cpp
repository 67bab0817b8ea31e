#include "common/system_config_manager.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string.hpp>

#include <cstring>

#include "agent/base/snprintf_t.h"
#include "common/hdbsql_general_text_handler.h"

namespace sap_hana {

namespace {

struct Mode_Entry {
  const char* word;
  size_t length;
  System_Config_Manager::LOG_MODE mode;
};

const Mode_Entry mode_table[] = {
    {"overwrite", 9, System_Config_Manager::LOG_MODE_OVERWRITE},
    {"normal", 6, System_Config_Manager::LOG_MODE_NORMAL},
    {nullptr, 0, System_Config_Manager::LOG_MODE_UNKNOWN},
};

const char* mode_word(System_Config_Manager::LOG_MODE mode) {
  for (const Mode_Entry* e = mode_table; e->word != nullptr; ++e) {
    if (e->mode == mode) return e->word;
  }
  return nullptr;
}

System_Config_Manager::LOG_MODE word_mode(const std::string& word) {
  for (const Mode_Entry* e = mode_table; e->word != nullptr; ++e) {
    if (boost::iequals(word, e->word)) return e->mode;
  }
  return System_Config_Manager::LOG_MODE_UNKNOWN;
}

}  // namespace

bool System_Config_Manager::get_inifile_value(const char* key, std::string& value) {
  snprintf_t<4096> sql("SELECT VALUE from M_INIFILE_CONTENTS where key = '%s' and LAYER_NAME = 'SYSTEM'", key);
  HDBSQL_General_Text_Handler handler;
  // A catalog query; a client that hangs must not hold the caller for ever.
  handler.time_limit(Text_Process_Handler::TERM_TIMEOUT);
  if (!hdbsql_.execute(sql.c_str(), &handler, ACE_Log_Msg_Callback_var())) return false;
  const auto& keys = handler.get_key();
  const auto& rows = handler.get_values();
  auto column = keys.find("VALUE");
  if (rows.empty() || column == keys.end()) return false;
  value = rows.back()[static_cast<size_t>(column->second)];
  return !value.empty();
}

bool System_Config_Manager::string_to_bool(const std::string& text, bool& out) {
  if (text.empty()) return false;
  if (boost::iequals(text, "yes") || boost::iequals(text, "true")) {
    out = true;
    return true;
  }
  if (boost::iequals(text, "no") || boost::iequals(text, "false")) {
    out = false;
    return true;
  }
  return false;
}

bool System_Config_Manager::alter_system_value(const char* section, const char* key, bool value) {
  return alter_system_value(section, key, value ? "true" : "false");
}

bool System_Config_Manager::alter_system_value(const char* section, const char* key, const char* value) {
  snprintf_t<4096> sql(
      "ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'SYSTEM') SET ('%s', '%s') = '%s' WITH RECONFIGURE", section,
      key, value);
  return hdbsql_.execute(sql.c_str(), ACE_Log_Msg_Callback_var());
}

bool System_Config_Manager::alter_log_mode(LOG_MODE mode) {
  const char* word = mode_word(mode);
  if (word == nullptr) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Invalid log mode\n")));
    return false;
  }
  std::string current;
  LOG_MODE current_mode = get_inifile_value("log_mode", current) ? word_mode(current) : LOG_MODE_UNKNOWN;
  if (current_mode == mode) return true;
  if (!alter_system_value("persistence", "log_mode", word)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to alter log mode to %s\n"), word));
    return false;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("Log mode is altered to %s\n"), word));
  return true;
}

bool System_Config_Manager::alter_bool(const char* section, const char* key, bool enable, const char* what,
                                       const char* done) {
  std::string current;
  bool current_flag = false;
  if (get_inifile_value(key, current)) {
    bool parsed = false;
    if (string_to_bool(current, parsed)) current_flag = parsed;
  }
  if (current_flag == enable) return true;
  if (!alter_system_value(section, key, enable)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to %s %s\n"), enable ? "enable" : "disable", what));
    return false;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("%s is altered to %s\n"), done, enable ? "enabled" : "disabled"));
  return true;
}

bool System_Config_Manager::alter_auto_log_backup(bool enable) {
  return alter_bool("persistence", "enable_auto_log_backup", enable, "auto log backup", "Auto log backup");
}

bool System_Config_Manager::alter_log_backup_using_backint(bool enable) {
  return alter_bool("backup", "log_backup_using_backint", enable, "log backup using backint",
                    "Log backup using backint");
}

bool System_Config_Manager::alter_catalog_backup_using_backint(bool enable) {
  return alter_bool("backup", "catalog_backup_using_backint", enable, "catalog backup using backint",
                    "Catalog backup using backint");
}

}  // namespace sap_hana
