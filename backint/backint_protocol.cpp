#include "backint/backint_protocol.h"

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/replace.hpp>
#include <boost/regex.hpp>
#include <cerrno>
#include <ext/stdio_filebuf.h>
#include <iostream>

#include "agent/base/natoi.h"
#include "agent/base/string_sprintf.h"

namespace sap_hana {

namespace {

const boost::regex software_id_re("^#SOFTWAREID\\s*\"(.*)\"\\s*\"(.*)\"\\s*", boost::regex::perl);
const boost::regex tool_option_re("^#TOOLOPTION\\s*\"(.*)\"\\s*", boost::regex::perl);
const boost::regex source_re("^#(\\S+)\\s+(\\S+|\".+\")(\\s+(\\d+)\\s*)?$", boost::regex::perl);

bool is_blank(char c) { return c == ' ' || c == '\t'; }

enum class Token { none, read, unbalanced };

// Reads the next token of an entry line starting at `pos` (see
// read_restore_entry). A quoted token that the line ends inside is
// unbalanced; `token` then holds what follows its opening quote.
Token next_token(const std::string& line, std::size_t& pos, std::string& token) {
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  if (pos >= line.size()) return Token::none;
  const std::size_t start = pos;
  const char quote = line[pos];
  std::size_t i = pos;
  if (quote == '"' || quote == '\'') {
    bool closed = false;
    for (i = pos + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
        ++i;
        continue;
      }
      if (line[i] == quote) {
        ++i;
        closed = true;
        break;
      }
    }
    if (!closed) {
      token = line.substr(start + 1);
      pos = line.size();
      return Token::unbalanced;
    }
  } else {
    for (; i < line.size() && !is_blank(line[i]); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '"') ++i;
    }
  }
  if (i > line.size()) i = line.size();
  token = line.substr(start, i - start);
  pos = i;
  return Token::read;
}

// The name an unbalanced line is answered under.
std::string unbalanced_name(std::string text) {
  Backint_Protocol::unescape_input_string(text);
  boost::algorithm::trim_right_if(text, boost::algorithm::is_any_of(" \t\r"));
  return text.empty() ? std::string("NULL") : text;
}

// A file name token as the handlers use it.
std::string name_of_token(std::string token) {
  Backint_Protocol::unescape_input_string(token);
  Backint_Protocol::trim_string_quotation(token);
  return token;
}

}  // namespace

Backint_Protocol::~Backint_Protocol() {
  release_held();
  if (os_) os_->flush();
}

void Backint_Protocol::use_streams(std::istream* in, std::ostream* out) {
  is_ = in;
  os_ = out;
}

bool Backint_Protocol::open_input(const std::string& path) {
  if (path.empty()) {
    if (!std::cin.good()) {
      ACE_ERROR((LM_ERROR, "Failed to open stdin to read\n"));
      return false;
    }
    is_ = &std::cin;
    return true;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s' to read, errno=%d, %m\n", path.c_str(), errno));
    return false;
  }
  in_buf_.reset(new __gnu_cxx::stdio_filebuf<char>(fd, std::ios::in, 1 << 16));
  owned_is_.reset(new std::istream(in_buf_.get()));
  is_ = owned_is_.get();
  return true;
}

bool Backint_Protocol::open_output(const std::string& path) {
  if (path.empty()) {
    os_ = &std::cout;
    return true;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) {
    ACE_ERROR((LM_ERROR, "Failed to open '%s' to write, errno=%d, %m\n", path.c_str(), errno));
    return false;
  }
  out_buf_.reset(new __gnu_cxx::stdio_filebuf<char>(fd, std::ios::out, 1 << 16));
  owned_os_.reset(new std::ostream(out_buf_.get()));
  os_ = owned_os_.get();
  return true;
}

bool Backint_Protocol::read_input_lines(std::vector<std::string>& lines) {
  if (is_ == nullptr) return false;
  std::string line;
  while (std::getline(*is_, line)) {
    if (handle_version_text(line)) continue;
    lines.push_back(line);
  }
  return !is_->bad();
}

bool Backint_Protocol::parse_version_text(const std::string& line, std::string& backint_version,
                                          std::string& software_version) {
  boost::smatch m;
  if (!boost::regex_match(line, m, software_id_re)) return false;
  backint_version = m[1];
  software_version = m[2];
  return true;
}

