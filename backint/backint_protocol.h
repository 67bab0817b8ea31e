#ifndef SAP_HANA_BACKINT_PROTOCOL_H
#define SAP_HANA_BACKINT_PROTOCOL_H

#include <cstdarg>
#include <cstdint>
#include <istream>
#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace sap_hana {

/// The Backint file protocol of one hana-backint run: the input file's
/// lines (with HANA's "#SOFTWAREID" line taken out and remembered) and the
/// output file's answer lines.
///
/// Output: every line is written with a final newline (added to a message
/// that lacks one) and flushed; nothing
/// is written once the output stream has failed (the writer returns false).
/// File names are always written escaped (every quote as backslash-quote).
///
/// Owns the streams it opens; borrows standard input and output, and the
/// streams given to use_streams(). The writers may be called from several
/// threads at once: each line (an "#ERROR" pair as one) is written whole and
/// flushed before the next one starts. Everything else (opening, reading,
/// use_streams) belongs to one thread, before any concurrent writing.
class Backint_Protocol {
 public:
  /// A "#PIPE" or "#FILE" line of a backup input.
  struct Source {
    std::string type;  // "pipe" or "file"
    std::string name;
    bool has_size = false;
    std::uint64_t size = 0;
  };

  /// An "#EBID" or "#NULL" line of a restore input.
  struct Restore_Entry {
    std::string ebid;  // empty for #NULL
    std::string name;
    std::string destination;
  };

  Backint_Protocol() = default;
  ~Backint_Protocol();
  Backint_Protocol(const Backint_Protocol&) = delete;
  Backint_Protocol& operator=(const Backint_Protocol&) = delete;

  /// Opens the input file `path` (empty: standard input). False with an
  /// error log line when it cannot be opened.
  bool open_input(const std::string& path);
  /// Creates or truncates the output file `path` with mode 0640 (empty:
  /// standard output). False with an error log line when it cannot.
  bool open_output(const std::string& path);
  /// Borrows `in` and `out` (either may be null: no input, no output).
  void use_streams(std::istream* in, std::ostream* out);

  /// Reads the whole input; every line is offered to handle_version_text
  /// first. False when the input stream fails before its end.
  bool read_input_lines(std::vector<std::string>& lines);
  /// Takes a "#SOFTWAREID" line: remembers the versions it names.
  bool handle_version_text(const std::string& line);
  const std::string& backint_version() const { return backint_version_; }
  const std::string& software_version() const { return software_version_; }
  /// HANA asked in version 1.50 or later (dates in "#BACKUP" answers,
  /// database names in user ids).
  bool is_v150() const { return is_v150_; }

  /// From now on every line is held back until write_out_file_version:
  /// HANA reads "#SOFTWAREID" as the first line, so a "#DEBUG" line (or an
  /// error pair) written before it follows it. release_held writes what is
  /// still held when the run ends without a version line.
  void hold_until_version();
  void release_held();
  /// "#SOFTWAREID" with HANA's versions, then the lines held back.
  bool write_out_file_version();
  bool write_line(const std::string& line);
  /// "#DEBUG <text>" then "#ERROR \"<file>\"": how HANA learns that the
  /// object `file` failed.
  bool write_error(const std::string& file, const char* format, ...) __attribute__((format(printf, 3, 4)));
  bool write_debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// True once an "#ERROR" line was written (or attempted): the run must
  /// then end with exit code 1.
  bool error_written() const { return error_written_; }
  bool write_saved(const std::string& ebid, const std::string& file, std::uint64_t size);
  bool write_restored(const std::string& ebid, const std::string& file);
  bool write_restore_notfound(const std::string& file);
  bool write_backup(const std::string& ebid, const std::string& file, const std::string& date);
  bool write_inquire_notfound(const std::string& ebid, const std::string& file);
  bool write_deleted(const std::string& ebid, const std::string& file);
  bool write_delete_notfound(const std::string& ebid, const std::string& file);

  // ---- Input line readers (pure) ----

  /// Matches a "#SOFTWAREID" line; false for any other line.
  static bool parse_version_text(const std::string& line, std::string& backint_version, std::string& software_version);
  /// True when a backint version text says 1.50 or later.
  static bool version_is_v150(const std::string& backint_version);
  /// Matches a "#TOOLOPTION" line; false for any other line.
  static bool parse_tool_option(const std::string& line, std::string& option);
  /// Reads a "#PIPE" or "#FILE" line (trailing blanks and a carriage return
  /// ignored); false for any other or malformed line.
  static bool parse_source(const std::string& line, Source& source);
  /// The object name of a source line that parse_source refused, as far as
  /// one can be made out (the quoted text, else the second word); "NULL"
  /// when there is none.
  static std::string source_name_guess(const std::string& line);
  /// How an entry line of a restore, inquire or delete input was read:
  /// an entry, a line to skip, or a line whose quoted token the line ends
  /// inside (answered at once with an error pair, never taken as a name).
  enum class Entry_Read { entry, skipped, malformed };

  /// Token reading of a restore input line ("#EBID <ebid> <name>
  /// [<destination>]" or "#NULL <name> [<destination>]"). A token runs to
  /// the next blank, or from a double or single quote to the same quote;
  /// a backslash-quote never ends one; tokens after the last one read are
  /// ignored. A double-quoted EBID loses its quotes; name and destination
  /// are unescaped and lose their double quotes. Skipped: another keyword,
  /// or no name. Malformed: `entry.name` is what the error pair names.
  static Entry_Read read_restore_entry(const std::string& line, Restore_Entry& entry);
  /// Token reading (as read_restore_entry) of an inquire or delete line:
  /// `keyword` is the first token; for "#EBID" the EBID token follows
  /// (skipped without one), then the name, which may be missing (empty);
  /// for any other keyword the name. Malformed: `name` is what the error
  /// pair names.
  static Entry_Read read_inquire_entry(const std::string& line, std::string& keyword, std::string& ebid,
                                       std::string& name);

  static void escape_input_string(std::string& text);
  static std::string escape_input_string_copy(const std::string& text);
  static void unescape_input_string(std::string& text);
  static void trim_string_quotation(std::string& text);
  /// Removes one pair of surrounding double quotes from an EBID token.
  static void trim_ebid_quotation(std::string& ebid);

 private:
  bool write_formatted(const std::string& prefix, const char* format, va_list ap, const std::string& suffix);
  /// Writes `text` (whole lines) or holds it back; REQUIRES write_mutex_.
  bool put(const std::string& text);

  std::istream* is_ = nullptr;
  std::ostream* os_ = nullptr;
  std::string backint_version_;
  std::string software_version_;
  bool is_v150_ = false;
  std::atomic<bool> error_written_{false};
  std::mutex write_mutex_;
  bool holding_ = false;
  std::string held_;
  std::unique_ptr<std::streambuf> in_buf_;
  std::unique_ptr<std::streambuf> out_buf_;
  std::unique_ptr<std::istream> owned_is_;
  std::unique_ptr<std::ostream> owned_os_;
};

}  // namespace sap_hana

#endif
