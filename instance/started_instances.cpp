#include "instance/started_instances.h"

#include "agent/process/service_lister.h"
#include "common/list_instances.h"

namespace sap_hana {

bool list_started_instances(std::vector<System_Instance_Info>& infos) {
  if (System_Instance_Lister().list(infos)) return true;
  // The lister answers false both when it cannot read the process list and
  // when no start service runs (the lister's pattern); only the first is a
  // failure.
  std::vector<Service_Info> services;
  return Service_Lister::list_service("^/usr/sap/[A-Z][A-Z0-9]{2}/HDB[0-9][0-9]/exe/sapstartsrv( |$)", services, false,
                                      "C") == 0 &&
         services.empty();
}

}  // namespace sap_hana
