#include "backint/backup_basic_handler.h"

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/regex.hpp>
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

#include "agent/base/directory_iterator.h"
#include "agent/io/fd_source.h"
#include "agent/io/pipe_opener.h"
#include "backint/backint_stream_pool.h"
#include "agent/base/natoi.h"
#include "agent/backupd/pool_utils.h"
#include "agent/base/snprintf_t.h"
#include "agent/base/string_sprintf.h"
#include "common/system_control.h"
#include "common/utils.h"
#include "common/hana_paths.h"

namespace sap_hana {

namespace {

const boost::regex profile_re("(\\S{3})_HDB(\\d+)_.*", boost::regex::perl);

}  // namespace

Backint_Backup_Basic_Handler::Backint_Backup_Basic_Handler(const Backint_Info& info) : Backint_Handler(info) {}

bool Backint_Backup_Basic_Handler::execute_i() { return get_system_env() && execute_backup(); }

bool Backint_Backup_Basic_Handler::handle_input_file() {
  std::vector<std::string> lines;
  if (!protocol_.read_input_lines(lines)) return false;
  for (const std::string& line : lines) {
    std::string option;
    if (Backint_Protocol::parse_tool_option(line, option)) {
      tool_options_ = option;
      continue;
    }
    Source source;
    if (!Backint_Protocol::parse_source(line, source)) {
      // A source line that cannot be read is answered, never skipped.
      if (boost::algorithm::starts_with(line, "#PIPE") || boost::algorithm::starts_with(line, "#FILE")) {
        const std::string name = Backint_Protocol::source_name_guess(line);
        protocol_.write_error(name, "Failed to read the input line of %s\n", name.c_str());
      }
      continue;
    }
    Source_File_Info file;
    file.type = source.type;
    file.filename = source.name;
    file.has_size = source.has_size;
    file.size = source.size;
    source_files_.push_back(file);
  }
  return !source_files_.empty();
}

bool Backint_Backup_Basic_Handler::collect_system_info(const std::string& sid, bool& mdc, std::string& instance_name) {
  if (sid.empty()) {
    protocol_.write_debug("Lack of sid\n");
    return false;
  }
  mdc = System_Controller(sid).is_multi_container();
  snprintf_t<256> profile_dir(hana_paths::kProfileDirFormat, sid.c_str());
  iterate_directory(profile_dir.c_str(), [&](const std::string& name, const struct dirent&) {
    boost::smatch m;
    if (!boost::regex_match(name, m, profile_re) || m[1] != sid) return true;
    ACE_UINT16 number = natoi<ACE_UINT16>(m[2].str().c_str());
    if (errno != 0) return true;
    std::string found;
    if (!instance_number_to_name(number, found)) return true;
    instance_name = found;
    return false;
  });
  if (instance_name.empty()) {
    protocol_.write_debug("Failed to get instance name\n");
    return false;
  }
  return true;
}

bool Backint_Backup_Basic_Handler::get_database_from_pipename(const std::string& pipename, std::string& database) {
  if (pipename.empty()) {
    protocol_.write_debug("Failed to get database name from empty pipename\n");
    return false;
  }
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, pipename, [](char c) { return c == '/'; });
  if (pieces.size() < 4) {
    protocol_.write_debug("Invalid pipe name\n");
    return false;
  }
  if (pieces[3] != sid_) return false;
  if (!mdc_) {
    database = sid_;
    return true;
  }
  const std::string& parent = pieces[pieces.size() - 2];
  database = parent.compare(0, 3, "DB_") == 0 ? parent.substr(3) : parent;
  return true;
}

void Backint_Backup_Basic_Handler::read_io_ctl(const json_value& io_ctl, bool rate_limits) {
  max_seconds_retry_ = 600;
  resumption_buffer_size_ = 10485760;
  server_side_dedup_ = false;
  // Each member on its own: one mistyped setting must not cost the others.
  try {
    object_get(io_ctl, "max_seconds_retry", max_seconds_retry_);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse io_ctl, %s\n", e.what());
  }
  try {
    object_get(io_ctl, "resumption_buffer_size", resumption_buffer_size_);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse io_ctl, %s\n", e.what());
  }
  try {
    object_get(io_ctl, "server_side_dedup", server_side_dedup_);
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse io_ctl, %s\n", e.what());
  }
  max_streams_ = 0;
  try {
    std::size_t streams = 0;
    if (object_get(io_ctl, "max_streams", streams)) {
      if (streams >= 1 && streams <= Backint_Local_Config::max_max_streams)
        max_streams_ = streams;
      else
        protocol_.write_debug("max_streams %zu of io_ctl is not within 1..%zu\n", streams,
                              Backint_Local_Config::max_max_streams);
    }
  } catch (const Json_Member_Error& e) {
    protocol_.write_debug("Failed to parse io_ctl, %s\n", e.what());
  }
  if (rate_limits) rate_limits_.from_json_in_object(io_ctl);
}