bool Backint_Protocol::version_is_v150(const std::string& backint_version) {
  std::size_t dot = backint_version.find('.');
  if (dot == std::string::npos) return false;
  unsigned minor = natoi<unsigned>(backint_version.c_str() + dot + 1);
  return errno == 0 || errno == ERANGE ? minor >= 50 : false;
}

bool Backint_Protocol::handle_version_text(const std::string& line) {
  if (!parse_version_text(line, backint_version_, software_version_)) return false;
  is_v150_ = version_is_v150(backint_version_);
  return true;
}

bool Backint_Protocol::parse_tool_option(const std::string& line, std::string& option) {
  boost::smatch m;
  if (!boost::regex_match(line, m, tool_option_re)) return false;
  option = m[1];
  return true;
}

bool Backint_Protocol::parse_source(const std::string& text, Source& source) {
  // Trailing blanks and a carriage return are no part of the line.
  const std::string line = boost::algorithm::trim_right_copy_if(text, boost::algorithm::is_any_of(" \t\r"));
  boost::smatch m;
  if (!boost::regex_match(line, m, source_re)) return false;
  if (m[1] == "PIPE")
    source.type = "pipe";
  else if (m[1] == "FILE")
    source.type = "file";
  else
    return false;
  source.name = m[2];
  unescape_input_string(source.name);
  trim_string_quotation(source.name);
  source.has_size = m[4].matched;
  source.size = source.has_size ? natoi<std::uint64_t>(m[4].str().c_str()) : 0;
  return true;
}

std::string Backint_Protocol::source_name_guess(const std::string& text) {
  std::string line = boost::algorithm::trim_copy_if(text, boost::algorithm::is_any_of(" \t\r"));
  std::size_t start = line.find_first_of(" \t");
  if (start == std::string::npos) return "NULL";
  start = line.find_first_not_of(" \t", start);
  if (start == std::string::npos) return "NULL";
  std::string name;
  if (line[start] == '"') {
    std::size_t end = line.find('"', start + 1);
    while (end != std::string::npos && line[end - 1] == '\\') end = line.find('"', end + 1);
    name = line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
  } else {
    name = line.substr(start, line.find_first_of(" \t", start) - start);
  }
  unescape_input_string(name);
  return name.empty() ? "NULL" : name;
}

Backint_Protocol::Entry_Read Backint_Protocol::read_restore_entry(const std::string& line, Restore_Entry& entry) {
  const bool with_ebid = boost::algorithm::starts_with(line, "#EBID");
  if (!with_ebid && !boost::algorithm::starts_with(line, "#NULL")) return Entry_Read::skipped;
  std::size_t pos = 5;
  Restore_Entry e;
  std::string name, destination;
  Token got = with_ebid ? next_token(line, pos, e.ebid) : Token::read;
  if (got == Token::read) got = next_token(line, pos, name);
  if (got == Token::read && next_token(line, pos, destination) == Token::unbalanced) {
    // Answered under the object's name, which is whole.
    entry = Restore_Entry();
    entry.name = name_of_token(name);
    return Entry_Read::malformed;
  }
  if (got == Token::unbalanced) {
    entry = Restore_Entry();
    entry.name = unbalanced_name(name.empty() ? e.ebid : name);
    return Entry_Read::malformed;
  }
  if (got == Token::none) return Entry_Read::skipped;
  trim_ebid_quotation(e.ebid);
  e.name = name_of_token(name);
  e.destination = destination.empty() ? e.name : name_of_token(destination);
  entry = e;
  return Entry_Read::entry;
}

Backint_Protocol::Entry_Read Backint_Protocol::read_inquire_entry(const std::string& line, std::string& keyword,
                                                                  std::string& ebid, std::string& name) {
  keyword.clear();
  ebid.clear();
  name.clear();
  std::size_t pos = 0;
  std::string token;
  Token got = next_token(line, pos, keyword);
  if (got != Token::read) {
    if (got == Token::none) return Entry_Read::skipped;
    name = unbalanced_name(keyword);
    keyword.clear();
    return Entry_Read::malformed;
  }
  if (keyword == "#EBID") {
    got = next_token(line, pos, ebid);
    if (got == Token::none) return Entry_Read::skipped;
    if (got == Token::read) trim_ebid_quotation(ebid);
  }
  if (got == Token::read) got = next_token(line, pos, token);
  if (got == Token::unbalanced) {
    name = unbalanced_name(token.empty() ? ebid : token);
    ebid.clear();
    return Entry_Read::malformed;
  }
  // Anything after the name is no part of it.
  if (got == Token::read) name = name_of_token(token);
  return Entry_Read::entry;
}

