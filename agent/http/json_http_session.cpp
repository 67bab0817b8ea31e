#include "agent/http/json_http_session.h"

bool JSON_HTTP_Session::exchange(HTTP_Method method, const HTTP_Request& request, const json_value* body,
                                 CGI_Response& response, json_value& result) {
  response.clear();
  result = json_value();
  if (!session_) {
    response.error("no session");
    return false;
  }
  HTTP_Request req = request;
  req.method(method);
  if (body) req.body(body->dump(), "application/json");
  if (!req.headers().has("Accept") && !session_->headers().has("Accept"))
    req.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);
  if (!session_->send(req, response)) return false;
  const std::string& text = response.body();
  if (!text.empty()) {
    json_value parsed = json_value::parse(text, nullptr, false);
    if (!parsed.is_discarded()) {
      result = std::move(parsed);
      response.json_body(true);
    }
  }
  return true;
}

bool JSON_HTTP_Session::get(const HTTP_Request& request, CGI_Response& response, json_value& result) {
  return exchange(HTTP_GET, request, nullptr, response, result);
}

bool JSON_HTTP_Session::post(const HTTP_Request& request, const json_value& body, CGI_Response& response,
                             json_value& result) {
  return exchange(HTTP_POST, request, &body, response, result);
}

bool JSON_HTTP_Session::put(const HTTP_Request& request, const json_value& body, CGI_Response& response,
                            json_value& result) {
  return exchange(HTTP_PUT, request, &body, response, result);
}

bool JSON_HTTP_Session::delete_(const HTTP_Request& request, CGI_Response& response, json_value& result) {
  return exchange(HTTP_DELETE, request, nullptr, response, result);
}
