#ifndef SAP_HANA_UTILS_H
#define SAP_HANA_UTILS_H

#include <ace/Basic_Types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "common/hana_paths.h"

namespace sap_hana {

/// The agent's HANA work directory, before "$COMPONENT" is replaced.
constexpr const char* kHanaWorkDir = hana_paths::kHanaWorkDir;
/// The group of every file shared with HANA.
constexpr const char* kSapGroup = "sapsys";
/// HANA's date format (UTC), always 24 characters.
constexpr const char* kHanaDateFormat = "%Y-%m-%dT%H:%M:%S.000Z";

/// Creates the parent directories of a file path (mode 0750).
bool create_base_dir(const char* path);

/// "<sid>_<instance name>", e.g. "HDB_HDB00".
std::string generate_instance_manager_name(const std::string& sid, const std::string& instance_name);
/// "<sid>_HDB<nn>".
std::string generate_instance_manager_name(const std::string& sid, ACE_UINT16 instance_number);

/// "HDB42" -> 42. False unless the name is "HDB" and two more characters
/// that read as a decimal number.
bool instance_name_to_number(const std::string& name, ACE_UINT16& number);
/// 7 -> "HDB07"; false for 100 and above.
bool instance_number_to_name(ACE_UINT16 number, std::string& name);

/// "2.00.045.00.1575639312" -> major 2, support package 45, patch 0.
bool parse_version_string(const std::string& version, ACE_UINT16& major, ACE_UINT32& support_package,
                          ACE_UINT16& patch);

/// Path of the on-demand log backup configuration of a system ("ondemand_<sid>"),
/// or of an instance / database ("log_backup_<sid>_<instance>[_<database>]").
bool ondemand_conf_path(const std::string& sid, const std::string& instance_name, const std::string& database,
                        std::string& path);

/// Parses a HANA time text ("%Y-%m-%dT%H:%M:%S%z").
bool hana_time_to_posix_time(const char* text, ACE_INT64& result);
/// Formats a time (0: now) as a HANA date.
std::string get_hana_format_date(time_t time);
/// Converts an ISO 8601 text to a HANA date. A 24-character text is taken to
/// be one already; null, empty or unreadable text gives the current time.
std::string iso8601_to_hana_format_date(const char* text);

/// Gives `path` the owner `user` (unchanged when null) and the group sapsys.
bool change_file_group_to_sap(const char* path, const char* user);
/// Makes the absolute directory path `path` passable: every directory along
/// it that exists, `path` included but never "/", gains the search bits of
/// `mode` and keeps the rest of its mode; every one that is missing is
/// created with `mode` (whatever the umask). False when a directory cannot
/// be created or changed, or an entry along the path is no directory.
bool change_directory_permission(const std::string& path, int mode);

/// Catalog configuration file of a restore from one system/database to another.
bool catalog_conf_file_name(const char* origin_sid, const char* origin_database, const char* target_sid,
                            const char* target_database, std::string& path);
/// Restore extension configuration file of a database.
bool restore_ext_conf_file(const char* sid, const char* database, std::string& path);
/// The backint pipe directory of a database.
bool database_pipe_path(const char* sid, const char* database, bool multi_container, std::string& path);

/// `text` with every regular-expression metacharacter escaped, so that a
/// name (a SID) can be put into a pattern and match only itself.
std::string regex_escape(const std::string& text);

/// Path of the access key file that hands hana-backint the server address
/// and the encrypted access key.
std::string access_key_file();
/// Writes the access key file unless it already holds the agent's current
/// key. True when the file is current afterwards (or the agent has no key).
bool generate_access_key_file();

}  // namespace sap_hana

#endif
