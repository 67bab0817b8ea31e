#ifndef SAP_HANA_BACKINT_LOCAL_CONFIG_H
#define SAP_HANA_BACKINT_LOCAL_CONFIG_H

#include <cstddef>
#include <string>

#include "agent/json/json_access.h"
#include "agent/storage/client_io_base.h"
#include "backint/backint_catalog_lookup.h"
#include "backint/backint_protocol.h"

namespace sap_hana {

/// What the restore job wrote on this host for one restore: the restore
/// configuration file (restore_ext_conf_file of a SID and database).
struct Restore_Config {
  /// Pools in which data and log/catalog objects are looked up; both empty
  /// when the restore reads what the catalogs name.
  std::string pool_uuid;
  std::string log_pool_uuid;
  /// "io_ctl": "max_seconds_retry" (600), "resumption_buffer_size"
  /// (10485760) and the rate limits of the transfers.
  Client_IO_Base::Options io;
  /// "io_ctl": "max_streams", transfers at a time (1..32); 0 when not set.
  std::size_t max_streams = 0;
  /// "origin_sid": the other system whose backups this restore reads (the
  /// restore job names it only then); empty for a restore of its own.
  std::string origin_sid;
};

/// The host's own settings for hana-backint: "hana.conf" in the agent's
/// configuration directory, and the configuration files a restore job
/// leaves for the restore. Read anew on every call (a run reads each once
/// or twice). Problems with hana.conf are written to the protocol as
/// "#DEBUG" lines.
///
/// Borrows the protocol, which must outlive it. Not thread-safe.
class Backint_Local_Config {
 public:
  /// `path` of hana.conf; empty for the production one.
  explicit Backint_Local_Config(Backint_Protocol& protocol, std::string path = std::string());

  const std::string& path() const { return path_; }
  /// The whole file; false (with a debug line) when it is not a JSON object.
  bool get_local_config(json_value& object);
  /// "local_backup"."location"; false when missing or empty.
  bool get_local_backup_location(std::string& location);
  /// "certification"."restore_catalog_from_conf": whether backup catalogs
  /// are restored from the restore configuration file written by the
  /// restore job instead of from storage. True unless the file says false.
  bool restore_catalog_from_config();
  /// Whether hana.conf exists; a missing file is the usual case of an
  /// agent job and means the defaults, without a debug line.
  bool exists() const;

  /// Reads the restore configuration file of `sid` and `database`. It must
  /// be a JSON object; mistyped members are refused rather than silently
  /// replaced by defaults in the middle of a restore. False, logged at
  /// error level ("Failed to get extended config file name\n", "Failed to
  /// load extended config file\n" or "Failed to parse extended config
  /// file, <reason>\n"), when the file is missing or malformed.
  bool load_restore_config(const std::string& sid, const std::string& database, Restore_Config& config);
  /// "origin_sid" of that file, quietly empty when there is none.
  std::string restore_origin_sid(const std::string& sid, const std::string& database);

  /// Reads the catalog configuration file that the restore job wrote for
  /// the catalog backup of `file_sid`/`file_database` restored into
  /// `sid`/`database` into `info` ("location", "filename",
  /// "extern_backup_id", "source_type", "pool_uuid"; the storage path is the
  /// file name). False with a "#DEBUG" line when it is missing or malformed.
  bool load_catalog_config(const std::string& file_sid, const std::string& file_database, const std::string& sid,
                           const std::string& database, Backint_Catalog_Lookup::Catalog_Backup_File_Info& info);

  /// How one call moves its pipes: "backint"."max_streams" (transfers at a
  /// time) and "backint"."pipe_timeout" (seconds to wait for HANA to open a
  /// pipe). A member that is missing, mistyped (noted in a debug line) or
  /// out of range keeps the value given.
  void stream_settings(std::size_t& max_streams, std::size_t& pipe_timeout);
  /// Transfers at a time unless hana.conf or a job says otherwise.
  static constexpr std::size_t default_max_streams = 8;
  /// The largest number of transfers at a time (HANA's most channels).
  static constexpr std::size_t max_max_streams = 32;
  /// Seconds to wait for a pipe's other end unless hana.conf says otherwise.
  static constexpr std::size_t default_pipe_timeout = 180;
  /// The longest wait for a pipe's other end: a day.
  static constexpr std::size_t max_pipe_timeout = 86400;

 private:
  Backint_Protocol& protocol_;
  std::string path_;
};

}  // namespace sap_hana

#endif
