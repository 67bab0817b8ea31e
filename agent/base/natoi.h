#ifndef AGENT_NATOI_H
#define AGENT_NATOI_H

#include <cerrno>
#include <limits>
#include <type_traits>

/// Reads the leading decimal digits of `text` into an integer of type T.
/// An optional "+" may come first; signed types also take "-". Reading stops
/// at the first non-digit. errno is set to 0 on success, to EINVAL (result 0)
/// when there are no digits or a "-" is given for an unsigned type, and to
/// ERANGE when the value does not fit (result: the type's maximum, or its
/// minimum for a negative overflow). `end`, when given, receives the position
/// after the last character read.
template <typename T>
T natoi(const char* text, const char** end = nullptr) {
  static_assert(std::is_integral<T>::value, "natoi reads integers");
  const char* p = text;
  errno = 0;
  if (end) *end = text;
  if (p == nullptr) {
    errno = EINVAL;
    return 0;
  }
  bool negative = false;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    if (!std::is_signed<T>::value) {
      errno = EINVAL;
      return 0;
    }
    negative = true;
    ++p;
  }
  if (*p < '0' || *p > '9') {
    errno = EINVAL;
    return 0;
  }
  using U = typename std::make_unsigned<T>::type;
  const U limit = negative ? static_cast<U>(static_cast<U>(std::numeric_limits<T>::max()) + 1U)
                           : static_cast<U>(std::numeric_limits<T>::max());
  U value = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (overflow) continue;
    U digit = static_cast<U>(*p - '0');
    if (value > (limit - digit) / 10U) {
      overflow = true;
    } else {
      value = static_cast<U>(value * 10U + digit);
    }
  }
  if (end) *end = p;
  if (overflow) {
    errno = ERANGE;
    return negative ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  }
  if (negative) {
    if (value == limit) return std::numeric_limits<T>::min();
    return static_cast<T>(-static_cast<T>(value));
  }
  return static_cast<T>(value);
}

#endif
