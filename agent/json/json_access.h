#ifndef AGENT_JSON_ACCESS_H
#define AGENT_JSON_ACCESS_H

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "agent/base/secure_string.h"

/// JSON values keep their members in insertion order.
using json_value = nlohmann::ordered_json;

/// Raised by the typed member readers; the text names the member and says
/// what was wrong ("member \"rows\" is missing").
class Json_Member_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace json_access_detail {

[[noreturn]] inline void fail(const char* key, const char* what) {
  throw Json_Member_Error(std::string("member \"") + key + "\" " + what);
}

template <typename T>
void convert(const json_value& v, const char* key, T& target) {
  if constexpr (std::is_same<T, bool>::value) {
    if (!v.is_boolean()) fail(key, "is not a boolean");
    target = v.get<bool>();
  } else if constexpr (std::is_integral<T>::value) {
    if (v.is_number_unsigned()) {
      auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) fail(key, "is out of range");
      target = static_cast<T>(u);
    } else if (v.is_number_integer()) {
      auto i = v.get<std::int64_t>();
      if (std::is_unsigned<T>::value) {
        if (i < 0) fail(key, "is not an unsigned integer");
        if (static_cast<std::uint64_t>(i) > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
          fail(key, "is out of range");
      } else if (i < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
                 i > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
        fail(key, "is out of range");
      }
      target = static_cast<T>(i);
    } else {
      fail(key, std::is_unsigned<T>::value ? "is not an unsigned integer" : "is not an integer");
    }
  } else if constexpr (std::is_floating_point<T>::value) {
    if (!v.is_number()) fail(key, "is not a number");
    target = v.get<T>();
  } else if constexpr (std::is_same<T, std::string>::value) {
    if (!v.is_string()) fail(key, "is not a string");
    target = v.get_ref<const std::string&>();
  } else if constexpr (std::is_same<T, secure_string>::value) {
    if (!v.is_string()) fail(key, "is not a string");
    const std::string& s = v.get_ref<const std::string&>();
    target.assign(s.data(), s.size());
  } else if constexpr (std::is_same<T, json_value>::value) {
    target = v;
  } else {
    static_assert(sizeof(T) == 0, "no JSON conversion for this type");
  }
}

}  // namespace json_access_detail

/// Reads the optional member `key` of `object` into `target`. A missing
/// member (or a non-object `object`) leaves `target` unchanged and returns
/// false; a member of the wrong kind raises Json_Member_Error.
template <typename T>
bool object_get(const json_value& object, const char* key, T& target) {
  if (!object.is_object()) return false;
  auto it = object.find(key);
  if (it == object.end()) return false;
  json_access_detail::convert(*it, key, target);
  return true;
}

/// The required member `key`; raises Json_Member_Error when it is missing.
inline const json_value& object_get_or_throw(const json_value& object, const char* key) {
  if (!object.is_object()) throw Json_Member_Error(std::string("value holding \"") + key + "\" is not an object");
  auto it = object.find(key);
  if (it == object.end()) json_access_detail::fail(key, "is missing");
  return *it;
}

inline const std::string& object_get_str_or_throw(const json_value& object, const char* key) {
  const json_value& v = object_get_or_throw(object, key);
  if (!v.is_string()) json_access_detail::fail(key, "is not a string");
  return v.get_ref<const std::string&>();
}

template <typename T = std::int64_t>
T object_get_int_or_throw(const json_value& object, const char* key) {
  T value{};
  json_access_detail::convert(object_get_or_throw(object, key), key, value);
  return value;
}

inline std::uint64_t object_get_uint64_or_throw(const json_value& object, const char* key) {
  return object_get_int_or_throw<std::uint64_t>(object, key);
}

inline bool object_get_bool_or_throw(const json_value& object, const char* key) {
  bool value = false;
  json_access_detail::convert(object_get_or_throw(object, key), key, value);
  return value;
}

inline const json_value& object_get_obj_or_throw(const json_value& object, const char* key) {
  const json_value& v = object_get_or_throw(object, key);
  if (!v.is_object()) json_access_detail::fail(key, "is not an object");
  return v;
}

inline const json_value& object_get_array_or_throw(const json_value& object, const char* key) {
  const json_value& v = object_get_or_throw(object, key);
  if (!v.is_array()) json_access_detail::fail(key, "is not an array");
  return v;
}

/// Chained reader of required members, made by extract_or_throw().
/// Each call raises Json_Member_Error when its member is missing or of the
/// wrong kind.
class Json_Extractor {
 public:
  explicit Json_Extractor(const json_value& object) : object_(object) {}
  template <typename T>
  Json_Extractor& operator()(const char* key, T& target) {
    json_access_detail::convert(object_get_or_throw(object_, key), key, target);
    return *this;
  }

 private:
  const json_value& object_;
};

/// Reads required members in a chain:
///   extract_or_throw(row)("size", size)("location", location);
/// (A function rather than a class, so that such a statement can never be
/// read as a declaration.)
inline Json_Extractor extract_or_throw(const json_value& object) { return Json_Extractor(object); }

#endif
