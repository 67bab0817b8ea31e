#include "agent/jsonrpc/json_rpc_object.h"

namespace {

bool valid_id(const json_value& id) { return id.is_string() || id.is_number_integer() || id.is_null(); }

}  // namespace

std::shared_ptr<JSON_RPC_Object> JSON_RPC_Object::parse(const json_value& value) {
  if (!value.is_object()) return nullptr;
  auto version = value.find("jsonrpc");
  if (version == value.end() || !version->is_string() || version->get_ref<const std::string&>() != "2.0")
    return nullptr;
  auto object = std::make_shared<JSON_RPC_Object>();
  auto method = value.find("method");
  auto id = value.find("id");
  if (method != value.end()) {
    if (!method->is_string()) return nullptr;
    auto params = value.find("params");
    if (params != value.end()) {
      if (!params->is_object() && !params->is_array()) return nullptr;
      object->params_ = *params;
    }
    object->method_ = method->get<std::string>();
    if (id == value.end()) {
      object->type_ = TYPE_NOTIFY;
    } else {
      if (!valid_id(*id)) return nullptr;
      object->type_ = TYPE_REQUEST;
      object->id_ = *id;
    }
    return object;
  }
  if (id == value.end() || !valid_id(*id)) return nullptr;
  object->id_ = *id;
  auto result = value.find("result");
  auto error = value.find("error");
  if (result != value.end() && error == value.end()) {
    object->type_ = TYPE_RESPONSE;
    object->result_ = *result;
    return object;
  }
  if (error == value.end() || result != value.end() || !error->is_object()) return nullptr;
  auto code = error->find("code");
  auto message = error->find("message");
  if (code == error->end() || !code->is_number_integer() || message == error->end() || !message->is_string())
    return nullptr;
  auto c = code->get<std::int64_t>();
  if (c < std::numeric_limits<int>::min() || c > std::numeric_limits<int>::max()) return nullptr;
  object->type_ = TYPE_ERROR;
  object->error_code_ = static_cast<int>(c);
  object->error_message_ = message->get<std::string>();
  auto data = error->find("data");
  if (data != error->end()) object->error_data_ = *data;
  return object;
}

std::shared_ptr<JSON_RPC_Object> JSON_RPC_Object::request(const std::string& method, const json_value& params,
                                                          const json_value& id) {
  auto object = std::make_shared<JSON_RPC_Object>();
  object->type_ = TYPE_REQUEST;
  object->method_ = method;
  object->params_ = params;
  object->id_ = id;
  return object;
}

std::shared_ptr<JSON_RPC_Object> JSON_RPC_Object::notify(const std::string& method, const json_value& params) {
  auto object = std::make_shared<JSON_RPC_Object>();
  object->type_ = TYPE_NOTIFY;
  object->method_ = method;
  object->params_ = params;
  return object;
}

std::shared_ptr<JSON_RPC_Object> JSON_RPC_Object::error(int code, const json_value& id, const std::string& message,
                                                        const json_value& data) {
  auto object = std::make_shared<JSON_RPC_Object>();
  object->type_ = TYPE_ERROR;
  object->id_ = id;
  object->error_code_ = code;
  object->error_message_ = message;
  object->error_data_ = data;
  return object;
}

json_value JSON_RPC_Object::to_json() const {
  if (type_ == TYPE_NONE) return json_value();
  json_value out = json_value::object();
  out["jsonrpc"] = "2.0";
  switch (type_) {
    case TYPE_REQUEST:
    case TYPE_NOTIFY:
      out["method"] = method_;
      if (!params_.is_null()) out["params"] = params_;
      if (type_ == TYPE_REQUEST) out["id"] = id_;
      break;
    case TYPE_RESPONSE:
      out["result"] = result_;
      out["id"] = id_;
      break;
    case TYPE_ERROR: {
      json_value error = json_value::object();
      error["code"] = error_code_;
      error["message"] = error_message_;
      if (!error_data_.is_null()) error["data"] = error_data_;
      out["error"] = std::move(error);
      out["id"] = id_;
      break;
    }
    case TYPE_NONE:
      break;
  }
  return out;
}
