#include "agent/http/json_restful_client.h"

bool JSON_RESTful_Client::call(HTTP_Method method, const std::string& path, const json_value* body, int& status,
                               json_value& result) {
  HTTP_Request req(method, path, false);
  auto q = path.find('?');
  if (q != std::string::npos) {
    req.uri(path.substr(0, q));
    req.query_string(path.substr(q + 1));
  }
  CGI_Response response;
  bool ok = false;
  switch (method) {
    case HTTP_POST:
      ok = session_.post(req, *body, response, result);
      break;
    case HTTP_PUT:
      ok = session_.put(req, *body, response, result);
      break;
    case HTTP_DELETE:
      ok = session_.delete_(req, response, result);
      break;
    default:
      ok = session_.get(req, response, result);
      break;
  }
  status = response.status();
  return ok;
}

bool JSON_RESTful_Client::get(const std::string& path, int& status, json_value& result) {
  return call(HTTP_GET, path, nullptr, status, result);
}

bool JSON_RESTful_Client::post(const std::string& path, const json_value& body, int& status, json_value& result) {
  return call(HTTP_POST, path, &body, status, result);
}

bool JSON_RESTful_Client::put(const std::string& path, const json_value& body, int& status, json_value& result) {
  return call(HTTP_PUT, path, &body, status, result);
}

bool JSON_RESTful_Client::delete_(const std::string& path, int& status, json_value& result) {
  return call(HTTP_DELETE, path, nullptr, status, result);
}
