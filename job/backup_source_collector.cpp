#include "job/backup_source_collector.h"

#include <ace/Log_Msg.h>
#include <boost/algorithm/string/predicate.hpp>

#include <vector>

#include "agent/base/uri.h"
#include "agent/job/default_backup_job_source.h"
#include "common/hana_basic_type.h"
#include "common/system_control.h"

namespace sap_hana {

bool Backup_Source_Collector::collect(const Default_Backup_Job_Source& source) {
  const bool mdc = System_Controller(sid_).is_multi_container();
  for (const std::string& entry : source.entries()) {
    if (!boost::starts_with(entry, "hana")) {
      ACE_ERROR((LM_ERROR, "Failed to collect %s for HANA\n", entry.c_str()));
      return false;
    }
    std::vector<std::string> segments;
    URI::path_segments(URI::path(entry, true), segments, false);
    if (segments.size() < 2) {
      ACE_ERROR((LM_ERROR, "Failed to handle source entry %s\n", entry.c_str()));
      continue;
    }
    Database_Info info;
    info.instance = segments[1];
    if (segments.size() == 3) {
      info.database = segments[2];
      // The name goes into SQL text unquoted: only what HANA takes as a
      // plain identifier may pass.
      if (!is_hana_identifier(info.database)) {
        ACE_ERROR((LM_ERROR, "Invalid database name '%s' in source entry %s\n", info.database.c_str(), entry.c_str()));
        return false;
      }
      info.systemdb = !mdc || info.database == "SYSTEMDB";
    }
    sources_.push_back(info);
  }
  return true;
}

}  // namespace sap_hana
