#ifndef SAP_HANA_FILENAME_PARSER_H
#define SAP_HANA_FILENAME_PARSER_H

#include <ace/Basic_Types.h>

#include <string>

namespace sap_hana {

/// Classifies and dissects the base names HANA gives its backint objects.
/// Stateless; the regular expressions are compiled once at load time.
class Filename_Parser {
 public:
  enum File_Type {
    TYPE_UNKNOWN = 0,
    TYPE_FULL_BACKUP = 1,
    TYPE_INCREMENTAL_BACKUP = 2,
    TYPE_DIFFERENTIAL_BACKUP = 3,
    TYPE_CATALOG = 4,
    TYPE_LOG = 5,
  };

  struct Log_File_Entry {
    ACE_UINT16 volume_id = 0;
    ACE_UINT16 partition_id = 0;
    ACE_UINT64 first_position = 0;
    ACE_UINT64 last_position = 0;
    ACE_UINT64 backup_id = 0;
  };

  struct Full_Backup_Entry {
    std::string prefix;
    ACE_UINT16 volume_id = 0;
    ACE_UINT16 partition_id = 0;
  };

  struct Delta_Backup_Entry {
    std::string prefix;
    ACE_UINT64 depend_backup_id = 0;
    ACE_UINT64 backup_id = 0;
    ACE_UINT16 volume_id = 0;
    ACE_UINT16 partition_id = 0;
  };

  static const char* const LOG_FILE_RE;
  static const char* const FULL_BACKUP_FILE_RE;
  static const char* const DELTA_BACKUP_FILE_RE;

  static File_Type type(const std::string& name);
  static bool parse_log_file(const std::string& name, Log_File_Entry& entry);
  static bool parse_full_backup_file(const std::string& name, Full_Backup_Entry& entry);
  static bool parse_delta_backup_file(const std::string& name, Delta_Backup_Entry& entry);
};

}  // namespace sap_hana

#endif
