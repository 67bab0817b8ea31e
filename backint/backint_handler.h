#ifndef SAP_HANA_BACKINT_HANDLER_H
#define SAP_HANA_BACKINT_HANDLER_H

#include <cstdarg>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "agent/storage/client_io_ex.h"
#include "agent/json/json_access.h"
#include "agent/http/json_http_session.h"
#include "agent/backupd/pool_info.h"
#include "backint/backint_info.h"
#include "backint_catalog/backint_catalog_helper.h"

namespace sap_hana {

/// Common base of the hana-backint function handlers.
///
/// A handler lives for one process run: constructed from the command line,
/// execute() once, destroyed. It owns the Backint input and output files
/// (or borrows standard input and output), the HTTP session to backupd and
/// the backint catalog client, and offers the handlers the Backint file
/// protocol: input line readers, output line writers, the HANA environment
/// of the calling instance, and the lookups of backed-up objects in the
/// backint catalog and in the server's backup-set catalog.
///
/// Output: every line is written with a final newline and flushed; nothing
/// is written once the output stream has failed (the writer returns false).
/// File names are always written escaped (every quote as backslash-quote).
///
/// Not thread-safe: hana-backint is single-threaded.
class Backint_Handler {
 public:
  /// One backed-up object found in a catalog. `path` is the storage
  /// location to connect to and `filename` the object's path inside it.
  struct Catalog_Backup_File_Info {
    std::string database;
    std::string ebid;
    std::string path;
    std::string filename;
    std::string source_type;
    std::string origin_path;
    std::string pool_uuid;
    std::string storage_path;
    std::string backup_time;
    std::uint64_t size = 0;
    std::uint64_t database_backup_id = 0;
    void clear() { *this = Catalog_Backup_File_Info(); }
  };
  using Catalog_Backup_File_Infos = std::vector<Catalog_Backup_File_Info>;

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

  explicit Backint_Handler(const Backint_Info& info);
  virtual ~Backint_Handler();
  Backint_Handler(const Backint_Handler&) = delete;
  Backint_Handler& operator=(const Backint_Handler&) = delete;

  /// open_in_file, open_out_file, handle_par_file, init_session, execute_i,
  /// in this order; the first failure stops the chain. True when all succeeded.
  bool execute();

  // ---- Input line readers (pure; also used by the tests) ----

  /// Matches a "#SOFTWAREID" line; false for any other line.
  static bool parse_version_text(const std::string& line, std::string& backint_version,
                                 std::string& software_version);
  /// True when a backint version text says 1.50 or later.
  static bool version_is_v150(const std::string& backint_version);
  /// Matches a "#TOOLOPTION" line; false for any other line.
  static bool parse_tool_option(const std::string& line, std::string& option);
  /// Reads a "#PIPE" or "#FILE" line; false for any other or malformed line.
  static bool parse_source(const std::string& line, Source& source);
  /// Token reading of a restore input line ("#EBID" or "#NULL"); false when
  /// the line is skipped. A double-quoted EBID loses its quotes.
  static bool parse_restore_entry(const std::string& line, Restore_Entry& entry);
  /// Blank splitting of an inquire or delete line: the whole line is
  /// unescaped and split at runs of blanks. `keyword` is the first piece;
  /// for "#EBID" `ebid` is the second (double quotes removed) and `name`
  /// the rest, joined by single blanks and unquoted (false with fewer than
  /// three pieces); for any other keyword `name` is the rest.
  static bool split_entry(const std::string& line, std::string& keyword, std::string& ebid, std::string& name);

  static void escape_input_string(std::string& text);
  static std::string escape_input_string_copy(const std::string& text);
  static void unescape_input_string(std::string& text);
  static void trim_string_quotation(std::string& text);
  /// Removes one pair of surrounding double quotes from an EBID token.
  static void trim_ebid_quotation(std::string& ebid);

  /// Splits `user_id` at the first "@": database before, SID after. Without
  /// "@" the whole id is the SID and `database` is left unchanged.
  static void parse_userid(const std::string& user_id, std::string& database, std::string& sid);
  /// The last "/"-separated component of `path` (the whole text without "/").
  static std::string base_name(const std::string& path);
  static bool is_catalog(const std::string& name);
  static bool is_log(const std::string& name);
  /// A new time-based UUID as 32 hexadecimal characters.
  static bool generate_uuid(std::string& uuid);

