#ifndef AGENT_JSON_RPC_OBJECT_H
#define AGENT_JSON_RPC_OBJECT_H

#include <memory>
#include <string>

#include "agent/json/json_access.h"

/// One JSON-RPC 2.0 message: a request (method, params, id), a notification
/// (method, params, no id), a response (id, result) or an error (id, code,
/// message, data). Plain value; not thread-safe (one thread builds it, then
/// it is handed on).
///
/// Standard error codes used by the agent: -32700 parse error, -32600
/// invalid request, -32601 method not found, -32602 invalid params, -32603
/// internal error; -32000 to -32099 are left to services.
class JSON_RPC_Object {
 public:
  enum Type { TYPE_NONE, TYPE_REQUEST, TYPE_NOTIFY, TYPE_RESPONSE, TYPE_ERROR };

  enum {
    E_PARSE_ERROR = -32700,
    E_INVALID_REQUEST = -32600,
    E_METHOD_NOT_FOUND = -32601,
    E_INVALID_PARAMS = -32602,
    E_INTERNAL_ERROR = -32603
  };

  JSON_RPC_Object() = default;
  virtual ~JSON_RPC_Object() = default;

  /// Reads one message. Null when `value` is not a JSON-RPC 2.0 object:
  /// "jsonrpc" must be "2.0"; a request has a string "method" and an "id"
  /// (string, integer or null), a notification a "method" and no "id";
  /// "params", when present, must be an object or an array; a response has
  /// "result" and "id"; an error has "error" with an integer "code" and a
  /// string "message" (its "data" is optional) and "id". Never throws.
  static std::shared_ptr<JSON_RPC_Object> parse(const json_value& value);

  /// Factories. `params` null means "no params" (the member is left out).
  static std::shared_ptr<JSON_RPC_Object> request(const std::string& method, const json_value& params,
                                                  const json_value& id);
  static std::shared_ptr<JSON_RPC_Object> notify(const std::string& method, const json_value& params);
  /// `data` null leaves "data" out.
  static std::shared_ptr<JSON_RPC_Object> error(int code, const json_value& id, const std::string& message,
                                                const json_value& data = json_value());

  Type type() const { return type_; }
  const std::string& method() const { return method_; }
  const json_value& id() const { return id_; }
  /// The params of a request or notification; null when absent.
  const json_value& params() const { return params_; }
  /// The result of a response (null for other types until set).
  json_value& result() { return result_; }
  const json_value& result() const { return result_; }
  int error_code() const { return error_code_; }
  const std::string& error_message() const { return error_message_; }
  const json_value& error_data() const { return error_data_; }

  /// The wire form, members in the order "jsonrpc", "method", "params",
  /// "result", "error", "id". TYPE_NONE gives null.
  json_value to_json() const;

 protected:
  Type type_ = TYPE_NONE;
  std::string method_;
  json_value id_;
  json_value params_;
  json_value result_;
  int error_code_ = 0;
  std::string error_message_;
  json_value error_data_;
};

using JSON_RPC_Object_Ptr = std::shared_ptr<JSON_RPC_Object>;

#endif
