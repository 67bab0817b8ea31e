#include "agent/storage/client_io_ex.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/base/file_utils.h"
#include "agent/io/checksum_filter.h"
#include "agent/io/count_filter.h"
#include "agent/io/crc32c.h"
#include "agent/io/fd_sink.h"
#include "agent/io/fd_source.h"
#include "agent/io/pipe_opener.h"
#include "agent/storage/file_storage_driver.h"
#include "agent/compress/lzo_compress_filter.h"
#include "agent/compress/lzo_decompress_filter.h"
#include "agent/storage/object_envelope.h"
#include "agent/io/rate_limit_filter.h"
#include "agent/io/thread_handoff_filter.h"
#include "agent/compress/zstd_compress_filter.h"
#include "agent/compress/zstd_decompress_filter.h"

namespace {

// Uncompressed backups move big blocks: fewer system calls between the pipe
// and the pool file. Where the data passes through a compressor (which
// copies it into buffers of its own) or goes into a pipe, smaller blocks stay
// in the processor's caches between the copy in, the checksum and the copy
// out, which is faster with several streams and needs less memory.
constexpr std::size_t big_block_size = 1u << 20;
constexpr std::size_t block_size = 256u << 10;
constexpr std::size_t handoff_blocks = 4;
constexpr int pipe_size = 1 << 20;

// A bigger pipe buffer means fewer wake-ups of the process at the other end.
void enlarge_pipe(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) ::fcntl(fd, F_SETPIPE_SZ, pipe_size);
}

// Bytes of the stored payload, in order, up to its recorded end.
class Payload_Source : public IO_Source {
 public:
  Payload_Source(Storage_Driver::Reader& reader, std::uint64_t size) : reader_(reader), left_(size) {}

  ssize_t read(char* buffer, std::size_t size) override {
    if (left_ == 0) return 0;
    if (size > left_) size = static_cast<std::size_t>(left_);
    ssize_t n = reader_.read(buffer, size);
    if (n < 0) return fail(reader_.error());
    if (n == 0) return fail("stored object ended early");
    left_ -= static_cast<std::uint64_t>(n);
    return n;
  }

 private:
  Storage_Driver::Reader& reader_;
  std::uint64_t left_;
};

// A failure of the destination speaks for itself; one of the decoders is
// about the stored object, so the object is named.
std::string chain_error(const IO_Sink& chain, const IO_Sink& destination, const std::string& object) {
  if (!destination.error().empty() && chain.error() == destination.error()) return chain.error();
  return "'" + object + "': " + chain.error();
}

}  // namespace

Client_IO_Ex::Client_IO_Ex() : clock_(&Rate_Clock::system()) {}

Client_IO_Ex::~Client_IO_Ex() = default;

bool Client_IO_Ex::connect(const std::string& location, const Options& options) {
  reset_transfer();
  std::string path = location;
  if (path.compare(0, 7, "file://") == 0) {
    path.erase(0, 7);
    if (path.compare(0, 9, "localhost") == 0) path.erase(0, 9);
  }
  if (path.empty() || path[0] != '/') return fail("unsupported storage location '" + location + "'");
  auto* pool = new File_Storage_Driver(path);
  owned_driver_.reset(pool);
  driver_ = pool;
  // What killed writers left in the pool goes when it is next opened, not
  // only when someone writes into the same directory again.
  pool->remove_stale_temporaries();
  options_ = options;
  return true;
}

bool Client_IO_Ex::connect(Storage_Driver& driver, const Options& options) {
  reset_transfer();
  owned_driver_.reset();
  driver_ = &driver;
  options_ = options;
  return true;
}

bool Client_IO_Ex::check_connected() {
  if (driver_ != nullptr) return true;
  return fail("not connected to a storage location");
}

bool Client_IO_Ex::normalise(const std::string& name, std::string& out, bool allow_root) {
  out.clear();
  std::size_t i = 0;
  while (i < name.size()) {
    while (i < name.size() && name[i] == '/') ++i;
    if (i == name.size()) break;
    std::size_t end = name.find('/', i);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(i, end - i);
    if (part == "." || part == "..") return fail("invalid object name '" + name + "'");
    if (!out.empty()) out += '/';
    out += part;
    i = end;
  }
  if (out.empty() && !allow_root) return fail("invalid object name '" + name + "'");
  return true;
}