bool Backint_Backup_Basic_Handler::load_job_options() {
  if (job_uuid_.empty()) return false;
  Backint_Backup_Job_Info job;
  if (!backint_helper_.get_job(job_uuid_, job)) {
    protocol_.write_debug("Failed to get job info with uuid '%s'\n", job_uuid_.c_str());
    return false;
  }
  job_info_ = job;
  dir_ = snprintf_t<256>("%s/%s/%s/%llu", job_info_.host_uuid.c_str(), job_info_.landscape_id.c_str(),
                         database_.c_str(), static_cast<unsigned long long>(info_.database_backup_id))
             .c_str();
  auto io_ctl = job_info_.extended_attrs.find("io_ctl");
  if (io_ctl != job_info_.extended_attrs.end() && io_ctl->is_object()) read_io_ctl(*io_ctl, true);
  return true;
}

bool Backint_Backup_Basic_Handler::load_default_conf() {
  std::string location;
  if (!config_.get_local_backup_location(location)) {
    protocol_.write_debug("Failed to get local backup location");
    return false;
  }
  job_info_.clear();
  job_info_.location = location;
  generate_uuid(job_info_.uuid);
  job_info_.sid = sid_;
  job_info_.host_uuid = zero_uuid();
  job_info_.job_act_id = job_info_.uuid;
  job_info_.database = database_;
  const char* type = level_value_to_key(info_.level);
  job_info_.type = type ? type : "";
  job_info_.compression.clear();
  job_info_.landscape_id = landscape_id_;
  job_info_.database_backup_id = info_.database_backup_id;
  job_info_.extended_attrs["backup_time"] = get_hana_format_date(0);

  const unsigned long id = static_cast<unsigned long>(info_.database_backup_id);
  if (database_.empty())
    dir_ = snprintf_t<256>("%s/%lu", landscape_id_.c_str(), id).c_str();
  else
    dir_ = snprintf_t<256>("%s/%s/%lu", landscape_id_.c_str(), database_.c_str(), id).c_str();
  protocol_.write_debug("Backup HANA data to %s/%s\n", job_info_.location.c_str(), dir_.c_str());
  return backint_helper_.check_and_add_job(job_info_);
}

bool Backint_Backup_Basic_Handler::write_success(const std::string& ebid, std::uint64_t size, const std::string& file) {
  return protocol_.write_saved(ebid, file, size);
}

bool Backint_Backup_Basic_Handler::handle_source_file() {
  const std::string& in_file = info_.in_file;
  if (job_info_.location.empty() || dir_.empty()) {
    protocol_.write_error(in_file, "Failed to get location or directory\n");
    return false;
  }

  Client_IO_Base::Options options;
  options.max_seconds_retry = max_seconds_retry_;
  options.resumption_buffer_size = resumption_buffer_size_;
  options.server_side_dedup = server_side_dedup_;
  options.overwrite = true;
  options.rate_limits = rate_limits_;
  pools_.set_options_by_conf(options);

  std::string location = job_info_.location;
  if (!job_info_.pool_uuid.empty() && !is_zero_uuid(job_info_.pool_uuid)) {
    Pool_Info pool;
    if (!pools_.get_pool_info(job_info_.pool_uuid, pool, false, max_seconds_retry_)) {
      protocol_.write_error(in_file, "Failed to get pool %s info\n", job_info_.pool_uuid.c_str());
      return false;
    }
    if (!set_options_by_pool(options, pool)) {
      protocol_.write_error(in_file, "Failed to set I/O options by pool\n");
      return false;
    }
    location = pool.url;
    job_info_.location = location;
  }

  std::size_t max_streams = Backint_Local_Config::default_max_streams;
  std::size_t pipe_timeout = Backint_Local_Config::default_pipe_timeout;
  config_.stream_settings(max_streams, pipe_timeout);
  if (max_streams_ != 0) max_streams = max_streams_;
  const std::size_t streams = std::min(max_streams, source_files_.size());
  options.pipe_timeout = pipe_timeout;

  std::string suffix;
  if (!job_info_.compression.empty()) {
    Compression_Method method = compression_name_to_value(job_info_.compression.c_str(), job_info_.compression.size());
    if (method != COMPR_NONE) {
      options.compression_method = method;
      options.compression_level = job_info_.compression_level;
      if (method == COMPR_ZSTD) options.compression_workers = compression_workers(streams);
      suffix = compression_value_to_suffix(method);
    }
  }

  location_ = location;
  const std::string target = location + "/" + dir_;
  if (!io_.connect(target, options)) {
    protocol_.write_error(in_file, "failed to connect target '%s', %s\n", location.c_str(), io_.error().c_str());
    return false;
  }
  // HANA writes every pipe of a call at once, one per channel: served one
  // after another, a channel waits for the others and may exceed HANA's
  // response time-out. Each stream has a storage client of its own; a
  // failed source does not stop the others.
  std::atomic<bool> all_saved{true};
  Backint_Stream_Pool pool(streams);
  const auto submit = [&](const Source_File_Info& source, int fd) {
    pool.submit([this, &source, fd, &suffix, &options, &target, &pool, &all_saved] {
      if (!for_object(source.filename, [&] { return save_source(source, fd, suffix, options, target, pool); }))
        all_saved = false;
    });
  };
  std::vector<Attaching> pipes;
  for (const Source_File_Info& source : source_files_) {
    if (source.type == "pipe")
      pipes.push_back(Attaching{&source, -1});
    else
      submit(source, -1);
  }
  if (!attach_pipes(pipes, pool, std::chrono::seconds(pipe_timeout), submit)) all_saved = false;
  pool.wait();
  return all_saved;
}

