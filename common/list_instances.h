#ifndef SAP_HANA_LIST_INSTANCES_H
#define SAP_HANA_LIST_INSTANCES_H

#include <boost/regex.hpp>

#include <string>
#include <vector>

#include "agent/process/service_lister.h"
#include "agent/process/text_process_handler.h"
#include "common/hana_basic_type.h"

namespace sap_hana {

/// `hdbsrvutil -v` output line with the version: "version:" and the digits
/// and dots that follow.
extern const boost::regex GET_VERSION_RE;

/// Stores the version of every output line that GET_VERSION_RE finds a
/// match in (the last one wins) into the caller's string. Always returns 0.
class Get_Version_Line_Handler : public Text_Process_Handler {
 public:
  explicit Get_Version_Line_Handler(std::string& version);
  ~Get_Version_Line_Handler() override;
  int handle_stdout_line(const char* line, size_t len) override;

 private:
  std::string& version_;
};

/// The HANA instances started on this host, found from their start service
/// processes ("/usr/sap/<SID>/HDB<nn>/exe/sapstartsrv") and those processes'
/// environments.
///
/// Contract of list(): appends one record per instance (system ID, instance
/// number and name, host, executable directory, and the version that
/// `hdbsrvutil -v` reports, empty when it cannot be read), in the order the
/// processes are listed; several start services of one instance give one
/// record; a process that cannot be trusted (Environ_Getter::get_start_service:
/// logged), whose environment cannot be read, lacks the system ID or host
/// name, or has an instance number above 99 is skipped. False when
/// the process list cannot be read ("Failed to get HANA services") or no
/// start service runs; true otherwise, even when every process was skipped.
/// multi_container is left false (ask System_Controller). Each call looks
/// anew; no state.
class System_Instance_Lister {
 public:
  bool list(std::vector<System_Instance_Info>& infos);
  /// The instance `instance_name` of system `sid`; false when not started.
  bool list(System_Instance_Info& info, const std::string& sid, const std::string& instance_name);

 private:
  bool list_service(std::vector<Service_Info>& services);
  bool get_version(const std::string& dir_executable, std::string& version);
};

}  // namespace sap_hana

#endif