 protected:
  /// The handler's own work.
  virtual bool execute_i() = 0;
  /// Accepts every call without reading the parameter file.
  virtual bool handle_par_file();

  bool open_in_file();
  bool open_out_file();
  bool init_session();

  /// Reads the whole input; every line is offered to handle_version_text
  /// first. False when the input stream fails before its end.
  bool read_input_lines(std::vector<std::string>& lines);
  bool handle_version_text(const std::string& line);
  bool write_out_file_version();

  bool write_line(const std::string& line);
  bool write_error(const std::string& file, const char* format, ...) __attribute__((format(printf, 3, 4)));
  bool write_debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool write_saved(const std::string& ebid, const std::string& file, std::uint64_t size);
  bool write_restored(const std::string& ebid, const std::string& file);
  bool write_restore_notfound(const std::string& file);
  bool write_backup(const std::string& ebid, const std::string& file, const std::string& date);
  bool write_inquire_notfound(const std::string& ebid, const std::string& file);
  bool write_deleted(const std::string& ebid, const std::string& file);
  bool write_delete_notfound(const std::string& ebid, const std::string& file);

  /// Fills sid_ and landscape_id_ from the environment of this process.
  bool get_system_env();
  void parse_userid(std::string& database, std::string& sid) const { parse_userid(info_.user_id, database, sid); }

  bool get_backup_file(const std::string& ebid, const std::string& pool_uuid, Catalog_Backup_File_Info& info);
  bool get_backup_file(const std::string& database, const std::string& filename, const std::string& pool_uuid,
                       Catalog_Backup_File_Info& info);
  bool get_backup_files_from_backupd(const std::string& database, const std::string& filename,
                                     const std::string& pool_uuid, std::uint64_t& total,
                                     Catalog_Backup_File_Infos& list, std::uint64_t offset, std::uint64_t limit);
  bool get_backup_files_from_local(const std::string& database, const std::string& filename, std::uint64_t& total,
                                   Catalog_Backup_File_Infos& list, std::uint64_t offset, std::uint64_t limit);
  bool get_backup_file_from_local(const std::string& ebid, Catalog_Backup_File_Info& info);
  bool get_backup_file_from_backupd(const std::string& ebid, const std::string& pool_uuid,
                                    Catalog_Backup_File_Info& info);
  /// GET "/d2/r/v2/sets/select" with `query` and the fixed parameters, with
  /// retries; the rows parsed into `list`.
  bool get_backup_files_req(const std::string& query, std::uint64_t& total, Catalog_Backup_File_Infos& list);
  static void parse_backint_catalog_info(const Backup_File_Info& record, Catalog_Backup_File_Info& info);

  /// True when `storage_path` exists as an object at `location`.
  bool backup_file_exist(const std::string& location, const std::string& storage_path);
  /// The pool's description, from the cache or from backupd. False at once
  /// for an empty or all-zero pool UUID.
  bool get_pool_info_from_backupd(const std::string& pool_uuid, Pool_Info& info, bool to_restore, std::size_t timeout);
  /// Puts the access key on the storage options.
  void set_options_by_conf(Client_IO_Base::Options& options);

  /// Reads "hana.conf"; false (with a debug line) when it is not a JSON object.
  bool get_local_config(json_value& object);
  bool get_local_backup_location(std::string& location);
  bool restore_catalog_from_config();

  Backint_Info info_;
  std::istream* is_ = nullptr;
  std::ostream* os_ = nullptr;
  std::string sid_;
  std::string backint_version_;
  std::string software_version_;
  std::string landscape_id_;
  std::map<std::string, Pool_Info> pools_info_;
  bool is_v150_ = false;
  Client_IO_Ex io_;
  Backint_Catalog_helper backint_helper_;
  JSON_HTTP_Session http_session_;

  /// Set when a catalog request failed after its retries, or its answer
  /// was malformed, as opposed to a lookup that found nothing. Handlers
  /// clear it before a lookup to tell "not found" from "could not look".
  bool catalog_request_failed_ = false;

 private:
  bool write_formatted(const std::string& prefix, const char* format, va_list ap, const std::string& suffix);

  std::unique_ptr<std::istream> owned_is_;
  std::unique_ptr<std::ostream> owned_os_;
  std::unique_ptr<std::streambuf> in_buf_;
  std::unique_ptr<std::streambuf> out_buf_;
};

}  // namespace sap_hana

#endif
