#ifndef SAP_HANA_HANA_BASIC_TYPE_H
#define SAP_HANA_HANA_BASIC_TYPE_H

#include <ace/Basic_Types.h>

#include <string>

namespace sap_hana {

/// A HANA system. Plain value: default-constructed with empty strings and
/// false; copyable and movable.
struct System_Base_Info {
  std::string sid;               ///< system ID, e.g. "HDB"
  std::string localhost;         ///< host name under which the instance's services listen
  std::string version;           ///< HANA version text
  bool multi_container = false;  ///< a system database plus tenant databases
};

/// One instance of a HANA system. Plain value (numbers 0 by default).
struct System_Instance_Info {
  System_Base_Info system_info;
  ACE_UINT16 instance_number = 0;  ///< 0 to 99
  std::string instance_name;       ///< "HDB" and the two-digit instance number
  std::string version;
  std::string dir_executable;  ///< directory holding the instance's executables (hdbsql)
};

/// One database of a HANA system. Plain value.
struct Database_Info {
  System_Instance_Info instance_info;
  bool active = false;
  std::string name;  ///< "SYSTEMDB", a tenant's name, or the SID of a single-container system
  std::string description;
  std::string os_user;
  std::string os_group;
};

/// True when `name` may stand unquoted in SQL text as a HANA database name:
/// a letter first, then only letters, digits and underscores (ASCII).
bool is_hana_identifier(const std::string& name);

}  // namespace sap_hana

#endif
