#include "common/ini_file.h"

#include <boost/property_tree/ini_parser.hpp>

namespace sap_hana {

namespace {

// A separator that never occurs in a key, so that no part of a key is taken
// for a path step.
constexpr char kNoSeparator = '\x01';

typedef boost::property_tree::ptree::path_type Literal_Path;

}  // namespace

bool Ini_File::load(const std::string& path, std::string& error) {
  try {
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(path, tree);
    tree_.swap(tree);
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

bool Ini_File::get(const std::string& key, std::string& value, std::string& error) const {
  std::string::size_type dot = key.find('.');
  if (dot != std::string::npos) {
    auto section = tree_.get_child_optional(Literal_Path(key.substr(0, dot), kNoSeparator));
    if (section && !section->empty()) {
      auto v = section->get_optional<std::string>(Literal_Path(key.substr(dot + 1), kNoSeparator));
      if (v) {
        value = *v;
        return true;
      }
    }
  }
  auto top = tree_.get_child_optional(Literal_Path(key, kNoSeparator));
  if (top && top->empty()) {
    value = top->data();
    return true;
  }
  error = "No such node (" + key + ")";
  return false;
}

}  // namespace sap_hana
