#ifndef SAP_HANA_RESTORE_JOB_OPTIONS_H
#define SAP_HANA_RESTORE_JOB_OPTIONS_H

#include "agent/job/job_options.h"

namespace sap_hana {

/// How a HANA restore job restores.
///
/// JSON form (parsed by Restore_Job_Options_Parser, written by generate()):
///   {"ignore_delta": <bool>}   optional, default false: restore from full
///                              data backups and logs only, skipping
///                              incremental and differential data backups.
class Restore_Job_Options : public Job_Options {
 public:
  Restore_Job_Options() = default;
  ~Restore_Job_Options() override;

  bool ignore_delta() const { return ignore_delta_; }
  void ignore_delta(bool value) { ignore_delta_ = value; }

  /// Writes {"ignore_delta": <bool>} into `gen`; 0, or -1 when the generator
  /// refuses a token.
  int generate(yajl_gen gen) const override;

 private:
  bool ignore_delta_ = false;
};

}  // namespace sap_hana

#endif
