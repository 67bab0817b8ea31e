#ifndef SAP_HANA_RESTORE_BASIC_HANDLER_H
#define SAP_HANA_RESTORE_BASIC_HANDLER_H

#include <functional>
#include <string>
#include <vector>

#include "agent/io/fd_sink.h"
#include "agent/storage/client_io_base.h"
#include "backint/backint_handler.h"

namespace sap_hana {

/// The reading side of `hana-backint -f restore`: the restore input, the
/// transfer of one stored object into a pipe or file, and the check of a
/// destination pipe. Backint_Restore_Handler adds the configuration and the
/// catalog lookups.
///
/// Input: "#EBID <ebid> <name> [<destination>]" lines go to ebid_source_,
/// "#NULL <name> [<destination>]" lines to null_source_, each in input order
/// (token reading of the base; quoted EBIDs lose their quotes; without a
/// destination the name is the destination). Other lines are skipped; a
/// line whose quote is not closed is answered at once with the error pair
/// "Failed to read the input line of <name>\n".
///
/// Not thread-safe; one run per object, like every handler.
class Backint_Restore_Basic_Handler : public Backint_Handler {
 public:
  /// One object to restore.
  struct Input_File {
    std::string id;        // EBID; empty for #NULL lines
    std::string filename;  // the name HANA uses for the object
    std::string destname;  // the pipe or file to write
  };
  using Input_Files = std::vector<Input_File>;

  explicit Backint_Restore_Basic_Handler(const Backint_Info& info);

 protected:
  /// Reads the whole input into ebid_source_ and null_source_. An input
  /// without entries writes the error pair "Input file is empty\n" for
  /// "NULL" and fails; so does an input stream that fails.
  bool handle_input_file();

  /// Writes object `dataset` of storage `location` to `destination`
  /// (created or truncated, write-only). The compression method of
  /// `options` is set to automatic: the stored object says how it is coded.
  /// Every failure writes a "#DEBUG" line (no #ERROR: the caller names the
  /// file) and gives false; a checksum failure of the storage client counts
  /// as a failure even though the data went out. A non-empty `ebid` must be
  /// the one the object was stored under (an object that records another is
  /// refused before any data goes out). With `fd` (the destination, opened
  /// for writing by the caller) the data goes there; `fd` is closed in any
  /// case. With `stall` a pipe `fd` whose reader takes no data for that
  /// long fails the transfer (Fd_Sink::Stall_Limit). `progress` is called
  /// after every block read from the storage (it blocks while the
  /// destination takes nothing). May run on several threads at once.
  bool write_data(const std::string& location, const std::string& dataset, const std::string& destination,
                  Client_IO_Base::Options& options, const std::string& ebid = std::string(), int fd = -1,
                  const std::function<void()>& progress = std::function<void()>(),
                  const Fd_Sink::Stall_Limit* stall = nullptr);

  /// True when `file` is a named pipe with at least one write bit; false
  /// with a "#DEBUG" line naming the reason otherwise (an empty name is a
  /// precondition failure, logged at emergency priority).
  bool check_destination_pipe(const std::string& file);

  /// True when ACE's debug flag is set (ACE_DEBUG in the environment);
  /// enables the extra "#DEBUG" lines of a restore ("Source file info: ...",
  /// "Failed to get backup file from pool ...").
  static bool debug_mode();

  Input_Files ebid_source_;
  Input_Files null_source_;
};

}  // namespace sap_hana

#endif
