#include "backint/inquire_handler.h"

#include <boost/algorithm/string/predicate.hpp>

#include "agent/base/file_utils.h"
#include "agent/base/snprintf_t.h"
#include "common/utils.h"
#include "common/hana_paths.h"

namespace sap_hana {

namespace {

const std::uint64_t kPageSize = 10;

}  // namespace

Backint_Inquire_Handler::Backint_Inquire_Handler(const Backint_Info& info) : Backint_Handler(info) {}

bool Backint_Inquire_Handler::execute_i() {
  if (!get_system_env() || !handle_input_file()) return false;
  protocol_.write_out_file_version();
  if (!check_user_id()) return true;
  std::string database, sid;
  parse_userid(database, sid);
  origin_sid_ = config_.restore_origin_sid(sid_, database.empty() ? sid_ : database);
  // Each step answers its own entries; one failed catalog request must not
  // leave the other kinds unanswered.
  const bool by_name = inquire_null_file();
  const bool by_ebid = inquire_ebid_file();
  const bool all = inquire_all();
  return by_name && by_ebid && all;
}

bool Backint_Inquire_Handler::handle_input_file() {
  std::vector<std::string> lines;
  const bool read_ok = protocol_.read_input_lines(lines);
  std::size_t malformed = 0;
  for (const std::string& line : lines) {
    std::string keyword, ebid, name;
    const Backint_Protocol::Entry_Read read = Backint_Protocol::read_inquire_entry(line, keyword, ebid, name);
    if (read == Backint_Protocol::Entry_Read::malformed) {
      protocol_.write_error(name, "Failed to read the input line of %s\n", name.c_str());
      ++malformed;
    }
    if (read != Backint_Protocol::Entry_Read::entry) continue;
    if (keyword == "#EBID") {
      // Without a name HANA asks whether the EBID is still there.
      ebid_source_.push_back(Input_File{ebid, name});
    } else if (!name.empty()) {
      null_source_.push_back(Input_File{"", name});
    } else if (keyword == "#NULL") {
      inquire_all_ = true;
    }
  }
  if (!read_ok) {
    protocol_.write_error("NULL", "Failed to read input file\n");
    return false;
  }
  if (ebid_source_.empty() && null_source_.empty() && !inquire_all_) {
    if (malformed == 0) protocol_.write_error("NULL", "Input file is empty\n");
    return false;
  }
  return true;
}

bool Backint_Inquire_Handler::check_user_id() {
  std::string database, sid;
  parse_userid(database, sid);
  if (protocol_.is_v150() && database.empty()) {
    protocol_.write_debug("Lack of database name\n");
    write_notfound_msg("", "");
    return false;
  }
  if (sid.empty() || !is_directory(snprintf_t<4096>(hana_paths::kSystemDirFormat, sid.c_str()).c_str())) {
    write_notfound_msg("", "");
    return false;
  }
  return true;
}

bool Backint_Inquire_Handler::inquire_pages(bool local, const std::string& database, const System_Scope& scope,
                                            const Input_File& entry, const std::string& name, bool& listed,
                                            bool& unreadable) {
  for (std::uint64_t offset = 0;; offset += kPageSize) {
    std::uint64_t total = 0;
    Catalog_Backup_File_Infos list;
    bool ok = local ? catalog_.get_backup_files_from_local(database, name, scope, total, list, offset, kPageSize)
                    : catalog_.get_backup_files_from_backupd(database, name, "", scope, total, list, offset, kPageSize);
    if (!ok) {
      // Named as HANA asked for it, so HANA can tell which entry failed.
      protocol_.write_error(entry.filename, "Failed to inquire null file in local\n");
      return false;
    }
    for (const Catalog_Backup_File_Info& info : list) {
      const Lookup_Status stored = pools_.backup_file_exist(info.path, info.filename);
      if (stored.is_failed()) {
        // Skipping it would tell HANA the backup is gone.
        pool_unreadable(entry.filename, info.ebid, stored);
        unreadable = true;
        return true;
      }
      if (!stored.is_found()) continue;
      write_success_msg(info.origin_path, info.ebid, info.backup_time);
      listed = true;
    }
    if (total < offset || total < kPageSize) return true;
  }
}

bool Backint_Inquire_Handler::inquire_null_file() {
  if (null_source_.empty()) return true;
  std::string database, sid;
  parse_userid(database, sid);
  const bool catalog_from_conf = config_.restore_catalog_from_config();
  bool all_answered = true;
  for (const Input_File& entry : null_source_) {
    const std::string name = base_name(entry.filename);
    System_Scope scope;
    if ((catalog_from_conf && is_catalog(name)) || !scope_for(entry.filename, scope)) {
      write_notfound_msg(entry.filename, "");
      continue;
    }
    bool listed = false;
    bool unreadable = false;
    if (!inquire_pages(true, database, scope, entry, name, listed, unreadable) ||
        (!unreadable && !inquire_pages(false, database, scope, entry, name, listed, unreadable)))
      return false;
    if (unreadable)
      all_answered = false;
    else if (!listed)
      write_notfound_msg(entry.filename, "");
  }
  return all_answered;
}

bool Backint_Inquire_Handler::inquire_ebid_file() {
  for (const Input_File& entry : ebid_source_) {
    Catalog_Backup_File_Info info;
    System_Scope scope;
    Lookup_Status looked_up = Lookup_Status::not_found("another system's backup");
    if (scope_for(entry.filename, scope)) looked_up = catalog_.get_backup_file(entry.id, "", scope, info);
    const bool found = looked_up.is_found();
    if (looked_up.is_failed()) {
      // "Not found" would tell HANA the backup is gone.
      const std::string& file = entry.filename.empty() ? entry.id : entry.filename;
      protocol_.write_error(file, "Failed to look up backup file %s in the catalogs\n", entry.id.c_str());
      return false;
    }
    if (found && boost::algorithm::starts_with(base_name(info.filename), base_name(entry.filename)))
      // Asked without a name, the backup is answered under the one HANA gave it.
      write_success_msg(entry.filename.empty() ? info.origin_path : entry.filename, entry.id, info.backup_time);
    else
      write_notfound_msg(entry.filename, entry.id);
  }
  return true;
}

bool Backint_Inquire_Handler::inquire_all() {
  if (!inquire_all_) return true;
  std::uint64_t total = 0;
  bool all_answered = true;
  System_Scope own;
  scope_for("", own);
  // Another system's records of the landscape (a copy keeps its id) do not count.
  std::uint64_t own_records = 0;
  for (std::uint64_t offset = 0;; offset += kPageSize) {
    Backup_File_Infos records;
    if (!backint_helper_.get_files(landscape_id_, "", "", total, records, kPageSize, offset)) {
      protocol_.write_error("NULL", "Failed to inquire all backup set\n");
      return false;
    }
    for (const Backup_File_Info& record : records) {
      if (!Backint_Catalog_Lookup::in_scope(own, record.origin_path)) continue;
      ++own_records;
      const Lookup_Status stored = pools_.backup_file_exist(record.location, record.storage_path);
      if (stored.is_failed()) {
        pool_unreadable(record.origin_path, record.extern_backup_id, stored);
        all_answered = false;
        continue;
      }
      if (!stored.is_found()) continue;
      // The same date form as the by-name answers: HANA's date format.
      write_success_msg(record.origin_path, record.extern_backup_id,
                        iso8601_to_hana_format_date(record.backup_time.c_str()));
    }
    if (total < offset) break;
  }
  if (own_records == 0) write_notfound_msg("", "");
  return all_answered;
}

void Backint_Inquire_Handler::pool_unreadable(const std::string& file, const std::string& ebid,
                                              const Lookup_Status& status) {
  protocol_.write_error(file, "Failed to read backup file %s in its pool, %s\n", ebid.c_str(), status.error().c_str());
}

bool Backint_Inquire_Handler::write_success_msg(const std::string& file, const std::string& ebid,
                                                const std::string& date) {
  const std::string dir = dirname_string(file);
  if (!dir.empty()) mkdir_p(dir.c_str(), 0755);
  return protocol_.write_backup(ebid, file, date);
}

bool Backint_Inquire_Handler::write_notfound_msg(const std::string& file, const std::string& ebid) {
  return protocol_.write_inquire_notfound(ebid, file);
}

}  // namespace sap_hana