bool Backint_Backup_Basic_Handler::attach_pipes(std::vector<Attaching>& pipes, Backint_Stream_Pool& pool,
                                                std::chrono::seconds timeout,
                                                const std::function<void(const Source_File_Info&, int)>& submit) {
  // Every pipe gets its reader at once, so that HANA can open it within its
  // response time-out however many pipes wait for a stream; a pipe takes a
  // stream once its writer is there (its writer blocks until then).
  bool ok = true;
  const auto fail = [&](const Attaching& pipe, const std::string& why) {
    if (pipe.fd >= 0) ::close(pipe.fd);
    protocol_.write_error(pipe.source->filename, "Failed to open the pipe, %s\n", why.c_str());
    ok = false;
  };
  const Pipe_Opener::Clock::time_point start = Pipe_Opener::Clock::now();
  const Pipe_Opener::Activity busy = [&pool] { return pool.busy_until(); };
  for (unsigned attempt = 0; !pipes.empty(); ++attempt) {
    for (auto it = pipes.begin(); it != pipes.end();) {
      std::string why;
      const Pipe_Opener::Attempt tried = Pipe_Opener::try_open_read(it->source->filename, O_CLOEXEC, true, it->fd, why);
      if (tried == Pipe_Opener::Attempt::waiting) {
        ++it;
        continue;
      }
      if (tried == Pipe_Opener::Attempt::failed)
        fail(*it, why);
      else
        submit(*it->source, it->fd);
      it = pipes.erase(it);
    }
    if (pipes.empty()) break;
    if (Pipe_Opener::Clock::now() >= Pipe_Opener::deadline(start, timeout, busy)) {
      const std::string seconds = std::to_string(timeout.count());
      for (const Attaching& pipe : pipes) {
        const std::string& path = pipe.source->filename;
        fail(pipe, pipe.fd < 0 ? "'" + path + "' did not appear within " + seconds + " seconds"
                               : "no writer opened '" + path + "' within " + seconds + " seconds");
      }
      break;
    }
    // A writer's first bytes end the wait at once; a missing pipe is looked
    // for again after the pause.
    std::vector<struct pollfd> attached;
    for (const Attaching& pipe : pipes)
      if (pipe.fd >= 0) attached.push_back(pollfd{pipe.fd, POLLIN, 0});
    const auto pause = Pipe_Opener::pause(attempt);
    if (attached.empty())
      std::this_thread::sleep_for(pause);
    else
      ::poll(attached.data(), attached.size(), static_cast<int>(pause.count()));
  }
  return ok;
}

int Backint_Backup_Basic_Handler::compression_workers(std::size_t streams) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cores = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  // With as many streams as cores, the streams' own threads keep the cores
  // busy; more threads would only take turns.
  if (streams == 0 || static_cast<std::size_t>(cores) <= streams) return 0;
  // Two workers already compress faster than the pipe fills at level 1;
  // more would only add buffers (each worker holds about 1.5 MiB).
  return static_cast<int>(std::min<std::size_t>(2, static_cast<std::size_t>(cores) / streams));
}

