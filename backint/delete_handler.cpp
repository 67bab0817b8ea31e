#include "backint/delete_handler.h"

#include <boost/algorithm/string/predicate.hpp>

namespace sap_hana {

Backint_Delete_Handler::Backint_Delete_Handler(const Backint_Info& info) : Backint_Handler(info) {}

bool Backint_Delete_Handler::execute_i() {
  if (!get_system_env() || !handle_input_file()) return false;
  write_out_file_version();
  return delete_ebid_file();
}

bool Backint_Delete_Handler::handle_input_file() {
  std::vector<std::string> lines;
  const bool read_ok = read_input_lines(lines);
  for (const std::string& line : lines) {
    std::string keyword, ebid, name;
    if (!split_entry(line, keyword, ebid, name) || keyword != "#EBID" || ebid.empty() || name.empty()) continue;
    ebid_source_.push_back(Input_File{ebid, name});
  }
  if (!read_ok) {
    write_error("NULL", "Failed to read input file\n");
    return false;
  }
  if (ebid_source_.empty()) {
    write_error("NULL", "Input file is empty\n");
    return false;
  }
  return true;
}

bool Backint_Delete_Handler::delete_ebid_file() {
  for (const Input_File& entry : ebid_source_) {
    Catalog_Backup_File_Info info;
    catalog_request_failed_ = false;
    const bool local = get_backup_file_from_local(entry.id, info);
    const bool found = local || get_backup_file_from_backupd(entry.id, "", info);
    if (!found && catalog_request_failed_) {
      // "#NOTFOUND" would let HANA forget a backup whose record stays; the
      // remaining entries would fail the same way.
      write_error(entry.filename, "Failed to look up backup file %s in the catalogs\n", entry.id.c_str());
      return false;
    }
    if (!found) {
      write_delete_notfound(entry.id, entry.filename);
      continue;
    }
    if (!boost::algorithm::starts_with(base_name(info.filename), base_name(entry.filename))) {
      write_delete_notfound(entry.id, entry.filename);
      continue;
    }
    // Answering #DELETED for a record that is still there would make HANA
    // drop its own entry while the catalog keeps the backup.
    if (local && !backint_helper_.remove_file(info.ebid)) {
      write_error(entry.filename, "Failed to remove backup file %s from backint catalog\n", entry.id.c_str());
      continue;
    }
    write_deleted(entry.id, entry.filename);
  }
  return true;
}

}  // namespace sap_hana
