#ifndef SAP_HANA_BACKUP_BASIC_HANDLER_H
#define SAP_HANA_BACKUP_BASIC_HANDLER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "agent/io/rate_limits.h"
#include "backint/backint_handler.h"
#include "backint_catalog/backint_job.h"

namespace sap_hana {

/// What the data and the log backup handlers of hana-backint share.
///
/// A run (execute_i): the HANA environment of the calling instance
/// (get_system_env), then the derived handler's execute_backup(), which
/// reads the input ("#SOFTWAREID", "#TOOLOPTION", "#PIPE", "#FILE"),
/// resolves the catalog job (load_conf) and calls handle_source_file().
///
/// handle_source_file() streams the sources to the storage location of the
/// job (or of the job's pool) below `dir_`, registers each saved object in
/// the backint catalog under the job's UUID and answers
/// `#SAVED "<ebid>" "<file>" <size>` as soon as that source is done. HANA
/// writes all pipes of a call at once, so the sources are streamed
/// concurrently, each on a storage client of its own, at most max_streams
/// at a time (the job's "io_ctl" "max_streams", else hana.conf's
/// "backint"/"max_streams", else 8; 1..32); with 1 they go one after
/// another. Every pipe gets its reader at once, whatever the number of
/// streams, and takes a stream once its writer has come (in input order
/// among those ready). A pipe that does not exist yet or has no writer yet
/// is waited for up to hana.conf's "backint"/"pipe_timeout" seconds (180),
/// counted from when HANA was last busy with another pipe of the call. A
/// source that fails gets its own error pair
/// "#DEBUG <text>#ERROR "<file>"", leaves no object under its name (an
/// earlier one stays untouched) and no catalog record; the other sources go
/// on, and the run's result is false (exit code 1). Each file record names
/// the location it was written to, the job's pool (unless none or all-zero)
/// and the database backup id, so that a restore finds the object where it
/// is. A size on a source line is HANA's hint: the object holds what the
/// stream delivered, and a difference is noted in a "#DEBUG" line.
///
/// Job resolution helpers for the derived handlers:
///  - load_job_options(): the agent job named by `job_uuid_` from the
///    backint catalog; `dir_` = "<host_uuid>/<landscape_id>/<database>/<id>";
///    transfer settings and rate limits from its "io_ctl" attribute.
///  - load_default_conf(): a new job at the "local_backup" location of
///    hana.conf, registered with check_and_add_job.
///
/// One run per object; the streams run on threads of their own, the rest
/// on the caller's thread.
class Backint_Stream_Pool;

class Backint_Backup_Basic_Handler : public Backint_Handler {
 public:
  /// One "#PIPE" or "#FILE" source of the input.
  struct Source_File_Info {
    std::string type;  // "pipe" or "file"
    std::string filename;
    bool has_size = false;  // the input line gave a size
    std::uint64_t size = 0;
  };

  explicit Backint_Backup_Basic_Handler(const Backint_Info& info);

 protected:
  bool execute_i() override;
  virtual bool execute_backup() = 0;
  virtual bool load_conf() = 0;
  virtual bool handle_source_file();

  /// Reads the whole input: "#TOOLOPTION" (a later line replaces an earlier
  /// one) and the sources. True when at least one source was read.
  bool handle_input_file();
  /// `mdc` from global.ini; `instance_name` from the first profile
  /// "<SID>_HDB<nn>_*" of /usr/sap/<SID>/SYS/profile. False (with a #DEBUG
  /// line) for an empty SID or when no instance name was found.
  bool collect_system_info(const std::string& sid, bool& mdc, std::string& instance_name);
  /// The database of a pipe below /usr/sap/<sid_>: on a multi-container
  /// system the pipe's parent directory without a leading "DB_", else the
  /// SID. False when the name is empty or too short (#DEBUG line) or names
  /// another SID (no line).
  bool get_database_from_pipename(const std::string& pipename, std::string& database);
  bool load_job_options();
  bool load_default_conf();
  /// Takes the transfer settings of an "io_ctl" object (missing members keep
  /// their defaults; a member of the wrong kind is noted in a #DEBUG line and
  /// keeps its default) and, with `rate_limits`, its rate windows.
  void read_io_ctl(const json_value& io_ctl, bool rate_limits);
  bool write_success(const std::string& ebid, std::uint64_t size, const std::string& file);

  std::vector<Source_File_Info> source_files_;

  std::string tool_options_;
  Backint_Backup_Job_Info job_info_;
  std::size_t max_seconds_retry_ = 600;
  std::size_t resumption_buffer_size_ = 10485760;
  bool server_side_dedup_ = false;
  Rate_Limits rate_limits_;
  bool mdc_ = false;
  std::string instance_name_;
  std::string database_;
  std::string dir_;
  std::string job_uuid_;

 private:
  /// Streams one source on a storage client of its own; answers it (#SAVED
  /// or its error pair). Called on the pool's threads.
  /// `fd`: the source, opened already (owned from here on), or -1.
  bool save_source(const Source_File_Info& source, int fd, const std::string& suffix,
                   const Client_IO_Base::Options& options, const std::string& target, Backint_Stream_Pool& pool);
  /// The object name of `source` (an element of source_files_) without
  /// the compression suffix: its base name, unique within the call.
  std::string object_name(const Source_File_Info& source, const std::string& ebid) const;
  /// Removes what a source whose registration failed for good left: its
  /// object (only when it still holds `ebid`) and any catalog record.
  void discard_unregistered(Client_IO_Ex& io, const std::string& object, const std::string& ebid);
  /// A pipe source and its read end, opened without blocking (-1 until the
  /// pipe exists).
  struct Attaching {
    const Source_File_Info* source;
    int fd;
  };
  /// Attaches a reader to every pipe at once and submits each one once its
  /// writer has come; a pipe that does not appear or gets no writer within
  /// `timeout` (counted from when the pool was last busy) gets its error
  /// pair. False when any pipe failed so.
  bool attach_pipes(std::vector<Attaching>& pipes, Backint_Stream_Pool& pool, std::chrono::seconds timeout,
                    const std::function<void(const Source_File_Info&, int)>& submit);
  /// zstd's own threads per stream: the cores left over by `streams`, at
  /// most 2.
  static int compression_workers(std::size_t streams);

  std::string location_;         // the storage location the sources go to
  std::size_t max_streams_ = 0;  // "max_streams" of the job's io_ctl; 0: not set
  std::mutex catalog_mutex_;     // serialises the streams' catalog requests
};

}  // namespace sap_hana

#endif
