#include "backint/restore_handler.h"

#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "agent/backupd/pool_utils.h"
#include "agent/io/pipe_opener.h"
#include "backint/backint_stream_pool.h"
#include "common/system_control.h"
#include "common/utils.h"

namespace sap_hana {

namespace {

// How long no stream may move data while entries with readers wait for one.
constexpr std::chrono::seconds stall_grace(1);

}  // namespace

Backint_Restore_Handler::Backint_Restore_Handler(const Backint_Info& info) : Backint_Restore_Basic_Handler(info) {}

bool Backint_Restore_Handler::execute_i() {
  // A restore can still serve EBID entries without the instance's
  // environment; NULL entries then answer #NOTFOUND.
  get_system_env();
  mdc_ = System_Controller(sid_).is_multi_container();
  if (!handle_input_file() || !load_ext_conf()) return false;
  if (!protocol_.write_out_file_version()) return false;
  // Every lookup before the first transfer: the catalogs are asked on one
  // session, and a transfer never waits for a lookup.
  if (!restore_ebid_source() || !restore_null_source()) return false;
  transfer_found();
  return true;
}

bool Backint_Restore_Handler::parse_pipename(const std::string& pipename, std::string& sid, std::string& database) {
  if (pipename.empty()) {
    protocol_.write_debug("Failed to parse pipe name from empty pipe name\n");
    return false;
  }
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, pipename, [](char c) { return c == '/'; });
  if (pieces.size() < 4) {
    protocol_.write_debug("Invalid pipe name\n");
    return false;
  }
  const std::string& fourth = pieces[3];
  std::size_t at = fourth.find('@');
  if (at != std::string::npos) {
    database = fourth.substr(0, at);
    sid = fourth.substr(at + 1);
    return true;
  }
  sid = fourth;
  const std::string& dir = pieces[pieces.size() - 2];
  if (boost::algorithm::starts_with(dir, "DB_"))
    database = dir.substr(3);
  else
    database = mdc_ ? dir : sid;
  return true;
}

bool Backint_Restore_Handler::load_ext_conf() {
  const Input_Files& first = null_source_.empty() ? ebid_source_ : null_source_;
  if (first.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get pipe name\n"));
    return false;
  }
  std::string sid, database;
  if (!parse_pipename(first.front().destname, sid, database)) {
    ACE_ERROR((LM_ERROR, "Failed to parse pipe name\n"));
    return false;
  }
  if (!config_.load_restore_config(sid, database, restore_config_)) return false;
  to_restore_ = restore_config_.pool_uuid.empty() && restore_config_.log_pool_uuid.empty();
  origin_sid_ = restore_config_.origin_sid;
  return true;
}

const std::string& Backint_Restore_Handler::pool_for(const std::string& filename) const {
  return is_log(base_name(filename)) ? restore_config_.log_pool_uuid : restore_config_.pool_uuid;
}

bool Backint_Restore_Handler::restore_ebid_source() {
  std::string database, sid;
  parse_userid(database, sid);
  for (std::size_t i = 0; i < ebid_source_.size(); ++i) {
    const Input_File& entry = ebid_source_[i];
    const std::string& pool = pool_for(entry.filename);
    Catalog_Backup_File_Info info;
    System_Scope scope;
    Lookup_Status looked_up = Lookup_Status::not_found("another system's backup");
    if (scope_for(entry.filename, scope)) looked_up = catalog_.get_backup_file(entry.id, pool, scope, info);
    if (looked_up.is_failed()) return lookup_failed(entry, entry.id);
    const bool found =
        looked_up.is_found() && !info.path.empty() && !info.filename.empty() && !(protocol_.is_v150() && sid != sid_);
    if (!found) {
      if (debug_mode() && !pool.empty())
        protocol_.write_debug("Failed to get backup file from pool '%s'\n", pool.c_str());
      if (!protocol_.write_restore_notfound(entry.filename)) return false;
      continue;
    }
    Found item;
    item.entry = &entry;
    item.info = info;
    found_.push_back(std::move(item));
  }
  return true;
}

