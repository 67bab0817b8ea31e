#ifndef SAP_HANA_RECOVER_STATEMENT_H
#define SAP_HANA_RECOVER_STATEMENT_H

#include <string>

#include "job/restore_source_collector.h"

namespace sap_hana {

/// The RECOVER statement that restores one collected backup set into a
/// database of the target system.
///
/// Forms (parts joined exactly as written):
/// - full: "RECOVER DATA " [FOR <target> ] [source] then, with a HANA
///   catalog backup, "USING BACKUP_ID <id>" (+ " USING CATALOG BACKINT"
///   unless the version is below 1.00.100), without one "USING BACKINT
///   ('<set uuid>')"; then " CLEAR LOG;".
/// - point in time: "RECOVER DATABASE " [FOR <target> ] "UNTIL TIMESTAMP
///   '<time>' CLEAR LOG " [source] (" USING CATALOG BACKINT" unless below
///   1.00.100) " USING BACKUP_ID <id> CHECK ACCESS ALL" (+ " IGNORE DELTA
///   DATA BACKUPS" with ignore_delta); no closing semicolon.
/// - "FOR <target> " only for a tenant; the source, "USING SOURCE
///   '<db>@<sid>' " (multi-container target) or "USING SOURCE '<db>' ",
///   only when the origin's SID or database differs from the target's.
///
/// Every value is checked before it goes into the text, so a statement is
/// either well formed or not made at all: databases and SIDs must be HANA
/// identifiers, the time "YYYY-MM-DD HH:MM:SS", the set UUID letters,
/// digits and "-". A refusal is logged at error priority naming the value.
/// A value type; any thread.
class Recover_Statement {
 public:
  /// `target_sid`: the system restored into; `mdc`: it is multi-container;
  /// `ancient_version`: its version is below 1.00.100.
  Recover_Statement(const std::string& target_sid, bool mdc, bool ancient_version, bool ignore_delta);

  /// The full form when `set.is_full_backup`, else the point-in-time form;
  /// `with_catalog`: a HANA catalog backup was found for the set.
  bool generate(const Restore_Source_Collector::Backup_Set_Info& set, bool with_catalog, bool tenant,
                std::string& statement) const;

  /// "YYYY-MM-DD HH:MM:SS" with a month 01-12, a day 01-31, 00-23 hours and
  /// 00-59 minutes and seconds.
  static bool is_timestamp(const std::string& text);

 private:
  bool full(const Restore_Source_Collector::Backup_Set_Info& set, bool with_catalog, bool tenant,
            std::string& statement) const;
  bool point_in_time(const Restore_Source_Collector::Backup_Set_Info& set, bool tenant, std::string& statement) const;
  /// The FOR and USING SOURCE parts; false when a name is not acceptable.
  bool names(const Restore_Source_Collector::Backup_Set_Info& set, bool tenant, std::string& prefix,
             std::string& source) const;

  std::string sid_;
  bool mdc_;
  bool ancient_version_;
  bool ignore_delta_;
};

}  // namespace sap_hana

#endif