bool Client_IO_Ex::put_file(const std::string& source, const std::string& name, bool resume, int open_flags,
                            std::size_t /*block_hint*/, const Progress_Callback& callback) {
  reset_transfer();
  std::string object_id;
  object_id.swap(object_id_);  // this call's alone, even when it fails early
  if (resume) return fail("resuming a transfer is not supported");
  std::string why;
  int fd = Pipe_Opener::open_read(source, open_flags, false, std::chrono::seconds(options_.pipe_timeout), why);
  if (fd < 0) return fail(why);
  object_id_ = object_id;
  return put_fd(fd, source, name, callback);
}

bool Client_IO_Ex::put_fd(int fd, const std::string& source, const std::string& name,
                          const Progress_Callback& callback) {
  reset_transfer();
  Fd_Source input(fd, source, true);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    object_id_.clear();
    return fail("'" + source + "' is a directory");
  }
  enlarge_pipe(fd);
  if (S_ISREG(st.st_mode)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return put_stream(input, name, callback);
}

bool Client_IO_Ex::put_stream(IO_Source& source, const std::string& name, const Progress_Callback& callback) {
  reset_transfer();
  std::string object_id;
  object_id.swap(object_id_);
  if (object_id.size() > Object_Envelope::max_object_id)
    return fail("object id '" + object_id + "' is longer than " + std::to_string(Object_Envelope::max_object_id) +
                " bytes");
  std::string object;
  if (!check_connected() || !normalise(name, object, false)) return false;
  int method = options_.compression_method == COMPR_AUTO ? COMPR_NONE : options_.compression_method;
  if (method < COMPR_NONE || method >= COMPR_MAX) return fail("unknown compression method " + std::to_string(method));

  std::string why;
  std::unique_ptr<Storage_Driver::Writer> writer = driver_->open_write(object, options_.overwrite, why);
  if (!writer) return fail(why);

  char frame[Object_Envelope::header_size];
  Object_Envelope::Header header;
  header.compression = method;
  header.level = options_.compression_level;
  header.object_id = object_id;
  Object_Envelope::encode_header(header, frame);
  if (!writer->write(frame, sizeof frame)) return fail(writer->error());

  // Reading and checksumming here, straight into the handoff's blocks;
  // compressing, pacing and writing on the handoff's thread.
  Rate_Limit_Filter paced(*writer, options_.rate_limits, *clock_);
  Count_Filter stored(paced);
  std::unique_ptr<IO_Filter> compressor;
  if (method == COMPR_ZSTD)
    compressor.reset(new Zstd_Compress_Filter(stored, options_.compression_level, options_.compression_workers));
  if (method == COMPR_LZOP) compressor.reset(new Lzo_Compress_Filter(stored, options_.compression_level));
  Thread_Handoff_Filter handoff(compressor ? static_cast<IO_Sink&>(*compressor) : stored, handoff_blocks,
                                compressor ? block_size : big_block_size);

  std::uint64_t original = 0;
  std::uint32_t crc = 0;
  for (;;) {
    std::unique_ptr<char[]> block = handoff.acquire();
    if (!block) return fail(handoff.error());
    ssize_t n = source.read(block.get(), handoff.block_size());
    if (n < 0) return fail(source.error());
    if (n == 0) {
      handoff.release(std::move(block));
      break;
    }
    crc = Crc32c::extend(crc, block.get(), static_cast<std::size_t>(n));
    if (!handoff.submit(std::move(block), static_cast<std::size_t>(n))) return fail(handoff.error());
    original += static_cast<std::uint64_t>(n);
    if (callback && !callback(original)) return fail("transfer cancelled");
  }
  if (!handoff.finish()) return fail(handoff.error());

  Object_Envelope::Trailer trailer;
  trailer.original_size = original;
  trailer.payload_size = stored.count();
  trailer.checksum = crc;
  Object_Envelope::encode_trailer(trailer, frame);
  if (!writer->write(frame, sizeof frame)) return fail(writer->error());
  if (!writer->commit()) return fail(writer->error());
  original_size_ = original;
  storage_size_ = stored.count() + Object_Envelope::header_size + Object_Envelope::trailer_size;
  return true;
}

