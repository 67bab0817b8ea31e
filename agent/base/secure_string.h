#ifndef AGENT_SECURE_STRING_H
#define AGENT_SECURE_STRING_H

#include <string>
#include <string.h>

#include "agent/base/secure_allocator.h"

/// A string for passwords and keys. Heap storage is wiped by the allocator
/// when released; the destructor also wipes the inline (small-string) buffer.
class secure_string : public std::basic_string<char, std::char_traits<char>, secure_allocator<char>> {
 public:
  using base = std::basic_string<char, std::char_traits<char>, secure_allocator<char>>;
  using base::base;
  secure_string() = default;
  secure_string(const base& other) : base(other) {}
  secure_string(base&& other) : base(std::move(other)) {}
  secure_string(const secure_string&) = default;
  secure_string(secure_string&&) = default;
  secure_string& operator=(const secure_string&) = default;
  secure_string& operator=(secure_string&&) = default;
  ~secure_string() { wipe(); }

  /// Overwrites the whole buffer with zeros and empties the string.
  void wipe() {
    explicit_bzero(&(*this)[0], capacity());
    clear();
  }
};

#endif
