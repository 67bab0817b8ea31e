#ifndef SAP_HANA_INQUIRE_HANDLER_H
#define SAP_HANA_INQUIRE_HANDLER_H

#include <string>
#include <vector>

#include "backint/backint_handler.h"

namespace sap_hana {

/// `hana-backint -f inquire`: which backups exist.
///
/// Input (token reading of the base): "#EBID <ebid> [<name>]" asks for one
/// backup by EBID; "#NULL <name>" (or any other first word with a name)
/// asks by file name; "#NULL" alone asks for every backup of the
/// system. Other entries without a name are dropped; a line whose quote
/// is not closed is answered with the error pair "Failed to read the input
/// line of <name>\n" at once; an input with no entry and no "#NULL" alone
/// is answered with the error pair "Input file is empty\n" (exit 1).
///
/// Only backups of this system are answered (its landscape id and SID),
/// or of the origin system that the restore configuration of this system
/// and database names ("origin_sid") when HANA names the object below
/// that system's /usr/sap/<SID>/.
///
/// Answers, after "#SOFTWAREID":
///  - user id check: with Backint 1.50 the user id must name a database
///    ("<db>@<SID>"), and /usr/sap/<SID> must exist; else the single line
///    "#NOTFOUND" and exit 0.
///  - by name: every backup whose base name matches, from the backint
///    catalog and then the backup-set catalog (pages of 10), that still
///    exists on the storage: `#BACKUP "<ebid>" "<origin path>"` (plus
///    ` "<date>"` with 1.50); none: `#NOTFOUND "<file>"`. While hana.conf
///    says catalog backups are restored from the catalog configuration file
///    (the default), a catalog backup asked for by name is `#NOTFOUND`.
///  - by EBID: `#BACKUP "<ebid>" "<file>"` when a catalog knows the EBID
///    under a name beginning with the asked base name, else
///    `#NOTFOUND "<ebid>" "<file>"`; asked without a name, the file is the
///    one HANA saved it from, and `#NOTFOUND "<ebid>"`.
///  - all: one #BACKUP per backint catalog record of the system whose
///    object exists; "#NOTFOUND" alone when the catalog holds none.
/// Before each #BACKUP line the directory of the named file is created
/// (mode 0755; failures ignored) so HANA can make its pipe there.
///
/// A failed catalog request (after its retries) writes an error pair for
/// the entry, ends that kind of inquiry and the run with exit code 1; a
/// catalog that cannot be read never answers "#NOTFOUND". An object whose
/// pool cannot be read (location not supported, storage unreadable, object
/// damaged) is answered with the error pair "Failed to read backup file
/// <ebid> in its pool, <reason>" for its entry (by name: the asked file, no
/// further lines for it; all: its origin path); the other entries are
/// still answered and the run ends with exit code 1. Missing objects never
/// fail the run.
class Backint_Inquire_Handler : public Backint_Handler {
 public:
  struct Input_File {
    std::string id;  // EBID; empty for by-name entries
    std::string filename;
  };
  using Input_Files = std::vector<Input_File>;

  explicit Backint_Inquire_Handler(const Backint_Info& info);

 protected:
  bool execute_i() override;

  /// Reads the whole input into ebid_source_, null_source_ and inquire_all_.
  bool handle_input_file();
  /// False (with the single "#NOTFOUND" written) when the user id does not
  /// fit this inquiry.
  bool check_user_id();
  bool inquire_null_file();
  bool inquire_ebid_file();
  bool inquire_all();

  bool write_success_msg(const std::string& file, const std::string& ebid, const std::string& date);
  bool write_notfound_msg(const std::string& file, const std::string& ebid);

  Input_Files ebid_source_;
  Input_Files null_source_;
  bool inquire_all_ = false;

 private:
  /// Pages through one catalog for `name`; `listed` becomes true when a
  /// #BACKUP line was written, `unreadable` when a listed object's pool
  /// could not be read (its #ERROR pair is written and the paging stops).
  /// False when the catalog could not be read.
  bool inquire_pages(bool local, const std::string& database, const System_Scope& scope, const Input_File& entry,
                     const std::string& name, bool& listed, bool& unreadable);
  /// The #ERROR pair of `file` whose object `ebid` is in a pool that cannot
  /// be read.
  void pool_unreadable(const std::string& file, const std::string& ebid, const Lookup_Status& status);
};

}  // namespace sap_hana

#endif
