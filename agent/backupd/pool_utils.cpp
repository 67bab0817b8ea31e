#include "agent/backupd/pool_utils.h"

#include <ace/Log_Msg.h>

#include "agent/http/http_session_factory.h"
#include "agent/http/json_restful_client.h"
#include "agent/http/retrying_json_session.h"

const std::string& zero_uuid() {
  static const std::string zero = "00000000-0000-0000-0000-000000000000";
  return zero;
}

bool is_zero_uuid(const std::string& text) {
  std::size_t zeros = 0;
  for (char c : text) {
    if (c == '0') {
      ++zeros;
    } else if (c != '-') {
      return false;
    }
  }
  return zeros == 32 && (text.size() == 32 || text.size() == 36);
}

int get_pool_info(JSON_RESTful_Client& client, const std::string& pool_uuid, const std::string* /*second_id*/,
                  Pool_Info& info, bool to_restore, const void* /*context*/, std::size_t timeout, int /*retries*/,
                  bool /*flag*/, const void* /*extra1*/, const void* /*extra2*/, bool /*last*/) {
  Pool_Lookup_Options options;
  options.to_restore = to_restore;
  options.timeout = timeout;
  return get_pool_info(client, pool_uuid, info, options);
}

int get_pool_info(JSON_RESTful_Client& client, const std::string& pool_uuid, Pool_Info& info,
                  const Pool_Lookup_Options& /*options*/) {
  if (pool_uuid.empty() || is_zero_uuid(pool_uuid)) return 0;
  if (!client) {
    ACE_ERROR((LM_ERROR, "Failed to get pool %s info: no session to backupd\n", pool_uuid.c_str()));
    return 0;
  }
  const std::string path = "/d2/r/v2/pools/" + pool_uuid;
  Retry_Policy policy;
  policy.file = __FILE__;
  policy.line = __LINE__;
  Retrying_JSON_Session session(client.session(), policy);
  int status = 0;
  json_value answer;
  session.exchange(HTTP_GET, path, nullptr, status, answer);
  if (status == 200) {
    std::string why;
    if (info.from_json(answer, why)) return 1;
    ACE_ERROR((LM_ERROR, "Failed to parse pool %s info, %s\n", pool_uuid.c_str(), why.c_str()));
    return 0;
  }
  if (status == 404) {
    ACE_ERROR((LM_ERROR, "Pool %s does not exist\n", pool_uuid.c_str()));
    return 0;
  }
  ACE_ERROR((LM_ERROR, "Failed to get pool %s info, status = %d\n", pool_uuid.c_str(), status));
  return 0;
}

int get_pool_info(const std::string& pool_uuid, const std::string* /*second_id*/, Pool_Info& info, bool to_restore,
                  std::size_t timeout, const void* /*context*/, bool /*flag*/, const void* /*extra1*/,
                  const void* /*extra2*/, bool /*last*/) {
  Pool_Lookup_Options options;
  options.to_restore = to_restore;
  options.timeout = timeout;
  return get_pool_info(pool_uuid, info, options);
}

int get_pool_info(const std::string& pool_uuid, Pool_Info& info, const Pool_Lookup_Options& options) {
  if (pool_uuid.empty() || is_zero_uuid(pool_uuid)) return 0;
  HTTP_Session_Ptr session = Common_HTTP_Session_Factory::create(HTTP_SESSION_TYPE_JSON, nullptr, 0);
  if (!session) {
    ACE_ERROR((LM_ERROR, "Failed to get pool %s info: no session to backupd\n", pool_uuid.c_str()));
    return 0;
  }
  JSON_RESTful_Client client(session);
  return get_pool_info(client, pool_uuid, info, options);
}

int set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& info) {
  if (info.compression < COMPR_NONE || info.compression >= COMPR_MAX) return 0;
  options.compression_method = info.compression;
  options.compression_level = info.compression_level;
  options.server_side_dedup = info.server_side_dedup;
  if (!info.uuid.empty()) options.set_extra_option("pool_uuid", secure_string(info.uuid.c_str()));
  return 1;
}
