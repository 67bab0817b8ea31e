#ifndef AGENT_CLIENT_IO_BASE_H
#define AGENT_CLIENT_IO_BASE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "agent/compress/compression_method.h"
#include "agent/io/rate_limits.h"
#include "agent/base/secure_string.h"

/// What every storage client shares: the transfer options, the last
/// failure's text and the byte counts of the last transfer.
class Client_IO_Base {
 public:
  /// Settings of a connection, given to connect().
  ///  - overwrite: put_file may replace an existing object (default false:
  ///    storing over an existing object fails and leaves it intact).
  ///  - max_seconds_retry, resumption_buffer_size, server_side_dedup: carried
  ///    for drivers that retry transient failures, resume transfers or
  ///    deduplicate on the server. The file pool driver has no transient
  ///    failures (a full disk or an I/O error stays so), cannot resume a
  ///    pipe, and stores every object whole, so it only keeps them.
  ///  - rate_limits: transfer windows (Rate_Limits), obeyed by every
  ///    transfer of the connection.
  ///  - compression_method, compression_level: how put_file stores; get_file
  ///    always decodes what the object's header says (COMPR_AUTO or any
  ///    other value alike).
  ///  - compression_workers: threads of the zstd library for one transfer
  ///    (0: compress on the transfer's own thread).
  ///  - pipe_timeout: seconds put_file waits for the writer of a named pipe
  ///    and get_file for its reader (Pipe_Opener); then the call fails.
  ///  - extra options: named texts for drivers (an access key, for example),
  ///    held as secure_string and never logged.
  struct Options {
    bool overwrite = false;
    std::size_t max_seconds_retry = 600;
    std::size_t resumption_buffer_size = 10485760;
    bool server_side_dedup = false;
    Rate_Limits rate_limits;
    Compression_Method compression_method = COMPR_NONE;
    int compression_level = 1;
    int compression_workers = 0;
    std::size_t pipe_timeout = 180;

    /// Sets (or replaces) the extra option `name`.
    void set_extra_option(const std::string& name, const secure_string& value) { extra_[name] = value; }
    /// True with the value when the extra option `name` is set.
    bool get_extra_option(const std::string& name, secure_string& value) const;
    const std::map<std::string, secure_string>& extra_options() const { return extra_; }

   private:
    std::map<std::string, secure_string> extra_;
  };

  Client_IO_Base() = default;
  Client_IO_Base(const Client_IO_Base&) = delete;
  Client_IO_Base& operator=(const Client_IO_Base&) = delete;
  virtual ~Client_IO_Base();

  /// Text of the last failure ("" after a success).
  const std::string& error() const { return error_; }
  /// Data bytes of the last transfer (before compression).
  std::uint64_t original_size() const { return original_size_; }
  /// Bytes the last transfer's object takes on the storage (compressed data
  /// plus the object's 128-byte envelope).
  std::uint64_t storage_size() const { return storage_size_; }

 protected:
  /// Records `text` as the failure and returns false.
  bool fail(const std::string& text) {
    error_ = text;
    return false;
  }
  void reset_transfer() {
    error_.clear();
    original_size_ = 0;
    storage_size_ = 0;
  }

  std::string error_;
  std::uint64_t original_size_ = 0;
  std::uint64_t storage_size_ = 0;
};

#endif
