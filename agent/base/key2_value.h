#ifndef AGENT_KEY2_VALUE_H
#define AGENT_KEY2_VALUE_H

#include <cstddef>
#include <cstring>

/// One row of a key table: key text, key length, value. A table ends with a
/// row whose key is null; that row's value is the "unknown" value.
template <typename V>
struct Key2_Value_T {
  const char* key;
  std::size_t key_length;
  V value;

  /// Exact-case lookup of `key`; the end row's value when absent.
  static V key_to_value(const Key2_Value_T* table, const char* key) {
    const Key2_Value_T* row = table;
    for (; row->key != nullptr; ++row) {
      if (key != nullptr && std::strlen(key) == row->key_length && std::memcmp(key, row->key, row->key_length) == 0)
        return row->value;
    }
    return row->value;
  }
  /// The key of the first row holding `value`; null when none does.
  static const char* value_to_key(const Key2_Value_T* table, V value) {
    for (const Key2_Value_T* row = table; row->key != nullptr; ++row)
      if (row->value == value) return row->key;
    return nullptr;
  }
};

#endif
