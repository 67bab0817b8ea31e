#ifndef SAP_HANA_DELETE_HANDLER_H
#define SAP_HANA_DELETE_HANDLER_H

#include <string>
#include <vector>

#include "backint/backint_handler.h"

namespace sap_hana {

/// `hana-backint -f delete`: forgets backups. Stored data is never removed
/// from the storage; only the backint catalog record goes.
///
/// Input: "#EBID <ebid> <name>" lines (token reading; quoted EBIDs lose
/// their quotes); other lines and "#EBID" lines without a name are
/// skipped, an "#EBID" line whose quote is not closed is answered with the
/// error pair "Failed to read the input line of <name>\n". No entry left:
/// the error pair "Input file is empty\n" (unless a line was answered so),
/// exit 1.
///
/// Only backups of this system (its landscape id and SID) are found; one
/// of another system is `#NOTFOUND`.
///
/// Per entry, after "#SOFTWAREID":
///  - found in the backint catalog under a name whose base name begins with
///    the asked one: its record is removed, then
///    `#DELETED "<ebid>" "<file>"`. When the removal fails, the error pair
///    "Failed to remove backup file %s from backint catalog\n" is written
///    instead, so HANA keeps the backup and can ask again;
///  - found only in the backup-set catalog (matching name): `#DELETED`,
///    nothing removed;
///  - otherwise `#NOTFOUND "<ebid>" "<file>"`.
/// Every entry is answered and the run succeeds once the input was read,
/// unless the catalogs cannot be read: then the entry gets the error pair
/// "Failed to look up backup file %s in the catalogs\n", the remaining
/// entries are not tried, and the run ends with exit code 1.
class Backint_Delete_Handler : public Backint_Handler {
 public:
  struct Input_File {
    std::string id;
    std::string filename;
  };
  using Input_Files = std::vector<Input_File>;

  explicit Backint_Delete_Handler(const Backint_Info& info);

 protected:
  bool execute_i() override;
  bool handle_input_file();
  bool delete_ebid_file();

  Input_Files ebid_source_;
};

}  // namespace sap_hana

#endif
