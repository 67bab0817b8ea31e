#include "backint/delete_handler.h"

#include <boost/algorithm/string/predicate.hpp>

namespace sap_hana {

Backint_Delete_Handler::Backint_Delete_Handler(const Backint_Info& info) : Backint_Handler(info) {}

bool Backint_Delete_Handler::execute_i() {
  if (!get_system_env() || !handle_input_file()) return false;
  protocol_.write_out_file_version();
  return delete_ebid_file();
}

bool Backint_Delete_Handler::handle_input_file() {
  std::vector<std::string> lines;
  const bool read_ok = protocol_.read_input_lines(lines);
  std::size_t malformed = 0;
  for (const std::string& line : lines) {
    std::string keyword, ebid, name;
    const Backint_Protocol::Entry_Read read = Backint_Protocol::read_inquire_entry(line, keyword, ebid, name);
    if (read == Backint_Protocol::Entry_Read::malformed && boost::algorithm::starts_with(line, "#EBID")) {
      protocol_.write_error(name, "Failed to read the input line of %s\n", name.c_str());
      ++malformed;
    }
    if (read != Backint_Protocol::Entry_Read::entry || keyword != "#EBID" || ebid.empty() || name.empty()) continue;
    ebid_source_.push_back(Input_File{ebid, name});
  }
  if (!read_ok) {
    protocol_.write_error("NULL", "Failed to read input file\n");
    return false;
  }
  if (ebid_source_.empty()) {
    if (malformed == 0) protocol_.write_error("NULL", "Input file is empty\n");
    return false;
  }
  return true;
}

bool Backint_Delete_Handler::delete_ebid_file() {
  for (const Input_File& entry : ebid_source_) {
    Catalog_Backup_File_Info info;
    // This system's own backups only (no origin is ever set here).
    System_Scope scope;
    if (!scope_for(entry.filename, scope)) {
      protocol_.write_delete_notfound(entry.id, entry.filename);
      continue;
    }
    const Lookup_Status in_local = catalog_.get_backup_file_from_local(entry.id, scope, info);
    const bool local = in_local.is_found();
    const Lookup_Status in_sets = local ? in_local : catalog_.get_backup_file_from_backupd(entry.id, "", scope, info);
    const bool found = in_sets.is_found();
    // A backint catalog that could not be read may hold the record even
    // when the backup-set catalog knows the EBID: "#DELETED" (with nothing
    // removed) or "#NOTFOUND" would let HANA forget a backup whose record
    // stays. The remaining entries would fail the same way.
    if (in_local.is_failed() || (!found && in_sets.is_failed())) {
      protocol_.write_error(entry.filename, "Failed to look up backup file %s in the catalogs\n", entry.id.c_str());
      return false;
    }
    if (!found) {
      protocol_.write_delete_notfound(entry.id, entry.filename);
      continue;
    }
    if (!boost::algorithm::starts_with(base_name(info.filename), base_name(entry.filename))) {
      protocol_.write_delete_notfound(entry.id, entry.filename);
      continue;
    }
    // Answering #DELETED for a record that is still there would make HANA
    // drop its own entry while the catalog keeps the backup.
    if (local && !backint_helper_.remove_file(info.ebid)) {
      protocol_.write_error(entry.filename, "Failed to remove backup file %s from backint catalog\n", entry.id.c_str());
      continue;
    }
    protocol_.write_deleted(entry.id, entry.filename);
  }
  return true;
}

}  // namespace sap_hana
