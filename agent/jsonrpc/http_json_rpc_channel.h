#ifndef AGENT_HTTP_JSON_RPC_CHANNEL_H
#define AGENT_HTTP_JSON_RPC_CHANNEL_H

#include <string>

#include "agent/base/secure_string.h"
#include "agent/http/http_session.h"
#include "agent/jsonrpc/json_rpc_channel.h"

/// A channel to a JSON-RPC endpoint over HTTP(S): every message is one POST
/// of its JSON text to `path` with the access key in "X-Access-Key"; the
/// body of the HTTP answer (a response or error object) is handed to
/// deliver() before send() returns. A notification needs no answer body.
///
/// Each send opens its own HTTP session, so concurrent requests never queue
/// behind a slow one, and send(object, timeout) bounds the whole exchange.
/// send(object) uses the default limit given at construction. Thread-safe.
class HTTP_JSON_RPC_Channel : public JSON_RPC_Channel {
 public:
  /// `options` names host, port, TLS and CA file (its time-outs are
  /// replaced per send); `path` is the endpoint ("/jsonrpc").
  HTTP_JSON_RPC_Channel(const HTTP_Session::Options& options, const std::string& path, const secure_string& access_key,
                        int default_timeout_seconds = 120);

  int send(const JSON_RPC_Object& object) override;
  int send(const JSON_RPC_Object& object, int timeout_seconds) override;

 private:
  HTTP_Session::Options options_;
  std::string path_;
  secure_string access_key_;
  int default_timeout_;
};

#endif
