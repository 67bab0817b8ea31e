#ifndef TESTS_READ_FILE_H
#define TESTS_READ_FILE_H

#include <fstream>
#include <sstream>
#include <string>

/// The whole content of the file at `path`, byte for byte; empty when it
/// cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

#endif
