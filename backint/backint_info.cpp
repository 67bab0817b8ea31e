#include "backint/backint_info.h"

namespace sap_hana {

#define KEY_ROW(text, value) \
  { text, sizeof(text) - 1, value }

const Key2_Value_T<Backint_Function> backint_function_table[] = {
    KEY_ROW("backup", FUNCTION_BACKUP), KEY_ROW("restore", FUNCTION_RESTORE), KEY_ROW("inquire", FUNCTION_INQUIRE),
    KEY_ROW("delete", FUNCTION_DELETE), {nullptr, 0, FUNCTION_UNKNOWN},
};

const Key2_Value_T<Backint_Level> backint_level_table[] = {
    KEY_ROW("complete", LEVEL_COMPLETE),         KEY_ROW("log", LEVEL_LOG),
    KEY_ROW("differential", LEVEL_DIFFERENTIAL), KEY_ROW("incremental", LEVEL_INCREMENTAL),
    KEY_ROW("metadata", LEVEL_METADATA),         KEY_ROW("initialvolume", LEVEL_INITIALVOLUME),
    KEY_ROW("catalog", LEVEL_CATALOG),           {nullptr, 0, LEVEL_UNKNOWN},
};

#undef KEY_ROW

Backint_Function function_key_to_value(const char* key) {
  return Key2_Value_T<Backint_Function>::key_to_value(backint_function_table, key);
}

const char* function_value_to_Key(Backint_Function value) {
  return Key2_Value_T<Backint_Function>::value_to_key(backint_function_table, value);
}

Backint_Level level_key_to_value(const char* key) {
  return Key2_Value_T<Backint_Level>::key_to_value(backint_level_table, key);
}

const char* level_value_to_key(Backint_Level value) {
  return Key2_Value_T<Backint_Level>::value_to_key(backint_level_table, value);
}

}  // namespace sap_hana
