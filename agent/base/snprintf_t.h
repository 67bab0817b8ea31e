#ifndef AGENT_SNPRINTF_T_H
#define AGENT_SNPRINTF_T_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>

/// printf-style formatting into an inline buffer of N bytes. A text that does
/// not fit moves to a heap buffer of exactly the needed size, so nothing is
/// ever cut. The result is always NUL-terminated.
template <std::size_t N>
class snprintf_t {
 public:
  snprintf_t(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, format);
    vformat(format, ap);
    va_end(ap);
  }
  snprintf_t(const snprintf_t&) = delete;
  snprintf_t& operator=(const snprintf_t&) = delete;

  const char* c_str() const { return heap_ ? heap_.get() : inline_; }
  operator const char*() const { return c_str(); }
  /// Length of the text without the terminating NUL; 0 when formatting failed.
  std::size_t length() const { return length_; }

 private:
  void vformat(const char* format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(inline_, N, format, ap);
    if (n < 0) {
      inline_[0] = '\0';
      length_ = 0;
    } else if (static_cast<std::size_t>(n) >= N) {
      heap_.reset(new char[static_cast<std::size_t>(n) + 1]);
      std::vsnprintf(heap_.get(), static_cast<std::size_t>(n) + 1, format, copy);
      length_ = static_cast<std::size_t>(n);
    } else {
      length_ = static_cast<std::size_t>(n);
    }
    va_end(copy);
  }

  char inline_[N];
  std::unique_ptr<char[]> heap_;
  std::size_t length_ = 0;
};

#endif
