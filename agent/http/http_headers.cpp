#include "agent/http/http_headers.h"

#include <strings.h>

const char* http_head_string(HTTP_Head head) {
  switch (head) {
    case HTTP_HEAD_X_ACCESS_KEY:
      return "X-Access-Key";
    case HTTP_HEAD_CONTENT_TYPE:
      return "Content-Type";
    case HTTP_HEAD_ACCEPT:
      return "Accept";
    case HTTP_HEAD_USER_AGENT:
      return "User-Agent";
  }
  return "";
}

namespace {

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A CR or LF in a name or value would let it start a header line of its own.
template <typename S>
bool has_line_break(const S& s) {
  return s.find('\r') != S::npos || s.find('\n') != S::npos;
}

}  // namespace

bool HTTP_Headers::put(const std::string& name, const secure_string& value, bool replace) {
  if (name.empty() || has_line_break(name) || name.find(':') != std::string::npos || has_line_break(value))
    return false;
  if (replace) {
    for (auto& f : fields_) {
      if (same_name(f.first, name)) {
        f.second = value;
        return true;
      }
    }
  }
  fields_.emplace_back(name, value);
  return true;
}

bool HTTP_Headers::put(const std::string& name, const std::string& value, bool replace) {
  return put(name, secure_string(value.data(), value.size()), replace);
}

bool HTTP_Headers::put(HTTP_Head head, const secure_string& value, bool replace) {
  return put(std::string(http_head_string(head)), value, replace);
}

bool HTTP_Headers::put(HTTP_Head head, const std::string& value, bool replace) {
  return put(std::string(http_head_string(head)), value, replace);
}

bool HTTP_Headers::put(HTTP_Head head, const char* value, bool replace) {
  return put(std::string(http_head_string(head)), std::string(value ? value : ""), replace);
}

bool HTTP_Headers::get(const std::string& name, secure_string& value) const {
  for (const auto& f : fields_) {
    if (same_name(f.first, name)) {
      value = f.second;
      return true;
    }
  }
  return false;
}

bool HTTP_Headers::has(const std::string& name) const {
  for (const auto& f : fields_)
    if (same_name(f.first, name)) return true;
  return false;
}

std::size_t HTTP_Headers::remove(const std::string& name) {
  std::size_t before = fields_.size();
  for (auto it = fields_.begin(); it != fields_.end();) {
    if (same_name(it->first, name))
      it = fields_.erase(it);
    else
      ++it;
  }
  return before - fields_.size();
}
