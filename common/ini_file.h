#ifndef SAP_HANA_INI_FILE_H
#define SAP_HANA_INI_FILE_H

#include <boost/property_tree/ptree.hpp>

#include <string>

namespace sap_hana {

/// One parsed INI file of HANA's configuration ("[section]" headers and
/// "key = value" lines; keys before the first section are top-level keys).
///
/// Keys are looked up literally, never as property-tree paths, so host names
/// with dots work as keys: get("landscape.master") reads key "master" of
/// section "landscape"; a key without a dot, or one that names no section,
/// is looked up among the top-level keys as a whole.
/// Nothing throws: failures are false results with the reason in `error`.
class Ini_File {
 public:
  /// Parses `path`. False with the parser's message when it cannot be read
  /// or is malformed (for example a key given twice in one section).
  bool load(const std::string& path, std::string& error);
  /// Reads a value (an empty value counts as found). False with
  /// "No such node (<key>)" when it is missing.
  bool get(const std::string& key, std::string& value, std::string& error) const;

 private:
  boost::property_tree::ptree tree_;
};

}  // namespace sap_hana

#endif
