#ifndef SAP_HANA_BACKINT_POOL_CACHE_H
#define SAP_HANA_BACKINT_POOL_CACHE_H

#include <cstddef>
#include <map>
#include <string>

#include "agent/backupd/pool_info.h"
#include "agent/base/lookup_status.h"
#include "agent/storage/client_io_base.h"
#include "backint/backint_info.h"
#include "backint/backint_protocol.h"

namespace sap_hana {

/// The storage side of a hana-backint run: pool descriptions from backupd,
/// kept for the run, the storage options every connection carries, and
/// whether a catalogued object is still stored.
///
/// Borrows the command line (backupd's address and the access key) and the
/// protocol; both must outlive it. Not thread-safe.
class Backint_Pool_Cache {
 public:
  Backint_Pool_Cache(const Backint_Info& info, Backint_Protocol& protocol) : info_(info), protocol_(protocol) {}

  /// The pool's description, from the cache or from backupd (on a session
  /// of its own; get_pool_info). False at once for an empty or all-zero
  /// pool UUID; false with "#DEBUG Failed to get pool %s info" when backupd
  /// does not give it.
  bool get_pool_info(const std::string& pool_uuid, Pool_Info& info, bool to_restore, std::size_t timeout);
  /// Puts the access key on the storage options.
  void set_options_by_conf(Client_IO_Base::Options& options) const;
  /// Whether `storage_path` is stored at `location`: found, not found, or
  /// failed when the location cannot be connected to or read there.
  Lookup_Status backup_file_exist(const std::string& location, const std::string& storage_path) const;

 private:
  const Backint_Info& info_;
  Backint_Protocol& protocol_;
  std::map<std::string, Pool_Info> pools_;
};

}  // namespace sap_hana

#endif