bool Backint_Restore_Handler::restore_null_source() {
  if (null_source_.empty()) return true;
  std::string database, sid;
  parse_userid(database, sid);
  const bool catalog_from_conf = config_.restore_catalog_from_config();
  for (std::size_t i = 0; i < null_source_.size(); ++i) {
    const Input_File& entry = null_source_[i];
    if (landscape_id_.empty()) {
      protocol_.write_debug("landscape_id is empty\n");
      if (!protocol_.write_restore_notfound(entry.filename)) return false;
      continue;
    }
    const std::string name = base_name(entry.filename);
    Catalog_Backup_File_Info info;
    System_Scope scope;
    bool found;
    if (catalog_from_conf && is_catalog(name)) {
      found = load_catalog_conf(entry, info);
    } else if (sid != sid_ || !scope_for(entry.filename, scope)) {
      found = false;
    } else {
      const Lookup_Status looked_up = catalog_.get_backup_file(database, name, pool_for(entry.filename), scope, info);
      if (looked_up.is_failed()) return lookup_failed(entry, name);
      found = looked_up.is_found() && !info.path.empty();
    }
    if (!found) {
      if (!protocol_.write_restore_notfound(entry.filename)) return false;
      continue;
    }
    Found item;
    item.entry = &entry;
    item.info = info;
    found_.push_back(std::move(item));
  }
  return true;
}

bool Backint_Restore_Handler::load_catalog_conf(const Input_File& entry, Catalog_Backup_File_Info& info) {
  std::string file_sid, file_database, dest_sid, dest_database;
  if (!parse_pipename(entry.filename, file_sid, file_database) ||
      !parse_pipename(entry.destname, dest_sid, dest_database)) {
    protocol_.write_debug("Failed to handle catalog conf ''\n");
    return false;
  }
  return config_.load_catalog_config(file_sid, file_database, sid_, dest_database, info);
}

bool Backint_Restore_Handler::lookup_failed(const Input_File& entry, const std::string& key) {
  protocol_.write_error(entry.filename, "Failed to look up backup file %s in the catalogs\n", key.c_str());
  return false;
}

