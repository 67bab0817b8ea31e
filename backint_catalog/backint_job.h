#ifndef SAP_HANA_BACKINT_JOB_H
#define SAP_HANA_BACKINT_JOB_H

#include <cstdint>
#include <string>

#include "agent/json/json_access.h"

namespace sap_hana {

/// One backint job of the server's backint catalog: a hana-backint run that
/// belongs to an agent job (or to a backup made without one). Its files are
/// keyed by `uuid`. A value type; not thread-safe.
///
/// JSON forms:
///  - operator<< reads the object form. Every member is optional (a missing
///    member leaves the field unchanged); a member of the wrong kind raises
///    Json_Member_Error, which the caller catches. Fields may already have
///    been changed when it raises; read into a copy to stay atomic.
///  - operator>> writes the object form into `object` (made an object if it
///    is not one), always all thirteen members in this order:
///    "database_backup_id", "uuid", "host_uuid", "job_act_id", "type",
///    "location", "database", "compression", "compression_level",
///    "extended_attrs" (object), "sid", "pool_uuid", "landscape_id".
///    `id` is never written.
///  - parse reads a catalog row in the server's storage form: "id", "uuid",
///    "host_uuid", "job_act_id", "location", "database_backup_id",
///    "database", "extended_attrs" (a string of JSON text holding an object)
///    and "landscape_id" required, "pool_uuid", "compression" and
///    "compression_level" optional; a "compression_level" inside the
///    attributes overrides the level. "type" and "sid" are not read. On
///    failure it logs (error priority) "Failed to parse backint backup job
///    info, %s\n" with the reason, or "Failed to load extended attrs while
///    parsing backint backup info\n", and leaves the record unchanged.
class Backint_Backup_Job_Info {
 public:
  Backint_Backup_Job_Info() = default;

  std::uint64_t id = 0;                  ///< server row id; read only by parse
  std::uint64_t database_backup_id = 0;  ///< HANA's backup id (-s)
  std::string uuid;
  std::string host_uuid;
  std::string job_act_id;
  std::string type;  ///< level key ("complete", "log", ...)
  std::string location;
  std::string database;
  std::string compression;  ///< empty for none
  std::int32_t compression_level = 1;
  std::string sid;
  std::string pool_uuid;
  std::string landscape_id;
  json_value extended_attrs = json_value::object();  ///< "backup_time", "io_ctl", ...

  /// Back to the new state: numbers 0, level 1, strings and attributes empty.
  void clear();

  Backint_Backup_Job_Info& operator<<(const json_value& object);
  const Backint_Backup_Job_Info& operator>>(json_value& object) const;
  bool parse(const json_value& object);
};

}  // namespace sap_hana

#endif
