#include "backint/backup_handler.h"

namespace sap_hana {

bool Backint_Backup_Handler::parse_job_uuid(const std::string& tool_options, std::string& job_uuid) {
  static const std::string key = "job_uuid=";
  job_uuid.clear();
  std::size_t pos = tool_options.find(key);
  if (pos == std::string::npos || (pos != 0 && tool_options[pos - 1] != ';')) return false;
  pos += key.size();
  std::size_t end = tool_options.find(';', pos);
  job_uuid = tool_options.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  return true;
}

bool Backint_Backup_Handler::execute_backup() {
  const std::string& in_file = info_.in_file;
  switch (info_.level) {
    case LEVEL_COMPLETE:
    case LEVEL_INCREMENTAL:
    case LEVEL_DIFFERENTIAL:
    case LEVEL_METADATA:
    case LEVEL_INITIALVOLUME:
      break;
    default:
      protocol_.write_error(in_file, "Level %d is not supported in backup handler\n", static_cast<int>(info_.level));
      return false;
  }
  if (!sid_.empty() && !collect_system_info(sid_, mdc_, instance_name_)) {
    protocol_.write_debug("Failed to collect system info\n");
    mdc_ = true;
  }
  if (!handle_input_file()) {
    protocol_.write_error(in_file, "Failed to get input file\n");
    return false;
  }
  if (!load_conf()) {
    protocol_.write_error(in_file, "Failed to load configuration\n");
    return false;
  }
  if (!job_uuid_.empty() && !backint_helper_.update_job_database_backup_id(job_uuid_, info_.database_backup_id)) {
    protocol_.write_error(in_file, "Failed to update backup id\n");
    return false;
  }
  return protocol_.write_out_file_version() && handle_source_file();
}

bool Backint_Backup_Handler::load_conf() {
  database_.clear();
  if (!source_files_.empty()) get_database_from_pipename(source_files_.back().filename, database_);
  if (database_.empty()) database_ = sid_;
  parse_job_uuid(tool_options_, job_uuid_);
  return load_job_options() || load_default_conf();
}

}  // namespace sap_hana
