#ifndef AGENT_RATE_LIMITS_H
#define AGENT_RATE_LIMITS_H

#include <cstdint>
#include <string>
#include <vector>

#include "agent/json/json_access.h"
#include "agent/io/rate_control_entry.h"

/// The transfer windows of a job: one list for the destination side and one
/// for the source side of a transfer. A transfer obeys both: at any second
/// its rate is the smallest non-zero limit of every entry, in either list,
/// that covers that second of the local day (0: unlimited).
///
/// In job options both lists travel as JSON text (a string holding an array
/// of {"start_time", "end_time", "max_bytes_per_second"}) under the members
/// named by `dest_key` and `src_key`.
///
/// A plain value type; not synchronised.
class Rate_Limits {
 public:
  using List = std::vector<Rate_Control_Entry>;

  /// Member names in an "io_ctl" object.
  static const char* const dest_key;  // "dest_rate_limits"
  static const char* const src_key;   // "src_rate_limits"

  List& dest() { return dest_; }
  const List& dest() const { return dest_; }
  List& src() { return src_; }
  const List& src() const { return src_; }

  bool empty() const { return dest_.empty() && src_.empty(); }
  void clear() {
    dest_.clear();
    src_.clear();
  }

  /// Bytes per second allowed at `second_of_day`; 0 when nothing limits it.
  std::uint64_t limit_at(std::uint32_t second_of_day) const;

  /// Writes both lists into `object` (which becomes an object if it is
  /// null) as JSON text under dest_key and src_key. With `skip_empty` an
  /// empty list is left out; without it an empty list is written as "[]".
  void to_json_in_object(json_value& object, bool skip_empty) const;

  /// Reads the lists from the members dest_key and src_key of `object`,
  /// each when present (a missing member leaves its list unchanged). An
  /// entry whose end lies before its start wraps midnight and becomes two
  /// entries (start..86399 and 0..end, same rate). A member that is not a
  /// string holding a JSON array logs
  ///   "Failed to load rate control entries string '%s'.\n"
  /// an entry that lacks a member logs
  ///   "Failed to parse rate control entries: %s.\n"
  /// and in both cases the entries read so far are kept. False after either
  /// failure.
  bool from_json_in_object(const json_value& object);

  /// Parses one list text as above, appending to `list`.
  static bool parse_entries(const std::string& text, List& list);

  bool operator==(const Rate_Limits& o) const { return dest_ == o.dest_ && src_ == o.src_; }

 private:
  List dest_;
  List src_;
};

#endif
