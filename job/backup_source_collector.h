#ifndef SAP_HANA_BACKUP_SOURCE_COLLECTOR_H
#define SAP_HANA_BACKUP_SOURCE_COLLECTOR_H

#include <list>
#include <string>

class Default_Backup_Job_Source;

namespace sap_hana {

/// Turns the entries of a HANA backup job's source into the databases the
/// job works on. Entries are URI paths "hana/<instance>[/<database>]":
/// - "hana/HDB00/SYSTEMDB": instance HDB00, database SYSTEMDB, the system
///   database;
/// - "hana/HDB00/T01": a tenant on a multi-container system; on a
///   single-container system every entry that names a database names its
///   only (system) database;
/// - "hana/HDB00" (or more than three segments): the instance alone, with an
///   empty database, which data backups skip.
///
/// Contract of collect(): entries are taken in order and appended. An entry
/// that does not begin with "hana" logs "Failed to collect %s for HANA" and
/// makes it return false at once (what was collected stays), and so does a
/// database name that is no plain HANA identifier (is_hana_identifier:
/// "Invalid database name '%s' in source entry %s"), so that no name from a
/// source reaches SQL unchecked; one with fewer than two segments logs
/// "Failed to handle source entry %s" and is skipped.
/// Whether the system is multi-container is read once per call from its
/// global.ini. One object per use; not synchronised.
class Backup_Source_Collector {
 public:
  struct Database_Info {
    std::string instance;
    std::string database;  ///< empty when the entry names none
    bool systemdb = false;
  };
  using Database_Infos = std::list<Database_Info>;

  explicit Backup_Source_Collector(const std::string& sid) : sid_(sid) {}

  bool collect(const Default_Backup_Job_Source& source);
  const Database_Infos& get() const { return sources_; }

 private:
  std::string sid_;
  Database_Infos sources_;
};

}  // namespace sap_hana

#endif