bool Client_IO_Ex::get_file(const std::string& name, const std::string& destination, int open_flags,
                            std::size_t /*block_hint*/, const Progress_Callback& callback) {
  reset_transfer();
  std::string object_id;
  object_id.swap(object_id_);  // this call's alone, even when it fails early
  std::string object;
  if (!check_connected() || !normalise(name, object, false)) return false;
  // A pipe is opened whatever happens, so that its reader is never left
  // waiting for a writer; a missing object then ends its data at once. A
  // regular file is not created for an object that does not exist.
  struct stat target {};
  bool fifo = ::stat(destination.c_str(), &target) == 0 && S_ISFIFO(target.st_mode);
  std::uint64_t stored = 0;
  Lookup_Status found = fifo ? Lookup_Status::found() : driver_->stat(object, stored);
  if (!found.is_found()) return fail(found.error());
  std::string why;
  int fd = Pipe_Opener::open_write(destination, open_flags & ~O_WRONLY, false,
                                   std::chrono::seconds(options_.pipe_timeout), why);
  if (fd < 0) return fail(why);
  object_id_ = object_id;
  return get_fd(object, fd, destination, callback);
}

bool Client_IO_Ex::get_fd(const std::string& name, int fd, const std::string& destination,
                          const Progress_Callback& callback) {
  struct stat st {};
  bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  enlarge_pipe(fd);
  Fd_Sink output(fd, destination);
  bool ok = get_stream(name, output, callback);
  if (ok && regular && ::fsync(fd) != 0) ok = fail("failed to sync '" + destination + "': " + strerror(errno));
  // A file this call created is only there after a crash once its
  // directory is synced too.
  if (ok && regular && !sync_directory(dirname_string(destination)))
    ok = fail("failed to sync the directory of '" + destination + "': " + strerror(errno));
  if (!ok && regular && ::ftruncate(fd, 0) != 0) {
    // The error of the transfer matters more; the truncation failure only adds to it.
    error_ += "; failed to truncate '" + destination + "': " + strerror(errno);
  }
  ::close(fd);
  return ok;
}

bool Client_IO_Ex::get_stream(const std::string& name, IO_Sink& destination, const Progress_Callback& callback) {
  reset_transfer();
  std::string wanted_id;
  wanted_id.swap(object_id_);
  std::string object;
  if (!check_connected() || !normalise(name, object, false)) return false;
  std::unique_ptr<Storage_Driver::Reader> reader;
  Object_Envelope::Header header;
  Object_Envelope::Trailer trailer;
  if (!open_object(object, reader, header, trailer).is_found()) return false;
  if (!wanted_id.empty() && !header.object_id.empty() && header.object_id != wanted_id)
    return fail("'" + object + "' holds object " + header.object_id + ", not " + wanted_id);
  std::uint64_t total = reader->size();
  if (header.compression != COMPR_NONE && header.compression != COMPR_ZSTD && header.compression != COMPR_LZOP)
    return fail("'" + object + "': unknown compression method " + std::to_string(header.compression));

  // Pacing, counting and writing run on the handoff's thread. Uncompressed
  // data is read straight into the handoff's blocks and checksummed there;
  // compressed data is decoded here and checksummed on the other thread, so
  // each thread gets about half of the work.
  Count_Filter delivered(destination);
  Rate_Limit_Filter paced(delivered, options_.rate_limits, *clock_);
  std::unique_ptr<Checksum_Filter> late_checksum;
  if (header.compression != COMPR_NONE) late_checksum.reset(new Checksum_Filter(paced));
  Thread_Handoff_Filter handoff(late_checksum ? static_cast<IO_Sink&>(*late_checksum) : paced, handoff_blocks,
                                block_size);
  std::unique_ptr<IO_Filter> decoder;
  if (header.compression == COMPR_ZSTD) decoder.reset(new Zstd_Decompress_Filter(handoff));
  if (header.compression == COMPR_LZOP) decoder.reset(new Lzo_Decompress_Filter(handoff));

  Payload_Source payload(*reader, trailer.payload_size);
  std::unique_ptr<char[]> buffer;
  if (decoder) buffer.reset(new char[block_size]);
  std::uint32_t crc = 0;
  std::uint64_t moved = 0;
  for (;;) {
    std::unique_ptr<char[]> block;
    char* into = buffer.get();
    if (!decoder) {
      block = handoff.acquire();
      if (!block) return fail(chain_error(handoff, destination, object));
      into = block.get();
    }
    ssize_t n = payload.read(into, block_size);
    if (n < 0) return fail("'" + object + "': " + payload.error());
    if (n == 0) {
      handoff.release(std::move(block));
      break;
    }
    bool ok = true;
    if (decoder) {
      ok = decoder->write(into, static_cast<std::size_t>(n));
    } else {
      crc = Crc32c::extend(crc, into, static_cast<std::size_t>(n));
      ok = handoff.submit(std::move(block), static_cast<std::size_t>(n));
    }
    if (!ok) return fail(chain_error(decoder ? static_cast<IO_Sink&>(*decoder) : handoff, destination, object));
    moved += static_cast<std::uint64_t>(n);
    if (callback && !callback(moved)) return fail("transfer cancelled");
  }
  buffer.reset();
  IO_Sink& front = decoder ? static_cast<IO_Sink&>(*decoder) : handoff;
  if (!front.finish()) return fail(chain_error(front, destination, object));
  if (late_checksum) crc = late_checksum->checksum();
  original_size_ = delivered.count();
  storage_size_ = total;
  if (delivered.count() != trailer.original_size || crc != trailer.checksum)
    return fail("checksum mismatch in '" + object + "': the stored object is corrupted");
  return true;
}

