#ifndef AGENT_URI_H
#define AGENT_URI_H

#include <string>
#include <vector>

/// The parts of URI text that jobs need (their source entries are URI
/// paths such as "hana/HDB00/SYSTEMDB").
class URI {
 public:
  /// The path of `text`: what follows "<scheme>://<authority>" when the
  /// text has them (the path of "file://host/a/b" is "/a/b"), the text
  /// itself otherwise, up to (not including) a "?" or "#". With `decode`,
  /// "%XX" escapes become their bytes; a malformed escape ("%4", "%zz") is
  /// kept as it is.
  static std::string path(const std::string& text, bool decode);

  /// `text` with its "%XX" escapes turned into their bytes; a malformed
  /// escape ("%4", "%zz") is kept as it is. With `plus_is_space` (query
  /// strings), "+" becomes a blank.
  static std::string percent_decode(const std::string& text, bool plus_is_space = false);

  /// Splits `path` at "/" into `segments` (cleared first). Without
  /// `keep_empty`, empty segments (leading, trailing or doubled "/") are
  /// left out: "/hana//HDB00/" gives "hana", "HDB00".
  static void path_segments(const std::string& path, std::vector<std::string>& segments, bool keep_empty);
};

#endif
