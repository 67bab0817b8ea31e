#ifndef SAP_HANA_BACKUP_JOB_OPTIONS_H
#define SAP_HANA_BACKUP_JOB_OPTIONS_H

#include "agent/compress/compression_method.h"
#include "agent/job/job_options.h"

namespace sap_hana {

/// The options of a HANA data or log backup job: how hana-backint stores the
/// backup. JSON form (every member optional):
///   {"compression": "<method name>", "compression_level": <integer>}
/// Defaults: no compression, level 1. A value type; not synchronised.
class Backup_Job_Options : public Job_Options {
 public:
  Backup_Job_Options() = default;
  ~Backup_Job_Options() override;

  /// Writes the JSON form into `gen`: "compression" only when the method has
  /// a name, then "compression_level". 0.
  int generate(yajl_gen gen) const override;

  Compression_Method compression_ = COMPR_NONE;
  int compression_level_ = 1;
};

}  // namespace sap_hana

#endif