bool Backint_Backup_Basic_Handler::save_source(const Source_File_Info& source, int fd, const std::string& suffix,
                                               const Client_IO_Base::Options& options, const std::string& /*target*/,
                                               Backint_Stream_Pool& pool) {
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } opened{fd};
  std::string ebid;
  generate_uuid(ebid);
  const std::string base = base_name(source.filename);
  const std::string object = object_name(source, ebid) + suffix;
  // Connected to the pool itself (not `target` below it), whose opening
  // clears what killed writers left anywhere in it.
  const std::string stored_as = dir_ + "/" + object;
  Client_IO_Ex io;
  bool ok = io.connect(location_, options);
  if (ok) {
    if (opened.fd < 0) {
      std::string why;
      opened.fd = Pipe_Opener::open_read(source.filename, O_CLOEXEC, false, std::chrono::seconds(options.pipe_timeout),
                                         why, [&pool] { return pool.busy_until(); });
      if (opened.fd < 0) {
        protocol_.write_error(source.filename, "Failed to open the %s, %s\n", source.type.c_str(), why.c_str());
        return false;
      }
    }
    fd = opened.fd;
    opened.fd = -1;  // put_fd owns it
    Backint_Stream_Pool::Transfer moving(pool);
    io.object_id(ebid);
    ok = io.put_fd(fd, source.filename, stored_as, Client_IO_Ex::Progress_Callback());
  }
  // A size on the input line is HANA's hint, possibly an estimate: the
  // object holds what the stream delivers, and #SAVED says how much that was.
  if (ok && source.has_size && io.original_size() != source.size) {
    const std::string text = string_sprintf("%s was announced with %llu bytes and delivered %llu\n",
                                            source.filename.c_str(), static_cast<unsigned long long>(source.size),
                                            static_cast<unsigned long long>(io.original_size()));
    protocol_.write_debug("%s", text.c_str());
    ACE_ERROR((LM_WARNING, "%s", text.c_str()));
  }
  if (!ok) {
    protocol_.write_error(source.filename, "Failed to write data to storage, %s\n", io.error().c_str());
    return false;
  }
  const std::uint64_t original_size = io.original_size();
  const std::uint64_t storage_size = io.storage_size();
  if (!job_info_.uuid.empty()) {
    Backup_File_Info record;
    record.storage_path = stored_as;
    record.filename = base;
    record.origin_path = source.filename;
    record.size = original_size;
    record.storage_size = storage_size;
    record.extern_backup_id = ebid;
    record.source_type = source.type;
    // Where the object really is: a restore must find it through the pool
    // (or the location) it was written to, not through the job's nominal
    // location; and by-name lookups compare backup ids.
    record.location = location_;
    if (!is_zero_uuid(job_info_.pool_uuid)) record.pool_uuid = job_info_.pool_uuid;
    record.database_backup_id = info_.database_backup_id;
    bool added;
    {
      // One session to backupd serves every stream, one request at a time.
      std::lock_guard<std::mutex> lock(catalog_mutex_);
      added = backint_helper_.add_file(job_info_.uuid, record);
    }
    if (!added) {
      protocol_.write_error(source.filename, "Failed to add file info to database\n");
      discard_unregistered(io, stored_as, ebid);
      return false;
    }
  }
  return write_success(ebid, original_size, source.filename);
}

std::string Backint_Backup_Basic_Handler::object_name(const Source_File_Info& source, const std::string& ebid) const {
  // Two sources of one call under one base name would be one object: the
  // later would replace the earlier after both were answered #SAVED. The
  // first keeps the base name, every later one gets its EBID added.
  const std::string base = base_name(source.filename);
  for (const Source_File_Info& other : source_files_) {
    if (&other == &source) break;
    if (base_name(other.filename) == base) return base + "." + ebid;
  }
  return base;
}

void Backint_Backup_Basic_Handler::discard_unregistered(Client_IO_Ex& io, const std::string& object,
                                                        const std::string& ebid) {
  // HANA was told the source failed, so nothing may find it: the object
  // goes unless a later write replaced it (its id says whose it is), and so
  // does a record that backupd may have stored although its answer was lost.
  {
    std::lock_guard<std::mutex> lock(catalog_mutex_);
    Backup_File_Info stored;
    if (backint_helper_.get_file_by_ebid(ebid, stored) && !backint_helper_.remove_file(ebid))
      protocol_.write_debug("Failed to remove the catalog record of %s\n", ebid.c_str());
  }
  const Lookup_Status removed = io.remove_object(object, ebid);
  if (removed.is_failed()) protocol_.write_debug("Failed to remove %s, %s\n", object.c_str(), io.error().c_str());
}

}  // namespace sap_hana
