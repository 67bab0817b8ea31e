#include "backint/restore_basic_handler.h"

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/storage/client_io_ex.h"
#include "common/precondition.h"

namespace sap_hana {

Backint_Restore_Basic_Handler::Backint_Restore_Basic_Handler(const Backint_Info& info) : Backint_Handler(info) {}

bool Backint_Restore_Basic_Handler::handle_input_file() {
  std::vector<std::string> lines;
  const bool read_ok = protocol_.read_input_lines(lines);
  std::size_t malformed = 0;
  for (const std::string& line : lines) {
    Restore_Entry entry;
    const Backint_Protocol::Entry_Read read = Backint_Protocol::read_restore_entry(line, entry);
    if (read == Backint_Protocol::Entry_Read::malformed) {
      // Taken as it stands, the name would be waited for as a pipe.
      protocol_.write_error(entry.name, "Failed to read the input line of %s\n", entry.name.c_str());
      ++malformed;
    }
    if (read != Backint_Protocol::Entry_Read::entry) continue;
    Input_File file{entry.ebid, entry.name, entry.destination};
    (entry.ebid.empty() ? null_source_ : ebid_source_).push_back(file);
  }
  // A broken input stream may have cut entries off; restoring only the
  // ones read so far would look like a complete answer.
  if (!read_ok) {
    protocol_.write_error("NULL", "Failed to read input file\n");
    return false;
  }
  if (ebid_source_.empty() && null_source_.empty()) {
    if (malformed == 0) protocol_.write_error("NULL", "Input file is empty\n");
    return false;
  }
  return true;
}

// ACE's debug flag (environment variable ACE_DEBUG) rather than the log's
// priority mask: the mask lets debug messages through by default, and these
// lines go to HANA's output file, not to our log.
bool Backint_Restore_Basic_Handler::debug_mode() { return ACE::debug() != 0; }

bool Backint_Restore_Basic_Handler::write_data(const std::string& location, const std::string& dataset,
                                               const std::string& destination, Client_IO_Base::Options& options,
                                               const std::string& ebid, int fd, const std::function<void()>& progress,
                                               const Fd_Sink::Stall_Limit* stall) {
  // The reader of a pipe opened for us sees the end of the data, whatever
  // happens below, once the descriptor is closed.
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } opened{fd};
  if (location.empty()) {
    protocol_.write_debug("Lack of location\n");
    return false;
  }
  if (dataset.empty()) {
    protocol_.write_debug("Lack of dataset\n");
    return false;
  }
  if (destination.empty()) {
    protocol_.write_debug("Lack of destination file\n");
    return false;
  }
  options.compression_method = COMPR_AUTO;
  if (debug_mode()) protocol_.write_debug("Source file info: %s/%s\n", location.c_str(), dataset.c_str());

  Client_IO_Ex io;
  if (!io.connect(location, options)) {
    protocol_.write_debug("failed to connect target '%s', error = '%s'\n", location.c_str(), io.error().c_str());
    return false;
  }
  io.object_id(ebid);
  Client_IO_Ex::Progress_Callback moved;
  if (progress)
    moved = [&progress](std::uint64_t) {
      progress();
      return true;
    };
  bool ok;
  struct stat st {};
  if (opened.fd >= 0 && stall != nullptr && ::fstat(opened.fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
    // A reader that has the pipe open but takes nothing must not hold the
    // transfer for ever.
    ::fcntl(opened.fd, F_SETPIPE_SZ, 1 << 20);  // fewer wake-ups of the reader, as the client does
    Fd_Sink sink(opened.fd, destination, *stall);
    ok = io.get_stream(dataset, sink, moved);
  } else if (opened.fd >= 0) {
    const int handed = opened.fd;
    opened.fd = -1;
    ok = io.get_fd(dataset, handed, destination, moved);
  } else {
    ok = io.get_file(dataset, destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192, moved);
  }
  if (!ok) {
    protocol_.write_debug("Failed to write data to %s, %s", destination.c_str(), io.error().c_str());
    return false;
  }
  return true;
}

bool Backint_Restore_Basic_Handler::check_destination_pipe(const std::string& path) {
  const char* file = path.c_str();
  HANA_REQUIRE_NONEMPTY(file, false);
  struct stat st;
  if (::stat(file, &st) != 0) {
    // A missing path is no pipe; other stat failures say so.
    if (errno == ENOENT || errno == ENOTDIR)
      protocol_.write_debug("Destination pipe %s does not exist\n", file);
    else
      protocol_.write_debug("Failed to get '%s' stat\n", file);
    return false;
  }
  if (!S_ISFIFO(st.st_mode)) {
    protocol_.write_debug("Destination pipe %s does not exist\n", file);
    return false;
  }
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    protocol_.write_debug("Destination file %s has no write permission\n", file);
    return false;
  }
  return true;
}

}  // namespace sap_hana
