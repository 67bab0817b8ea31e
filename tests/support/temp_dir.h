#ifndef TESTS_TEMP_DIR_H
#define TESTS_TEMP_DIR_H

#include <cstdlib>
#include <fstream>
#include <string>

/// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class Temp_Dir {
 public:
  Temp_Dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/hana-test.XXXXXX";
    path_ = ::mkdtemp(&templ[0]) ? templ : std::string();
  }
  ~Temp_Dir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// Writes `content` to the file `name` in this directory; returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
    return file(name);
  }

 private:
  std::string path_;
};

#endif
