#ifndef AGENT_PATH_CONF_H
#define AGENT_PATH_CONF_H

#include <sys/types.h>

#include <string>

/// A path under one of the agent's trees, written with the placeholder
/// "$COMPONENT" (the agent component, "agent"). Names are joined with "/".
/// `is_dir` says that the last name is itself a directory of the agent
/// (created on fix() with `mode`); otherwise the parent directory of the
/// final path is the one fix() creates when `create` is set.
class Path_Conf {
 public:
  Path_Conf(const std::string& base, bool is_dir = false, const std::string& name = "", mode_t mode = 0750);

  /// Appends one more name to the path.
  Path_Conf& append(const std::string& name);
  /// Replaces "$COMPONENT" by `component` everywhere in the path.
  Path_Conf& fix(const std::string& component = "agent");
  /// Creates the directory the path lives in (see class comment). 0 or -1.
  int make_dirs() const;

  const std::string& str() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  mode_t mode() const { return mode_; }

 private:
  std::string path_;
  bool is_dir_;
  std::string dir_;  // path of the named directory when is_dir_
  mode_t mode_;
};

#endif
