#ifndef SAP_HANA_BACKUP_HANDLER_H
#define SAP_HANA_BACKUP_HANDLER_H

#include <string>

#include "backint/backup_basic_handler.h"

namespace sap_hana {

/// The data backup handler of `hana-backint -f backup` for the levels
/// complete, incremental, differential, metadata and initialvolume.
///
/// Run (execute_backup), every failure written as an error pair naming the
/// -i file and ending the run with false:
///  1. the level must be one of the above ("Level %d is not supported in
///     backup handler\n");
///  2. system information (multi-container, instance name); a failure is
///     only a #DEBUG line and the system is then taken as multi-container;
///  3. the input ("Failed to get input file\n" without any source);
///  4. load_conf ("Failed to load configuration\n");
///  5. with a job UUID, the job's database backup id is set to -s
///     ("Failed to update backup id\n");
///  6. the software-id line, then every source (Backint_Backup_Basic_Handler).
///
/// load_conf: the database from the last source's pipe name (the SID when
/// none); the job UUID from the tool option (parse_job_uuid); then the agent
/// job (load_job_options), else a new job at hana.conf's local backup
/// location (load_default_conf).
class Backint_Backup_Handler : public Backint_Backup_Basic_Handler {
 public:
  explicit Backint_Backup_Handler(const Backint_Info& info) : Backint_Backup_Basic_Handler(info) {}

  /// The value of the first "job_uuid=" of `tool_options`, up to the next
  /// ";" or the end. It counts only at the start or right after a ";";
  /// otherwise (and without any) `job_uuid` is left empty and false returned.
  static bool parse_job_uuid(const std::string& tool_options, std::string& job_uuid);

 protected:
  bool execute_backup() override;
  bool load_conf() override;
};

}  // namespace sap_hana

#endif
