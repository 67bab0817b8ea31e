#ifndef SAP_HANA_HANA_BACKUP_SET_H
#define SAP_HANA_HANA_BACKUP_SET_H

#include <cstdint>
#include <string>
#include <vector>

#include "agent/backupset/backup_set.h"

namespace sap_hana {

/// The backup set of one HANA database backup (data, log or catalog): the
/// generic set plus the HANA system, the database, HANA's backup ID and the
/// files hana-backint stored. module() is "hana".
///
/// JSON form: the generic members (Backup_Set), then "sid",
/// "system_version", "instance_number" (unsigned), "instance_name",
/// "database", "database_backup_id" (unsigned), and "files": an array of
/// {"extern_backup_id", "origin_path", "filename", "size", "source_type",
/// "storage_path"} in the order the files were added.
class HANA_Backup_Set : public Backup_Set {
 public:
  /// One file of the backup as the backint catalog recorded it.
  struct Backup_File {
    std::string extern_backup_id;  ///< EBID
    std::string origin_path;       ///< HANA's pipe or file name
    std::string filename;          ///< base name HANA gave the object
    std::uint64_t size = 0;        ///< source bytes
    std::string source_type;
    std::string storage_path;  ///< object name in the pool
  };

  std::string sid;
  std::string system_version;
  std::uint16_t instance_number = 0;
  std::string instance_name;
  std::string database;
  std::uint64_t database_backup_id = 0;
  std::vector<Backup_File> files;

  void add_file(const Backup_File& file) { files.push_back(file); }

  std::string module() const override;
  json_value to_json() const override;
  bool from_json(const json_value& object, std::string& error) override;
};

}  // namespace sap_hana

#endif
