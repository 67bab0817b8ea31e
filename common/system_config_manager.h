#ifndef SAP_HANA_SYSTEM_CONFIG_MANAGER_H
#define SAP_HANA_SYSTEM_CONFIG_MANAGER_H

#include <string>

#include "common/hdbsql_executor.h"

namespace sap_hana {

/// Reads and changes values of global.ini in HANA's SYSTEM layer through
/// hdbsql: the log mode, automatic log backups, and whether log and catalog
/// backups go through backint.
///
/// Contract: each alter operation first reads the current value
/// (M_INIFILE_CONTENTS, SYSTEM layer) and issues
///   ALTER SYSTEM ALTER CONFIGURATION ('global.ini', 'SYSTEM') SET ('<section>', '<key>') = '<value>' WITH RECONFIGURE
/// only when the value differs; a value that cannot be read counts as not
/// set, so the statement is then issued. True when the value is as wanted
/// afterwards. Holds its own copy of an initialised executor; one thread at a
/// time.
class System_Config_Manager {
 public:
  enum LOG_MODE { LOG_MODE_UNKNOWN = 0, LOG_MODE_OVERWRITE = 1, LOG_MODE_NORMAL = 2 };

  explicit System_Config_Manager(const HDBSQL_Executor& hdbsql) : hdbsql_(hdbsql) {}

  /// [persistence] log_mode to "overwrite" or "normal"; LOG_MODE_UNKNOWN
  /// logs "Invalid log mode" and gives false.
  bool alter_log_mode(LOG_MODE mode);
  /// [persistence] enable_auto_log_backup.
  bool alter_auto_log_backup(bool enable);
  /// [backup] log_backup_using_backint.
  bool alter_log_backup_using_backint(bool enable);
  /// [backup] catalog_backup_using_backint.
  bool alter_catalog_backup_using_backint(bool enable);

 private:
  bool get_inifile_value(const char* key, std::string& value);
  static bool string_to_bool(const std::string& text, bool& out);
  bool alter_system_value(const char* section, const char* key, bool value);
  bool alter_system_value(const char* section, const char* key, const char* value);
  bool alter_bool(const char* section, const char* key, bool enable, const char* what, const char* done);

  HDBSQL_Executor hdbsql_;
};

}  // namespace sap_hana

#endif
