#include "agent/json/json_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "agent/base/file_utils.h"

namespace {
struct Too_Deep {};
}  // namespace

Json_Parse parse_json(const std::string& text, json_value& value, std::string* error) {
  // The parser itself keeps its nesting on the heap; the callback stops it
  // at the first container beyond the limit (depth counts the enclosing
  // containers).
  auto limit = [](int depth, json_value::parse_event_t event, json_value&) {
    if ((event == json_value::parse_event_t::object_start || event == json_value::parse_event_t::array_start) &&
        depth >= kMaxJsonDepth)
      throw Too_Deep();
    return true;
  };
  try {
    value = json_value::parse(text, limit);
    return Json_Parse::OK;
  } catch (const Too_Deep&) {
    if (error) *error = "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return Json_Parse::TOO_DEEP;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return Json_Parse::MALFORMED;
  }
}

bool loads_json(const std::string& text, json_value& value, std::string* error) {
  return parse_json(text, value, error) == Json_Parse::OK;
}

bool load_json(const std::string& path, json_value& value, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    if (error) *error = "read error";
    return false;
  }
  return loads_json(text.str(), value, error);
}

bool write_file_atomic(const std::string& path, const std::string& data, mode_t mode) {
  std::string dir = dirname_string(path);
  std::string tmp = path + ".tmp.XXXXXX";
  int fd = ::mkstemp(&tmp[0]);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  const char* p = data.data();
  std::size_t left = data.size();
  while (ok && left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    return false;
  }
  // The new name is only durable once its directory is: a caller told
  // "written" must not find the old file after a crash.
  return sync_directory(dir);
}

bool dump_json(const std::string& path, const json_value& value, mode_t mode, int indent) {
  std::string text;
  try {
    text = value.dump(indent);
  } catch (const std::exception&) {
    return false;  // invalid UTF-8 in a string
  }
  text += '\n';
  return write_file_atomic(path, text, mode);
}
