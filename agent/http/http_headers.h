#ifndef AGENT_HTTP_HEADERS_H
#define AGENT_HTTP_HEADERS_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "agent/base/secure_string.h"

/// Header names the agent puts on its requests to backupd.
enum HTTP_Head {
  HTTP_HEAD_X_ACCESS_KEY,  ///< "X-Access-Key": the host's access key
  HTTP_HEAD_CONTENT_TYPE,  ///< "Content-Type"
  HTTP_HEAD_ACCEPT,        ///< "Accept"
  HTTP_HEAD_USER_AGENT     ///< "User-Agent"
};

/// The wire name of `head` ("X-Access-Key" for HTTP_HEAD_X_ACCESS_KEY).
const char* http_head_string(HTTP_Head head);

/// An ordered list of HTTP header fields. Names compare case-insensitively;
/// values are held in secure_string because one of them is the access key
/// (the storage is wiped when released). Values are never logged by this
/// layer. Not thread-safe: fill it before the session or request is shared.
class HTTP_Headers {
 public:
  using Field = std::pair<std::string, secure_string>;

  /// Sets the field `name`. With `replace` an existing field of that name is
  /// overwritten (kept at its place); without it a further field of the same
  /// name is appended. A value with CR or LF is refused (false), so a value
  /// can never inject another header line.
  bool put(const std::string& name, const secure_string& value, bool replace = true);
  bool put(const std::string& name, const std::string& value, bool replace = true);
  bool put(HTTP_Head head, const secure_string& value, bool replace = true);
  bool put(HTTP_Head head, const std::string& value, bool replace = true);
  bool put(HTTP_Head head, const char* value, bool replace = true);

  /// The first field named `name`; false when there is none.
  bool get(const std::string& name, secure_string& value) const;
  bool has(const std::string& name) const;
  /// Removes every field named `name`; the number removed.
  std::size_t remove(const std::string& name);
  void clear() { fields_.clear(); }

  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  std::size_t size() const { return fields_.size(); }

 private:
  std::vector<Field> fields_;
};

#endif
