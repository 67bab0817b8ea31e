#include "backint/restore_handler.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <vector>

#include "agent/backupd/pool_utils.h"
#include "common/system_control.h"
#include "common/utils.h"

namespace sap_hana {

Backint_Restore_Handler::Backint_Restore_Handler(const Backint_Info& info) : Backint_Restore_Basic_Handler(info) {}

bool Backint_Restore_Handler::execute_i() {
  // A restore can still serve EBID entries without the instance's
  // environment; NULL entries then answer #NOTFOUND.
  get_system_env();
  mdc_ = System_Controller(sid_).is_multi_container();
  if (!handle_input_file() || !load_ext_conf()) return false;
  if (!protocol_.write_out_file_version()) return false;
  if (!restore_ebid_source() || !restore_null_source()) return false;
  return !unanswered_;
}

bool Backint_Restore_Handler::parse_pipename(const std::string& pipename, std::string& sid, std::string& database) {
  if (pipename.empty()) {
    protocol_.write_debug("Failed to parse pipe name from empty pipe name\n");
    return false;
  }
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, pipename, [](char c) { return c == '/'; });
  if (pieces.size() < 4) {
    protocol_.write_debug("Invalid pipe name\n");
    return false;
  }
  const std::string& fourth = pieces[3];
  std::size_t at = fourth.find('@');
  if (at != std::string::npos) {
    database = fourth.substr(0, at);
    sid = fourth.substr(at + 1);
    return true;
  }
  sid = fourth;
  const std::string& dir = pieces[pieces.size() - 2];
  if (boost::algorithm::starts_with(dir, "DB_"))
    database = dir.substr(3);
  else
    database = mdc_ ? dir : sid;
  return true;
}

bool Backint_Restore_Handler::load_ext_conf() {
  const Input_Files& first = null_source_.empty() ? ebid_source_ : null_source_;
  if (first.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get pipe name\n"));
    return false;
  }
  std::string sid, database;
  if (!parse_pipename(first.front().destname, sid, database)) {
    ACE_ERROR((LM_ERROR, "Failed to parse pipe name\n"));
    return false;
  }
  if (!config_.load_restore_config(sid, database, restore_config_)) return false;
  to_restore_ = restore_config_.pool_uuid.empty() && restore_config_.log_pool_uuid.empty();
  return true;
}

const std::string& Backint_Restore_Handler::pool_for(const std::string& filename) const {
  return is_log(base_name(filename)) ? restore_config_.log_pool_uuid : restore_config_.pool_uuid;
}

bool Backint_Restore_Handler::restore_ebid_source() {
  std::string database, sid;
  parse_userid(database, sid);
  for (std::size_t i = 0; i < ebid_source_.size(); ++i) {
    const Input_File& entry = ebid_source_[i];
    const std::string& pool = pool_for(entry.filename);
    Catalog_Backup_File_Info info;
    const Lookup_Status looked_up = catalog_.get_backup_file(entry.id, pool, info);
    if (looked_up.is_failed()) return lookup_failed(entry, entry.id);
    const bool found =
        looked_up.is_found() && !info.path.empty() && !info.filename.empty() && !(protocol_.is_v150() && sid != sid_);
    if (!found) {
      if (debug_mode() && !pool.empty())
        protocol_.write_debug("Failed to get backup file from pool '%s'\n", pool.c_str());
      if (!protocol_.write_restore_notfound(entry.filename)) return false;
      continue;
    }
    bool stop = false;
    if (!restore_found(info, entry, stop)) return false;
    if (stop) {
      if (i + 1 < ebid_source_.size()) unanswered_ = true;
      break;
    }
  }
  return true;
}

bool Backint_Restore_Handler::restore_null_source() {
  if (null_source_.empty()) return true;
  std::string database, sid;
  parse_userid(database, sid);
  const bool catalog_from_conf = config_.restore_catalog_from_config();
  for (std::size_t i = 0; i < null_source_.size(); ++i) {
    const Input_File& entry = null_source_[i];
    if (landscape_id_.empty()) {
      protocol_.write_debug("landscape_id is empty\n");
      if (!protocol_.write_restore_notfound(entry.filename)) return false;
      continue;
    }
    const std::string name = base_name(entry.filename);
    Catalog_Backup_File_Info info;
    bool found;
    if (catalog_from_conf && is_catalog(name)) {
      found = load_catalog_conf(entry, info);
    } else if (sid != sid_) {
      found = false;
    } else {
      const Lookup_Status looked_up = catalog_.get_backup_file(database, name, pool_for(entry.filename), info);
      if (looked_up.is_failed()) return lookup_failed(entry, name);
      found = looked_up.is_found() && !info.path.empty();
    }
    if (!found) {
      if (!protocol_.write_restore_notfound(entry.filename)) return false;
      continue;
    }
    bool stop = false;
    if (!restore_found(info, entry, stop)) return false;
    if (stop) {
      if (i + 1 < null_source_.size()) unanswered_ = true;
      break;
    }
  }
  return true;
}

bool Backint_Restore_Handler::load_catalog_conf(const Input_File& entry, Catalog_Backup_File_Info& info) {
  std::string file_sid, file_database, dest_sid, dest_database;
  if (!parse_pipename(entry.filename, file_sid, file_database) ||
      !parse_pipename(entry.destname, dest_sid, dest_database)) {
    protocol_.write_debug("Failed to handle catalog conf ''\n");
    return false;
  }
  return config_.load_catalog_config(file_sid, file_database, sid_, dest_database, info);
}

bool Backint_Restore_Handler::lookup_failed(const Input_File& entry, const std::string& key) {
  protocol_.write_error(entry.filename, "Failed to look up backup file %s in the catalogs\n", key.c_str());
  return false;
}

bool Backint_Restore_Handler::restore_found(const Catalog_Backup_File_Info& info, const Input_File& entry, bool& stop) {
  if (info.source_type == "pipe" && !check_destination_pipe(entry.destname)) {
    protocol_.write_error(entry.filename, "Failed to check destination file %s\n", entry.destname.c_str());
    stop = true;
    return true;
  }
  if (!for_object(entry.filename, [&] { return restore_data(info, entry); })) return false;
  return protocol_.write_restored(info.ebid, entry.filename);
}

bool Backint_Restore_Handler::restore_data(const Catalog_Backup_File_Info& info, const Input_File& entry) {
  Client_IO_Base::Options options = restore_config_.io;
  pools_.set_options_by_conf(options);
  Pool_Info pool;
  bool written;
  if (pools_.get_pool_info(info.pool_uuid, pool, to_restore_, options.max_seconds_retry)) {
    if (set_options_by_pool(options, pool) != 1) {
      protocol_.write_error(entry.filename, "Failed to set client I/O options \n");
      return false;
    }
    written = write_data(pool.url, info.storage_path, entry.destname, options, info.ebid);
  } else {
    written = write_data(info.path, info.filename, entry.destname, options, info.ebid);
  }
  if (!written) {
    protocol_.write_error(entry.filename, "Failed to write date to '%s'\n", entry.destname.c_str());
    return false;
  }
  return true;
}

}  // namespace sap_hana
