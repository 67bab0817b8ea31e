#ifndef AGENT_SECURE_ALLOCATOR_H
#define AGENT_SECURE_ALLOCATOR_H

#include <cstddef>
#include <new>
#include <string.h>

/// Allocator that wipes memory before handing it back, so released
/// passwords and keys do not linger on the heap.
template <typename T>
struct secure_allocator {
  using value_type = T;
  secure_allocator() noexcept = default;
  template <typename U>
  secure_allocator(const secure_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    if (p) explicit_bzero(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <typename U>
  bool operator==(const secure_allocator<U>&) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const secure_allocator<U>&) const noexcept {
    return false;
  }
};

#endif
