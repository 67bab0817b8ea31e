#include "backint/backint_pool_cache.h"

#include "agent/backupd/pool_utils.h"
#include "agent/http/http_headers.h"
#include "agent/http/http_session_factory.h"
#include "agent/http/json_restful_client.h"
#include "agent/storage/client_io_ex.h"

namespace sap_hana {

void Backint_Pool_Cache::set_options_by_conf(Client_IO_Base::Options& options) const {
  if (!info_.backupd_access_key.empty())
    options.set_extra_option(http_head_string(HTTP_HEAD_X_ACCESS_KEY), info_.backupd_access_key);
}

Lookup_Status Backint_Pool_Cache::backup_file_exist(const std::string& location,
                                                    const std::string& storage_path) const {
  Client_IO_Ex io;
  Client_IO_Base::Options options;
  set_options_by_conf(options);
  if (!io.connect(location, options)) return Lookup_Status::failed(io.error());
  std::uint64_t size = 0;
  return io.size(storage_path, size);
}

bool Backint_Pool_Cache::get_pool_info(const std::string& pool_uuid, Pool_Info& info, bool to_restore,
                                       std::size_t timeout) {
  if (pool_uuid.empty() || is_zero_uuid(pool_uuid)) return false;
  auto cached = pools_.find(pool_uuid);
  if (cached != pools_.end()) {
    info = cached->second;
    return true;
  }
  HTTP_Session_Settings settings;
  settings.host = info_.backupd_host;
  settings.port = info_.backupd_port;
  settings.ssl = info_.backupd_ssl;
  HTTP_Session_Ptr session = HTTP_Session_Factory::create(settings);
  if (session) {
    JSON_HTTP_Session json_session(session, 5, 300);
    if (!info_.backupd_access_key.empty())
      json_session.headers().put(HTTP_HEAD_X_ACCESS_KEY, info_.backupd_access_key, true);
    JSON_RESTful_Client client(json_session);
    Pool_Lookup_Options options;
    options.to_restore = to_restore;
    options.timeout = timeout;
    if (::get_pool_info(client, pool_uuid, info, options) == 1) {
      pools_[pool_uuid] = info;
      return true;
    }
  }
  protocol_.write_debug("Failed to get pool %s info\n", pool_uuid.c_str());
  return false;
}

}  // namespace sap_hana