void Backint_Restore_Handler::transfer_found() {
  if (found_.empty()) return;
  std::size_t max_streams = Backint_Local_Config::default_max_streams;
  std::size_t pipe_timeout = Backint_Local_Config::default_pipe_timeout;
  config_.stream_settings(max_streams, pipe_timeout);
  if (restore_config_.max_streams != 0) max_streams = restore_config_.max_streams;
  Backint_Stream_Pool pool(std::min(max_streams, found_.size()));
  const Pipe_Opener::Activity busy = [&pool] { return pool.busy_until(); };

  // HANA may open the pipes of a call in any order, and during a log replay
  // one after another: an entry whose pipe has no reader yet must not hold
  // a stream that another entry needs. So the pipes are opened here,
  // without blocking, and an entry takes a stream only once its reader is
  // there.
  std::vector<Found*> waiting;
  for (Found& found : found_) {
    const Input_File& entry = *found.entry;
    if (!prepare_transfer(found)) continue;
    struct stat st {};
    const bool exists = ::stat(entry.destname.c_str(), &st) == 0;
    if (found.info.source_type == "pipe" && exists && !check_destination_pipe(entry.destname)) {
      protocol_.write_error(entry.filename, "Failed to check destination file %s\n", entry.destname.c_str());
      continue;
    }
    if (found.info.source_type == "pipe" || (exists && S_ISFIFO(st.st_mode))) {
      found.checked = exists;
      waiting.push_back(&found);
    } else {
      start_transfer(pool, found, -1, pipe_timeout);
    }
  }

  const Pipe_Opener::Clock::time_point start = Pipe_Opener::Clock::now();
  for (unsigned attempt = 0;; ++attempt) {
    for (auto it = waiting.begin(); it != waiting.end();) {
      Found& found = **it;
      const Input_File& entry = *found.entry;
      int fd = -1;
      std::string why;
      Pipe_Opener::Attempt tried = Pipe_Opener::try_open_write(entry.destname, O_CLOEXEC, true, fd, why);
      if (tried == Pipe_Opener::Attempt::waiting) {
        ++it;
        continue;
      }
      it = waiting.erase(it);
      if (tried == Pipe_Opener::Attempt::failed) {
        protocol_.write_debug("Failed to write data to %s, %s\n", entry.destname.c_str(), why.c_str());
        protocol_.write_error(entry.filename, "Failed to write date to '%s'\n", entry.destname.c_str());
        continue;
      }
      // A pipe that appeared only now gets the check the others had.
      if (!found.checked && found.info.source_type == "pipe" && !check_destination_pipe(entry.destname)) {
        ::close(fd);
        protocol_.write_error(entry.filename, "Failed to check destination file %s\n", entry.destname.c_str());
        continue;
      }
      start_transfer(pool, found, fd, pipe_timeout);
    }
    // A reader may drain the pipes it opened in any order: when it waits
    // for one still queued behind streams whose readers take nothing, the
    // queued entries (every one has its reader) get streams of their own.
    if (pool.queued() > 0 && Pipe_Opener::Clock::now() - std::max(start, pool.last_progress()) >= stall_grace)
      pool.grow();
    if (waiting.empty() && pool.queued() == 0) break;
    if (!waiting.empty() &&
        Pipe_Opener::Clock::now() >= Pipe_Opener::deadline(start, std::chrono::seconds(pipe_timeout), busy)) {
      for (Found* found : waiting) {
        protocol_.write_debug("Failed to write data to %s, no reader opened it within %zu seconds\n",
                              found->entry->destname.c_str(), pipe_timeout);
        protocol_.write_error(found->entry->filename, "Failed to write date to '%s'\n", found->entry->destname.c_str());
      }
      waiting.clear();
    }
    std::this_thread::sleep_for(std::min(Pipe_Opener::pause(attempt), std::chrono::milliseconds(50)));
  }
  pool.wait();
}

void Backint_Restore_Handler::start_transfer(Backint_Stream_Pool& pool, Found& found, int fd,
                                             std::size_t pipe_timeout) {
  pool.submit([this, &pool, &found, fd, pipe_timeout] {
    const Input_File& entry = *found.entry;
    bool ok;
    {
      Backint_Stream_Pool::Transfer moving(pool);
      ok = for_object(entry.filename, [&] { return restore_data(found, fd, pool, pipe_timeout); });
    }
    if (ok) protocol_.write_restored(found.info.ebid, entry.filename);
  });
}

bool Backint_Restore_Handler::prepare_transfer(Found& found) {
  found.options = restore_config_.io;
  pools_.set_options_by_conf(found.options);
  Pool_Info pool;
  if (pools_.get_pool_info(found.info.pool_uuid, pool, to_restore_, found.options.max_seconds_retry)) {
    if (set_options_by_pool(found.options, pool) != 1) {
      protocol_.write_error(found.entry->filename, "Failed to set client I/O options \n");
      return false;
    }
    found.location = pool.url;
    found.dataset = found.info.storage_path;
  } else {
    found.location = found.info.path;
    found.dataset = found.info.filename;
  }
  return true;
}

bool Backint_Restore_Handler::restore_data(Found& found, int fd, Backint_Stream_Pool& pool, std::size_t pipe_timeout) {
  const Input_File& entry = *found.entry;
  const Fd_Sink::Stall_Limit stall{std::chrono::seconds(pipe_timeout), [&pool] { return pool.last_progress(); }};
  if (!write_data(
          found.location, found.dataset, entry.destname, found.options, found.info.ebid, fd,
          [&pool] { pool.progressed(); }, &stall)) {
    protocol_.write_error(entry.filename, "Failed to write date to '%s'\n", entry.destname.c_str());
    return false;
  }
  return true;
}

}  // namespace sap_hana
