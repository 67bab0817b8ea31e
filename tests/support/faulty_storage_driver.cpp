#include "faulty_storage_driver.h"

#include <string.h>

#include <cerrno>
#include <new>

namespace {

class Faulty_Writer : public Storage_Driver::Writer {
 public:
  Faulty_Writer(std::unique_ptr<Storage_Driver::Writer> inner, std::string name,
                const Faulty_Storage_Driver::Faults& faults)
      : inner_(std::move(inner)), name_(std::move(name)), faults_(faults) {}

  bool write(const char* data, std::size_t size) override {
    if (faults_.throw_after >= 0 && written_ + size > static_cast<std::uint64_t>(faults_.throw_after))
      throw std::bad_alloc();
    std::int64_t limit = -1;
    int code = 0;
    if (faults_.fail_write_after >= 0) {
      limit = faults_.fail_write_after;
      code = EIO;
    }
    if (faults_.no_space_after >= 0 && (limit < 0 || faults_.no_space_after < limit)) {
      limit = faults_.no_space_after;
      code = ENOSPC;
    }
    std::size_t take = size;
    if (limit >= 0) {
      std::uint64_t room = written_ >= static_cast<std::uint64_t>(limit) ? 0 : limit - written_;
      if (take > room) take = static_cast<std::size_t>(room);
    }
    if (take > 0 && !inner_->write(data, take)) return fail(inner_->error());
    written_ += take;
    if (take < size) return fail("failed to write '" + name_ + "': " + strerror(code));
    return true;
  }

  bool commit() override {
    if (faults_.fail_sync) {
      inner_.reset();
      return fail("failed to sync '" + name_ + "': " + strerror(EIO));
    }
    if (!inner_->commit()) return fail(inner_->error());
    return true;
  }

 private:
  std::unique_ptr<Storage_Driver::Writer> inner_;
  std::string name_;
  Faulty_Storage_Driver::Faults faults_;
  std::uint64_t written_ = 0;
};

class Faulty_Reader : public Storage_Driver::Reader {
 public:
  Faulty_Reader(std::unique_ptr<Storage_Driver::Reader> inner, std::int64_t corrupt_at)
      : inner_(std::move(inner)), corrupt_at_(corrupt_at) {}

  std::uint64_t size() const override { return inner_->size(); }

  ssize_t read(char* buffer, std::size_t size) override {
    ssize_t n = inner_->read(buffer, size);
    if (n < 0) return fail(inner_->error());
    corrupt(position_, buffer, static_cast<std::size_t>(n));
    position_ += static_cast<std::uint64_t>(n);
    return n;
  }

  bool read_at(std::uint64_t offset, char* buffer, std::size_t length) override {
    if (!inner_->read_at(offset, buffer, length)) {
      fail(inner_->error());
      return false;
    }
    corrupt(offset, buffer, length);
    return true;
  }

 private:
  void corrupt(std::uint64_t offset, char* buffer, std::size_t length) const {
    if (corrupt_at_ < 0) return;
    auto at = static_cast<std::uint64_t>(corrupt_at_);
    if (at >= offset && at < offset + length) buffer[at - offset] ^= 1;
  }

  std::unique_ptr<Storage_Driver::Reader> inner_;
  std::int64_t corrupt_at_;
  std::uint64_t position_ = 0;
};

}  // namespace

std::unique_ptr<Storage_Driver::Writer> Faulty_Storage_Driver::open_write(const std::string& name, bool overwrite,
                                                                          std::string& error) {
  std::unique_ptr<Writer> inner = inner_.open_write(name, overwrite, error);
  if (!inner) return nullptr;
  return std::unique_ptr<Writer>(new Faulty_Writer(std::move(inner), name, faults_));
}

Lookup_Status Faulty_Storage_Driver::open_read(const std::string& name, std::unique_ptr<Reader>& reader) {
  std::unique_ptr<Reader> inner;
  Lookup_Status status = inner_.open_read(name, inner);
  if (status.is_found()) reader.reset(new Faulty_Reader(std::move(inner), faults_.corrupt_read_at));
  return status;
}
