#include "agent/http/http_request.h"

const char* http_method_string(HTTP_Method method) {
  switch (method) {
    case HTTP_GET:
      return "GET";
    case HTTP_POST:
      return "POST";
    case HTTP_PUT:
      return "PUT";
    case HTTP_DELETE:
      return "DELETE";
    case HTTP_HEAD_METHOD:
      return "HEAD";
  }
  return "GET";
}

HTTP_Request& HTTP_Request::add_query(const std::string& name, const std::string& value) {
  HTTP_Query q(query_);
  q.add(name, value);
  query_ = q.str();
  return *this;
}

HTTP_Request& HTTP_Request::add_query(const std::string& name, std::uint64_t value) {
  return add_query(name, std::to_string(value));
}

std::string HTTP_Request::target() const {
  std::string t = uri_.empty() ? std::string("/") : uri_;
  if (query_.empty()) return t;
  auto q = t.find('?');
  if (q == std::string::npos)
    t += '?';
  else if (q + 1 != t.size() && t.back() != '&')
    t += '&';
  return t + query_;
}
