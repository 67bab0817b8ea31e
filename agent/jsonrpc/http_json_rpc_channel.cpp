#include "agent/jsonrpc/http_json_rpc_channel.h"

#include <ace/Log_Msg.h>

#include "agent/http/json_http_session.h"

HTTP_JSON_RPC_Channel::HTTP_JSON_RPC_Channel(const HTTP_Session::Options& options, const std::string& path,
                                             const secure_string& access_key, int default_timeout_seconds)
    : options_(options), path_(path), access_key_(access_key), default_timeout_(default_timeout_seconds) {}

int HTTP_JSON_RPC_Channel::send(const JSON_RPC_Object& object) { return send(object, default_timeout_); }

int HTTP_JSON_RPC_Channel::send(const JSON_RPC_Object& object, int timeout_seconds) {
  HTTP_Session::Options options = options_;
  long limit = timeout_seconds < 1 ? 1 : timeout_seconds;
  options.connect_timeout = limit;
  options.transfer_timeout = limit;
  options.low_speed_time = limit;
  auto session = std::make_shared<HTTP_Session>(options);
  if (!session->ok()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC channel to %C:%d: no HTTP session\n"), options.host.c_str(),
               static_cast<int>(options.port)));
    return -1;
  }
  if (!access_key_.empty()) session->headers().put(HTTP_HEAD_X_ACCESS_KEY, access_key_, true);
  JSON_HTTP_Session json(session, 0, 0);
  HTTP_Request request(HTTP_POST, path_, false);
  CGI_Response response;
  json_value body;
  if (!json.post(request, object.to_json(), response, body)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC %C to %C:%d failed: %C\n"), object.method().c_str(), options.host.c_str(),
               static_cast<int>(options.port), response.error().c_str()));
    return -1;
  }
  bool is_request = object.type() == JSON_RPC_Object::TYPE_REQUEST;
  // A notification has no answer; the endpoint may say so with 204.
  if (response.status() != 200 && (is_request || response.status() != 204)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC %C to %C:%d: HTTP status %d\n"), object.method().c_str(),
               options.host.c_str(), static_cast<int>(options.port), response.status()));
    return -1;
  }
  if (!is_request) return 0;
  auto answer = JSON_RPC_Object::parse(body);
  if (!answer || (answer->type() != JSON_RPC_Object::TYPE_RESPONSE && answer->type() != JSON_RPC_Object::TYPE_ERROR)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC %C to %C:%d: the answer is not a JSON-RPC response\n"),
               object.method().c_str(), options.host.c_str(), static_cast<int>(options.port)));
    return -1;
  }
  deliver(answer);
  return 0;
}
