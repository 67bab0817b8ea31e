#ifndef SAP_HANA_HANA_JOB_CREATOR_H
#define SAP_HANA_HANA_JOB_CREATOR_H

namespace sap_hana {

/// Creates the agent's HANA jobs (data backup, log backup, restore) from
/// their job definitions.
///
/// This version of the plug-in runs no HANA job yet: the creator exists so
/// that the agent can load it, and refuses every job.
class HANA_Job_Creator {
 public:
  HANA_Job_Creator() = default;
  virtual ~HANA_Job_Creator();
  HANA_Job_Creator(const HANA_Job_Creator&) = delete;
  HANA_Job_Creator& operator=(const HANA_Job_Creator&) = delete;

  /// The job for a definition of `type`: none yet. Logs "HANA jobs are not
  /// supported by this plug-in version" and returns null with errno ENOTSUP.
  virtual void* create(int type);
};

}  // namespace sap_hana

#endif
