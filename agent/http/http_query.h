#ifndef AGENT_HTTP_QUERY_H
#define AGENT_HTTP_QUERY_H

#include <cstdint>
#include <string>

/// Percent-encodes `text` for a query component: every byte outside the
/// unreserved set (A-Z a-z 0-9 "-" "." "_" "~") becomes "%XX" (upper-case
/// hex); a blank becomes "%20".
std::string http_url_encode(const std::string& text);

/// Reverses http_url_encode ("+" is read as a blank). A malformed escape is
/// kept as it stands.
std::string http_url_decode(const std::string& text);

/// Builds a query string of name=value pairs joined by "&", in the order
/// they are added, each name and value percent-encoded:
///   HTTP_Query q; q.add("job_uuid", uuid).add("limit", 10);
///   q.str() == "job_uuid=...&limit=10"
class HTTP_Query {
 public:
  HTTP_Query() = default;
  /// Starts from an already encoded query string (no leading "?").
  explicit HTTP_Query(const std::string& encoded) : query_(encoded) {}

  HTTP_Query& add(const std::string& name, const std::string& value);
  HTTP_Query& add(const std::string& name, const char* value) { return add(name, std::string(value ? value : "")); }
  HTTP_Query& add(const std::string& name, std::uint64_t value);
  HTTP_Query& add(const std::string& name, std::int64_t value);
  HTTP_Query& add(const std::string& name, int value) { return add(name, static_cast<std::int64_t>(value)); }
  HTTP_Query& add(const std::string& name, unsigned value) { return add(name, static_cast<std::uint64_t>(value)); }

  const std::string& str() const { return query_; }
  bool empty() const { return query_.empty(); }

 private:
  std::string query_;
};

#endif
