#ifndef SAP_HANA_NAMESERVER_CONFIG_PARSER_H
#define SAP_HANA_NAMESERVER_CONFIG_PARSER_H

#include <string>
#include <vector>

namespace sap_hana {

/// Reads the scale-out landscape of a HANA system from its custom
/// /usr/sap/<SID>/SYS/global/hdb/custom/config/nameserver.ini: landscape
/// id, master, worker and standby hosts, the active master name server, and
/// this host's role.
///
/// Contract: the file is read anew on every call. Results are bool (true on
/// success); read failures log one error line ("Failed to get value, file
/// '%s' does not exist", "Failed to get %s in %s, %s") unless logging is
/// switched off, which is_cluster() does for its own duration. Not to be
/// shared between threads while is_cluster() runs.
class Name_Server_Config_Parser {
 public:
  explicit Name_Server_Config_Parser(const std::string& sid);

  /// [landscape] id; empty when the file or the key cannot be read (no log).
  std::string get_landscape_uuid();
  /// `cluster` becomes true with two or more workers, or one worker and any
  /// standby. False (silently) when the worker list cannot be read.
  bool is_cluster(bool& cluster);
  /// `active` becomes true when [landscape] active_master is this system's
  /// host name (from /usr/sap/sapservices) followed by ":".
  bool is_active_master(bool& active);
  /// Blank-separated host lists of [landscape]; false when missing or empty.
  bool get_master(std::vector<std::string>& hosts);
  bool get_worker(std::vector<std::string>& hosts);
  bool get_standby(std::vector<std::string>& hosts);
  /// This host's role: the key "roles_<host>" at the top level of the file,
  /// or, where HANA keeps it, in section [landscape].
  bool get_role(std::string& role);

  const std::string& path() const { return path_; }

 protected:
  /// `key` is "section.key" (or a top-level key). An empty value counts as
  /// found.
  bool get_value(const char* key, std::string& value);
  bool get_value_and_split(const char* key, std::vector<std::string>& values);

 private:
  std::string sid_;
  std::string path_;
  bool disable_log_;
};

}  // namespace sap_hana

#endif
