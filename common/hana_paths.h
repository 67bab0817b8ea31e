#ifndef SAP_HANA_HANA_PATHS_H
#define SAP_HANA_HANA_PATHS_H

#include "agent/base/agent_paths.h"

namespace sap_hana {

/// HANA's files on the host and the HANA integration's own, in one place
/// (the agent's directories come with agent/base/agent_paths.h). Formats
/// take the SID as their first "%s".
namespace hana_paths {

/// The start commands of every SAP instance of the host.
constexpr const char* kSapServices = "/usr/sap/sapservices";
/// /usr/sap/<SID>: the system's directory.
constexpr const char* kSystemDirFormat = "/usr/sap/%s";
/// /usr/sap/<SID>/<instance>, e.g. HDB00.
constexpr const char* kInstanceDirFormat = "/usr/sap/%s/%s";
/// The instance profiles.
constexpr const char* kProfileDirFormat = "/usr/sap/%s/SYS/profile";
/// The trace directory of instance number %s on host %s.
constexpr const char* kTraceDirFormat = "/usr/sap/%s/HDB%s/%s/trace";
constexpr const char* kGlobalIniFormat = "/usr/sap/%s/SYS/global/hdb/custom/config/global.ini";
constexpr const char* kNameserverIniFormat = "/usr/sap/%s/SYS/global/hdb/custom/config/nameserver.ini";
/// Where HANA makes the pipes of Backint objects (with a final "/").
constexpr const char* kBackintDirFormat = "/usr/sap/%s/SYS/global/hdb/backint/";

/// The HANA integration's work directory: access key, ondemand, catalog
/// and restore configuration files.
constexpr const char* kHanaWorkDir = "/var/opt/corvane/strovix3/$COMPONENT/hana";
/// hana-backint's service configuration.
constexpr const char* kBackintSvcConf = "/etc/opt/corvane/strovix3/agent/backint/svc.conf";
/// "hana.conf" lives in agent_paths::kComponentConfigDir.
constexpr const char* kHanaConfName = "hana.conf";

}  // namespace hana_paths

}  // namespace sap_hana

#endif
