#ifndef AGENT_LOOKUP_STATUS_H
#define AGENT_LOOKUP_STATUS_H

#include <string>
#include <utility>

/// The answer of a lookup (a catalog record, a stored object): found, not
/// found, or failed, the last two with a readable reason. "Not found" means
/// the place was searched and holds nothing under the key; "failed" means
/// it could not be searched, so nothing is known about the key. Callers
/// must never answer "not found" for a failed lookup.
///
/// A value type.
class Lookup_Status {
 public:
  enum Code { FOUND, NOT_FOUND, FAILED };

  static Lookup_Status found() { return Lookup_Status(FOUND, std::string()); }
  static Lookup_Status not_found(std::string why = std::string()) { return Lookup_Status(NOT_FOUND, std::move(why)); }
  static Lookup_Status failed(std::string why) { return Lookup_Status(FAILED, std::move(why)); }

  Code code() const { return code_; }
  bool is_found() const { return code_ == FOUND; }
  bool is_not_found() const { return code_ == NOT_FOUND; }
  bool is_failed() const { return code_ == FAILED; }
  /// Why the object is missing or the lookup failed; empty when found.
  const std::string& error() const { return error_; }

 private:
  Lookup_Status(Code code, std::string error) : code_(code), error_(std::move(error)) {}

  Code code_;
  std::string error_;
};

#endif
