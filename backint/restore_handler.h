#ifndef SAP_HANA_RESTORE_HANDLER_H
#define SAP_HANA_RESTORE_HANDLER_H

#include <string>
#include <vector>

#include "backint/restore_basic_handler.h"

namespace sap_hana {

class Backint_Stream_Pool;

/// `hana-backint -f restore`.
///
/// Run: the HANA environment (a failure is tolerated: NULL entries are then
/// answered #NOTFOUND), whether the system is multi-container, the input,
/// the restore configuration file; then "#SOFTWAREID", the EBID entries and
/// the NULL entries, each in input order.
///
/// The restore configuration file (restore_ext_conf_file of the SID and
/// database taken from the first destination: of the first NULL entry,
/// else of the first EBID entry) must be a JSON object; its optional
/// members "pool_uuid" and "log_pool_uuid" choose the pools in which data
/// and log/catalog objects are looked up, and "io_ctl" carries
/// "max_seconds_retry" (600), "resumption_buffer_size" (10485760) and the
/// rate limits of the transfers. A missing or malformed file ends the run
/// (logged, exit 1) before anything is written.
///
/// Per entry:
///  - EBID: looked up by EBID in the backint catalog, then in the
///    backup-set catalog. With Backint 1.50 the user id's SID must be this
///    instance's SID.
///  - NULL: looked up by base name in both catalogs (the newer backup
///    wins); the user id's SID must be this instance's SID. A catalog
///    backup is taken from the catalog configuration file instead while
///    hana.conf's "certification"/"restore_catalog_from_conf" is on.
///  - Both kinds find only backups of this system (its landscape id and
///    SID), or of the system the restore configuration names as
///    "origin_sid" when HANA names the object below that system's
///    /usr/sap/<SID>/ (a restore from another system that the agent's
///    restore job set up). Another system's backup is not found.
///  - Not found: `#NOTFOUND "<file>"`, the run goes on.
///  - A catalog that could not be read (the server kept failing, or
///    answered nonsense) is not "not found": the error pair "Failed to look
///    up backup file %s in the catalogs\n" ends the run (exit 1).
///  - Found: every entry is looked up before the first transfer starts.
///    An object saved from a pipe needs a writable named pipe as
///    destination; else the error pair "Failed to check destination file
///    %s\n" answers that entry.
///  - Transfers: the found entries are restored concurrently, at most
///    max_streams at a time ("io_ctl" "max_streams" of the restore
///    configuration, else hana.conf's "backint"/"max_streams", else 8). HANA
///    may open the pipes in any order, or one after another: a pipe is
///    opened without blocking, and its entry takes a stream only once HANA
///    has opened it for reading. A pipe that does not exist yet is waited
///    for too. A pipe still without a reader after hana.conf's
///    "backint"/"pipe_timeout" seconds (180; counted from the last moment
///    another transfer of the call was running) is answered with the error
///    pair "Failed to write date to '%s'\n". An entry whose reader is there
///    gets a stream: when no stream has moved data for a second while
///    entries with readers wait, those are started beyond max_streams (a
///    reader may drain the pipes it opened in any order). A reader that has
///    the pipe open but takes no data for pipe_timeout seconds, while no
///    other transfer of the call moves any, fails its entry with that error
///    pair too. A failed transfer (including a
///    checksum mismatch) answers its entry with that error pair too; the
///    other entries go on, and any error pair means exit code 1.
///  - Success: `#RESTORED "<ebid>" "<file>"` as soon as the entry is done.
class Backint_Restore_Handler : public Backint_Restore_Basic_Handler {
 public:
  explicit Backint_Restore_Handler(const Backint_Info& info);

  /// Splits a HANA pipe path such as
  /// "/usr/sap/ABC/SYS/global/hdb/backint/DB_T01/name" into SID "ABC" and
  /// database "T01". The fourth "/"-separated piece is the SID, or
  /// "<database>@<SID>". Otherwise the database is the second-to-last piece
  /// without its "DB_" prefix; a piece without the prefix is the database
  /// on a multi-container system and the SID names it on a single-container
  /// one. False (with a "#DEBUG" line) for an empty name or fewer than four
  /// pieces.
  bool parse_pipename(const std::string& pipename, std::string& sid, std::string& database);

 protected:
  bool execute_i() override;

  /// Reads the restore configuration file (see above) of the first
  /// destination's SID and database; false, logged, on any failure.
  bool load_ext_conf();
  /// Look up the EBID and the NULL entries, in input order, answering the
  /// ones not found; the found ones go to found_. False (the run ends before
  /// any transfer) when a catalog could not be read.
  bool restore_ebid_source();
  bool restore_null_source();

  /// A found entry and how to read it.
  struct Found {
    const Input_File* entry = nullptr;
    Catalog_Backup_File_Info info;
    Client_IO_Base::Options options;
    std::string location;
    std::string dataset;
    bool checked = false;  // the destination pipe passed check_destination_pipe
  };

  /// Restores the found entries concurrently (above); every entry is
  /// answered.
  void transfer_found();
  /// Storage options and the place to read from, on the caller's thread
  /// (the pool cache is not thread-safe); false with the error pair.
  bool prepare_transfer(Found& found);
  /// Reads the found object into the entry's destination (`fd` when opened
  /// already, else -1), reporting progress to `pool`; a pipe whose reader
  /// takes nothing while no other transfer of the call moves data fails
  /// after `pipe_timeout` seconds. False with the error pair written.
  bool restore_data(Found& found, int fd, Backint_Stream_Pool& pool, std::size_t pipe_timeout);

  bool mdc_ = false;
  Restore_Config restore_config_;
  bool to_restore_ = true;

 private:
  void start_transfer(Backint_Stream_Pool& pool, Found& found, int fd, std::size_t pipe_timeout);
  /// Fills `info` from the catalog configuration file of a catalog backup.
  bool load_catalog_conf(const Input_File& entry, Catalog_Backup_File_Info& info);
  const std::string& pool_for(const std::string& filename) const;
  /// Writes the error pair of an entry whose catalogs could not be read
  /// (`key`: its EBID or name); false.
  bool lookup_failed(const Input_File& entry, const std::string& key);

  std::vector<Found> found_;
};

}  // namespace sap_hana

#endif
