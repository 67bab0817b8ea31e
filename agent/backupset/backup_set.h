#ifndef AGENT_BACKUP_SET_H
#define AGENT_BACKUP_SET_H

#include <cstdint>
#include <string>
#include <vector>

#include "agent/backupset/backup_set_storage.h"
#include "agent/json/json_access.h"

/// One backup set: the record a backup job commits to backupd's set catalog
/// (Catalog_Operator::commit) for every item it backed up, and that later
/// reads of the catalog give back. A value type; not thread-safe.
///
/// Times are seconds since the epoch (UTC); 0 means unknown. The JSON form
/// writes them as ISO 8601 text ("2026-12-09T02:49:40Z"), which is what the
/// server answers too, so a set read back from the server parses again.
///
/// JSON form (to_json), members in this order:
///   "uuid", "module" (module(): "" for a generic set), "name",
///   "definition_id", "job_act_id", "definition_uid", "host_id",
///   "resource_uuid", "minor_resource_id", "sub_resource", "agent",
///   "incarnation", "lifeline", "type", "start_time", "end_time",
///   "creation_time", "completion_time" (ISO 8601 text, "" when 0),
///   "source_size", "storage_size" (unsigned), "expiry_time",
///   "retention_count" (signed),
///   "pieces": [{"path", "size"}...],
///   "storages": [{"pool_uuid", "storage_size"}...].
/// A subclass appends its own members after these.
class Backup_Set {
 public:
  /// One stored object of the set: its storage path and source size.
  struct Piece {
    std::string path;
    std::uint64_t size = 0;
  };

  Backup_Set() = default;
  virtual ~Backup_Set() = default;
  Backup_Set(const Backup_Set&) = default;
  Backup_Set& operator=(const Backup_Set&) = default;

  std::string uuid;               ///< the set's own UUID (lower case, 36 characters)
  std::string name;               ///< the job definition's name
  std::string definition_id;      ///< the job definition's id
  std::string job_act_id;         ///< the run (job activity) that made the set
  std::string definition_uid;     ///< the job definition's uid
  std::string host_id;            ///< the host that ran the job
  std::string resource_uuid;      ///< the backed-up resource
  std::string minor_resource_id;  ///< compute_minor_resource_id(resource_uuid, sub_resource)
  std::string sub_resource;       ///< the item of the resource the set covers (a database)
  std::string agent;              ///< the job definition's agent ("hana")
  std::string incarnation;        ///< chain of sets that build on one full backup
  std::string lifeline;           ///< chain of sets that a point-in-time restore may draw from
  std::string type;               ///< level: "full", "incremental", "differential", "log", "catalog"
  std::int64_t start_time = 0;
  std::int64_t end_time = 0;
  std::int64_t creation_time = 0;
  std::int64_t completion_time = 0;
  std::uint64_t source_size = 0;
  std::uint64_t storage_size = 0;
  /// When the server may drop the set; -1 leaves it to the server's retention.
  std::int64_t expiry_time = -1;
  /// How many sets of this chain the server keeps; -1 leaves it to the server.
  std::int64_t retention_count = -1;
  std::vector<Piece> pieces;
  std::vector<Backup_Set_Storage> storages;

  void add_piece(const std::string& path, std::uint64_t size);
  void add_storage(const Backup_Set_Storage& storage);

  /// The catalog module that owns the set's view ("" for a generic set).
  virtual std::string module() const;

  virtual json_value to_json() const;

  /// Reads the JSON form above (the committed form, or a set as the server
  /// answers it: unknown members are ignored). "uuid" is required; every
  /// other member is optional and leaves its field as it was when missing.
  /// A member of the wrong kind, or a time that is not ISO 8601, gives false
  /// with `error` naming the member; the set is then unchanged.
  virtual bool from_json(const json_value& object, std::string& error);

 protected:
  /// The generic members, for subclasses that extend the form. Raises
  /// Json_Member_Error on a member of the wrong kind.
  void write_json(json_value& object) const;
  void read_json(const json_value& object);
};

#endif
