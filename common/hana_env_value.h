#ifndef SAP_HANA_HANA_ENV_VALUE_H
#define SAP_HANA_HANA_ENV_VALUE_H

#include <ace/Basic_Types.h>

#include <string>

namespace sap_hana {

/// The environment of one HANA instance, as Environ_Getter reads it from a
/// running HANA process and the system's configuration. A plain value: the
/// caller creates it and Environ_Getter fills it in place. A default value
/// has empty strings and instance number 0; fields the process environment
/// does not hold stay empty.
struct HANA_Env_Value {
  std::string dir_executable;      ///< DIR_EXECUTABLE, the instance's executable directory
  std::string hostname;            ///< HOSTNAME
  std::string instance_dir;        ///< DIR_INSTANCE, e.g. /usr/sap/HDB/HDB00
  std::string user;                ///< USER, the system's administration user
  ACE_UINT16 instance_number = 0;  ///< TINSTANCE, else the digits after "HDB" in instance_dir
  std::string sid;                 ///< SAPSYSTEMNAME
  std::string trace_dir;           ///< never set by Environ_Getter; for callers
  std::string landscape_id;        ///< [landscape] id of the custom nameserver.ini (get by SID only)
};

}  // namespace sap_hana

#endif
