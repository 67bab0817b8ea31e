#ifndef SAP_HANA_STARTED_INSTANCES_H
#define SAP_HANA_STARTED_INSTANCES_H

#include <vector>

#include "common/hana_basic_type.h"

namespace sap_hana {

/// The HANA instances started on this host (System_Instance_Lister::list),
/// appended to `infos`. Unlike the lister, a host on which no start service
/// runs has no started instance and is not a failure: false only when the
/// process list cannot be read.
bool list_started_instances(std::vector<System_Instance_Info>& infos);

}  // namespace sap_hana

#endif
