#ifndef AGENT_POOL_UTILS_H
#define AGENT_POOL_UTILS_H

#include <cstddef>
#include <string>

#include "agent/storage/client_io_base.h"
#include "agent/backupd/pool_info.h"

class JSON_RESTful_Client;

/// The all-zero UUID, "00000000-0000-0000-0000-000000000000": the id of
/// "no pool", "no host" and "any resource" in requests to backupd.
const std::string& zero_uuid();

/// True when `text` is a UUID whose 32 hexadecimal digits are all zero,
/// with or without the "-" separators. An empty text is not a zero UUID.
bool is_zero_uuid(const std::string& text);

/// What a pool lookup is for. Neither changes the request: the lookup is
/// the same for backups and restores, and its retries are fixed.
struct Pool_Lookup_Options {
  bool to_restore = false;
  std::size_t timeout = 0;  ///< seconds the caller allows its transfers
};

/// Looks pool `pool_uuid` up on backupd through `client` (which carries the
/// access key on its session): GET "/d2/r/v2/pools/<pool_uuid>". Returns 1
/// with `info` filled on status 200 with a valid pool object; 0 when the
/// pool is unknown (404), the answer is malformed, or the request kept
/// failing (logged with the reason). Through Retrying_JSON_Session with its
/// default policy: transport failures and 5xx answers are retried up to 3
/// times, each retry announced by "Retry(%d) <file>:<line> at %u second(s)
/// later.\n" at information priority; a 4xx answer is final.
///
/// An empty or all-zero `pool_uuid` gives 0 at once; so does a client
/// without a usable session ("Failed to get pool %s info: no session to
/// backupd\n"). `second_id`,
/// `to_restore`, `context`, `timeout`, `retries`, `flag`, `extra1`,
/// `extra2` and `last` are accepted for the callers' sake and ignored: the
/// lookup is the same for backups and restores, and its retries are fixed.
int get_pool_info(JSON_RESTful_Client& client, const std::string& pool_uuid, const std::string* second_id,
                  Pool_Info& info, bool to_restore, const void* context, std::size_t timeout, int retries, bool flag,
                  const void* extra1, const void* extra2, bool last);

/// The same with the options of our own callers.
int get_pool_info(JSON_RESTful_Client& client, const std::string& pool_uuid, Pool_Info& info,
                  const Pool_Lookup_Options& options = Pool_Lookup_Options());

/// The same through a session of its own to the agent's backupd
/// (Common_HTTP_Session_Factory: address and access key from the agent's
/// configuration). 0 also when no session can be made.
int get_pool_info(const std::string& pool_uuid, const std::string* second_id, Pool_Info& info, bool to_restore,
                  std::size_t timeout, const void* context, bool flag, const void* extra1, const void* extra2,
                  bool last);

/// The same with the options of our own callers.
int get_pool_info(const std::string& pool_uuid, Pool_Info& info,
                  const Pool_Lookup_Options& options = Pool_Lookup_Options());

/// Applies the pool's defaults to storage options: compression method and
/// level, server-side deduplication, and the pool's UUID as the extra
/// option "pool_uuid". Returns 1; 0 (options unchanged) when the pool's
/// compression is not a method objects can be stored with.
int set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& info);

#endif