void Backint_Protocol::escape_input_string(std::string& text) { boost::algorithm::replace_all(text, "\"", "\\\""); }

std::string Backint_Protocol::escape_input_string_copy(const std::string& text) {
  std::string copy = text;
  escape_input_string(copy);
  return copy;
}

void Backint_Protocol::unescape_input_string(std::string& text) { boost::algorithm::replace_all(text, "\\\"", "\""); }

void Backint_Protocol::trim_string_quotation(std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
}

void Backint_Protocol::trim_ebid_quotation(std::string& ebid) {
  // EBIDs are 32 hexadecimal characters and never hold a quote; HANA may
  // still write them in double quotes.
  trim_string_quotation(ebid);
}

bool Backint_Protocol::put(const std::string& text) {
  if (os_ == nullptr || !os_->good()) return false;
  if (holding_) {
    held_ += text;
    return true;
  }
  *os_ << text;
  os_->flush();
  return os_->good();
}

bool Backint_Protocol::write_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  return put(line + '\n');
}

void Backint_Protocol::hold_until_version() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  holding_ = true;
}

void Backint_Protocol::release_held() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  holding_ = false;
  if (held_.empty()) return;
  put(held_);
  held_.clear();
}

bool Backint_Protocol::write_out_file_version() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  holding_ = false;
  const bool ok = put("#SOFTWAREID \"" + backint_version_ + "\" \"" + software_version_ + "\"\n");
  if (ok && !held_.empty()) put(held_);
  held_.clear();
  return ok && os_->good();
}

bool Backint_Protocol::write_formatted(const std::string& prefix, const char* format, va_list ap,
                                       const std::string& suffix) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (os_ == nullptr || !os_->good()) return false;
  // Every line ends with its newline, whatever the message: a "#DEBUG" text
  // without one would swallow the "#ERROR" (or the next answer) that
  // follows it, and HANA would never see that line.
  std::string text = string_vsprintf(format, ap);
  if (text.empty() || text.back() != '\n') text += '\n';
  return put(prefix + text + suffix);
}

bool Backint_Protocol::write_error(const std::string& file, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  error_written_ = true;
  bool ok = write_formatted("#DEBUG ", format, ap, "#ERROR \"" + escape_input_string_copy(file) + "\"\n");
  va_end(ap);
  return ok;
}

bool Backint_Protocol::write_debug(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = write_formatted("#DEBUG ", format, ap, "");
  va_end(ap);
  return ok;
}

bool Backint_Protocol::write_saved(const std::string& ebid, const std::string& file, std::uint64_t size) {
  return write_line("#SAVED \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\" " + std::to_string(size));
}

bool Backint_Protocol::write_restored(const std::string& ebid, const std::string& file) {
  return write_line("#RESTORED \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"");
}

bool Backint_Protocol::write_restore_notfound(const std::string& file) {
  return write_line("#NOTFOUND \"" + escape_input_string_copy(file) + "\"");
}

bool Backint_Protocol::write_backup(const std::string& ebid, const std::string& file, const std::string& date) {
  std::string line = "#BACKUP \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"";
  if (is_v150_) line += " \"" + date + "\"";
  return write_line(line);
}

bool Backint_Protocol::write_inquire_notfound(const std::string& ebid, const std::string& file) {
  std::string line = "#NOTFOUND";
  if (!ebid.empty()) line += " \"" + ebid + "\"";
  if (!file.empty()) line += " \"" + escape_input_string_copy(file) + "\"";
  return write_line(line);
}

bool Backint_Protocol::write_deleted(const std::string& ebid, const std::string& file) {
  return write_line("#DELETED \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"");
}

bool Backint_Protocol::write_delete_notfound(const std::string& ebid, const std::string& file) {
  return write_line("#NOTFOUND \"" + ebid + "\" \"" + escape_input_string_copy(file) + "\"");
}

}  // namespace sap_hana
