#ifndef SAP_HANA_BACKINT_INFO_H
#define SAP_HANA_BACKINT_INFO_H

#include <ace/Basic_Types.h>

#include <string>

#include "agent/base/key2_value.h"
#include "agent/base/secure_string.h"

namespace sap_hana {

enum Backint_Function : ACE_INT32 {
  FUNCTION_UNKNOWN = 0,
  FUNCTION_BACKUP = 1,
  FUNCTION_RESTORE = 2,
  FUNCTION_INQUIRE = 3,
  FUNCTION_DELETE = 4,
};

enum Backint_Level : ACE_INT32 {
  LEVEL_UNKNOWN = 0,
  LEVEL_COMPLETE = 1,
  LEVEL_LOG = 2,
  LEVEL_DIFFERENTIAL = 3,
  LEVEL_INCREMENTAL = 4,
  LEVEL_METADATA = 5,
  LEVEL_INITIALVOLUME = 6,
  LEVEL_CATALOG = 7,
};

/// The parsed hana-backint command line plus the backupd address and access
/// key found at start-up. Copied by value into every handler.
struct Backint_Info {
  std::string user_id;
  Backint_Function function = FUNCTION_UNKNOWN;
  std::string par_file;
  std::string in_file;   // empty: standard input
  std::string out_file;  // empty: standard output
  ACE_UINT64 database_backup_id = 0;
  ACE_INT32 objects_amount = 0;
  Backint_Level level = LEVEL_UNKNOWN;
  std::string backupd_host;
  ACE_UINT16 backupd_port = 0;
  bool backupd_ssl = false;
  secure_string backupd_access_key;  // raw bytes; never logged
};

/// Key tables: rows (key, length, value), ended by a row without key whose
/// value is the UNKNOWN member.
extern const Key2_Value_T<Backint_Function> backint_function_table[];
extern const Key2_Value_T<Backint_Level> backint_level_table[];

/// Exact-case lookup; FUNCTION_UNKNOWN when absent.
Backint_Function function_key_to_value(const char* key);
/// Key text of a function value; null for values without a row.
const char* function_value_to_Key(Backint_Function value);
/// Lookup of an already lower-cased key; LEVEL_UNKNOWN when absent.
Backint_Level level_key_to_value(const char* key);
/// Key text of a level value; null for values without a row.
const char* level_value_to_key(Backint_Level value);

}  // namespace sap_hana

#endif
