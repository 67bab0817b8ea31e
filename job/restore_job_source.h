#ifndef SAP_HANA_RESTORE_JOB_SOURCE_H
#define SAP_HANA_RESTORE_JOB_SOURCE_H

#include <string>
#include <vector>

#include <yajl/yajl_gen.h>

#include "agent/job/job_source.h"

namespace sap_hana {

/// What a HANA restore job restores: the databases of one backed-up HANA
/// resource, each from a chosen backup set or to a point in time.
///
/// JSON form (parsed by Restore_Job_Source_Parser):
///   {"id": "<resource uuid>", "name": "<name>",
///    "pool_uuid": "<data pool>", "log_pool_uuid": "<log pool>",   optional
///    "entries": [{"catalog_uuid": "<set uuid>",
///                 "original": {"sid": "PRD", "database": "T1"},
///                 "restore_as": {"database": "T2",
///                                "timepoint": "2024-01-31 10:00:00",
///                                "lifeline": "<lifeline>"}}, ...]}
/// "id", "name" and "entries" are required ("entries" may be empty); an
/// entry needs "original" with both members and either "catalog_uuid" or
/// "restore_as"."timepoint"; "restore_as"."database" defaults to the
/// origin's database.
///
/// A value type once parsed; not synchronised.
class Restore_Job_Source : public Job_Source {
 public:
  struct Origin_Info {
    std::string database;  ///< the backed-up database ("SYSTEMDB", a tenant)
    std::string sid;       ///< the system it was backed up from
  };
  struct Target_Info {
    bool systemdb = false;  ///< not in the JSON; set when entries are ordered
    std::string database;   ///< the database to restore into
    std::string timepoint;  ///< "YYYY-MM-DD HH:MM:SS" to recover to, or empty
    std::string lifeline;   ///< the backup chain a point-in-time restore uses
  };
  struct Entry_Item {
    std::string catalog_uuid;  ///< the set to restore; may be empty with a timepoint
    Origin_Info origin;
    Target_Info target;
    /// Clears every field, so that the next entry of a definition carries
    /// only what it names itself (never the previous entry's point in time
    /// or lifeline).
    void reset();
  };
  using Entry_List = std::vector<Entry_Item>;

  Restore_Job_Source() = default;
  ~Restore_Job_Source() override;

  const std::string& id() const { return id_; }
  void id(const std::string& id) { id_ = id; }
  const std::string& name() const { return name_; }
  void name(const std::string& name) { name_ = name; }
  const Entry_List& get_entries() const { return entries_; }
  void add_entry_item(const Entry_Item& item) { entries_.push_back(item); }
  std::string pool_uuid() const { return pool_uuid_; }
  void pool_uuid(const std::string& uuid) { pool_uuid_ = uuid; }
  std::string log_pool_uuid() const { return log_pool_uuid_; }
  void log_pool_uuid(const std::string& uuid) { log_pool_uuid_ = uuid; }

  /// Writes the source as one JSON object into `gen`, so that the text
  /// parses again into an equal source: "id", "name", "entries" (also when
  /// empty), each with "catalog_uuid" (unless empty), "original" {"sid",
  /// "database"} and "restore_as" {"database", then "timepoint" and
  /// "lifeline" unless empty}; then "pool_uuid" and "log_pool_uuid" unless
  /// empty. `systemdb` is not written. 0, or -1 when the generator refuses a
  /// token.
  virtual int generate(yajl_gen gen) const;

 private:
  std::string id_;
  std::string name_;
  Entry_List entries_;
  std::string pool_uuid_;
  std::string log_pool_uuid_;
};

}  // namespace sap_hana

#endif
