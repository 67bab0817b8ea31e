#include "agent/base/path_conf.h"

#include <boost/algorithm/string/replace.hpp>

#include "agent/base/file_utils.h"

Path_Conf::Path_Conf(const std::string& base, bool is_dir, const std::string& name, mode_t mode)
    : path_(base), is_dir_(is_dir), mode_(mode) {
  if (!name.empty()) append(name);
  dir_ = is_dir_ ? path_ : std::string();
}

Path_Conf& Path_Conf::append(const std::string& name) {
  if (name.empty()) return *this;
  if (!path_.empty() && path_.back() != '/') path_ += '/';
  path_ += (name.front() == '/') ? name.substr(1) : name;
  return *this;
}

Path_Conf& Path_Conf::fix(const std::string& component) {
  boost::algorithm::replace_all(path_, "$COMPONENT", component);
  boost::algorithm::replace_all(dir_, "$COMPONENT", component);
  return *this;
}

int Path_Conf::make_dirs() const {
  const std::string dir = is_dir_ ? dir_ : dirname_string(path_);
  return mkdir_p(dir.c_str(), mode_);
}
