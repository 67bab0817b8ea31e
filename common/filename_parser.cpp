#include "common/filename_parser.h"

#include <ace/Log_Msg.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/regex.hpp>

namespace sap_hana {

const char* const Filename_Parser::LOG_FILE_RE = "log_backup_(\\d+)_(\\d+)_(\\d+)_(\\d+).(\\d+)";
const char* const Filename_Parser::FULL_BACKUP_FILE_RE = "(.+)_databackup_(\\d+)_(\\d+).*";
const char* const Filename_Parser::DELTA_BACKUP_FILE_RE =
    "(.+)_databackup_(differential|incremental)_(\\d+)_(\\d+)_(\\d+)_(\\d+)";

namespace {

const boost::regex log_file_re(Filename_Parser::LOG_FILE_RE, boost::regex::perl);
const boost::regex full_backup_file_re(Filename_Parser::FULL_BACKUP_FILE_RE, boost::regex::perl);
const boost::regex delta_backup_file_re(Filename_Parser::DELTA_BACKUP_FILE_RE, boost::regex::perl);

// Decimal digits into T; digits beyond T's width wrap, as unsigned arithmetic does.
template <typename T>
T digits_to(const std::string& digits) {
  T value = 0;
  for (char c : digits) value = static_cast<T>(value * 10U + static_cast<unsigned>(c - '0'));
  return value;
}

}  // namespace

Filename_Parser::File_Type Filename_Parser::type(const std::string& name) {
  if (name == "log_backup_0_0_0_0") return TYPE_CATALOG;
  if (boost::algorithm::starts_with(name, "log_backup_")) return TYPE_LOG;
  if (boost::algorithm::contains(name, "_databackup_differential_")) return TYPE_DIFFERENTIAL_BACKUP;
  if (boost::algorithm::contains(name, "_databackup_incremental_")) return TYPE_INCREMENTAL_BACKUP;
  if (boost::algorithm::contains(name, "_databackup_")) return TYPE_FULL_BACKUP;
  return TYPE_UNKNOWN;
}

bool Filename_Parser::parse_log_file(const std::string& name, Log_File_Entry& entry) {
  boost::smatch m;
  if (!boost::regex_search(name, m, log_file_re)) {
    ACE_ERROR((LM_ERROR, "Failed to analyze log file name '%s'\n", name.c_str()));
    return false;
  }
  entry.volume_id = digits_to<ACE_UINT16>(m[1]);
  entry.partition_id = digits_to<ACE_UINT16>(m[2]);
  entry.first_position = digits_to<ACE_UINT64>(m[3]);
  entry.last_position = digits_to<ACE_UINT64>(m[4]);
  entry.backup_id = digits_to<ACE_UINT64>(m[5]);
  return true;
}

bool Filename_Parser::parse_full_backup_file(const std::string& name, Full_Backup_Entry& entry) {
  boost::smatch m;
  if (!boost::regex_search(name, m, full_backup_file_re)) {
    ACE_ERROR((LM_ERROR, "Failed to analyze full backup file name '%s'\n", name.c_str()));
    return false;
  }
  entry.prefix = m[1];
  entry.volume_id = digits_to<ACE_UINT16>(m[2]);
  entry.partition_id = digits_to<ACE_UINT16>(m[3]);
  return true;
}

bool Filename_Parser::parse_delta_backup_file(const std::string& name, Delta_Backup_Entry& entry) {
  boost::smatch m;
  if (!boost::regex_search(name, m, delta_backup_file_re)) {
    ACE_ERROR((LM_ERROR, "Failed to analyze delta backup file name '%s'\n", name.c_str()));
    return false;
  }
  entry.prefix = m[1];
  entry.depend_backup_id = digits_to<ACE_UINT64>(m[3]);
  entry.backup_id = digits_to<ACE_UINT64>(m[4]);
  entry.volume_id = digits_to<ACE_UINT16>(m[5]);
  entry.partition_id = digits_to<ACE_UINT16>(m[6]);
  return true;
}

}  // namespace sap_hana