Lookup_Status Client_IO_Ex::open_object(const std::string& object, std::unique_ptr<Storage_Driver::Reader>& reader,
                                        Object_Envelope::Header& header, Object_Envelope::Trailer& trailer) {
  Lookup_Status opened = driver_->open_read(object, reader);
  if (!opened.is_found()) {
    fail(opened.error());
    return opened;
  }
  // An object whose envelope cannot be read is there but unusable: a
  // failure, never "not found", which would hide a damaged backup.
  if (!read_envelope(object, *reader, header, trailer)) return Lookup_Status::failed(error());
  return opened;
}

bool Client_IO_Ex::read_envelope(const std::string& object, Storage_Driver::Reader& source,
                                 Object_Envelope::Header& header, Object_Envelope::Trailer& trailer) {
  Storage_Driver::Reader* reader = &source;
  std::string why;
  std::uint64_t total = reader->size();
  const std::size_t envelope = Object_Envelope::header_size + Object_Envelope::trailer_size;
  if (total < envelope) return fail("'" + object + "': stored object is truncated or damaged (too short)");
  char frame[Object_Envelope::header_size];
  // The header is read in sequence, so the reader stands at the payload afterwards.
  if (reader->read(frame, sizeof frame) != static_cast<ssize_t>(sizeof frame))
    return fail(reader->error().empty() ? "'" + object + "': stored object is truncated" : reader->error());
  if (!Object_Envelope::decode_header(frame, header, why)) return fail("'" + object + "': " + why);
  if (!reader->read_at(total - Object_Envelope::trailer_size, frame, Object_Envelope::trailer_size))
    return fail(reader->error());
  if (!Object_Envelope::decode_trailer(frame, header.version, trailer, why)) return fail("'" + object + "': " + why);
  if (trailer.payload_size != total - envelope)
    return fail("'" + object + "': stored object is truncated or damaged (size mismatch)");
  return true;
}

Lookup_Status Client_IO_Ex::size(const std::string& name, std::uint64_t& size) {
  reset_transfer();
  std::string object;
  if (!check_connected() || !normalise(name, object, false)) return Lookup_Status::failed(error());
  std::unique_ptr<Storage_Driver::Reader> reader;
  Object_Envelope::Header header;
  Object_Envelope::Trailer trailer;
  Lookup_Status status = open_object(object, reader, header, trailer);
  if (status.is_found()) size = trailer.original_size;
  return status;
}

bool Client_IO_Ex::get_dir(const std::string& name, std::vector<std::string>& entries, int /*flags*/) {
  reset_transfer();
  std::string dir;
  if (!check_connected() || !normalise(name, dir, true)) return false;
  std::string why;
  if (!driver_->list(dir, entries, why)) return fail(why);
  return true;
}

Lookup_Status Client_IO_Ex::remove_object(const std::string& name, const std::string& object_id) {
  reset_transfer();
  std::string object;
  if (!check_connected() || !normalise(name, object, false)) return Lookup_Status::failed(error());
  Lookup_Status removed = driver_->remove_if(object, [&](Storage_Driver::Reader& reader) {
    Object_Envelope::Header header;
    Object_Envelope::Trailer trailer;
    return read_envelope(object, reader, header, trailer) && header.object_id == object_id;
  });
  if (!removed.is_found()) fail(removed.error());
  return removed;
}

bool Client_IO_Ex::remove(const std::string& name) {
  reset_transfer();
  std::string object;
  if (!check_connected() || !normalise(name, object, false)) return false;
  std::string why;
  if (!driver_->remove(object, why)) return fail(why);
  return true;
}
