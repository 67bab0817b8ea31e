#ifndef AGENT_CHECKSUM_FILTER_H
#define AGENT_CHECKSUM_FILTER_H

#include <array>
#include <cstdint>

#include "agent/io_filter.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

/// Passes bytes on unchanged and computes their SHA-256 digest. digest() is
/// valid after a successful finish(). The digest covers exactly the bytes
/// handed on, whether or not the next sink later fails.
class Checksum_Filter : public IO_Filter {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  explicit Checksum_Filter(IO_Sink& next);
  ~Checksum_Filter() override;

  bool write(const char* data, std::size_t size) override;
  const Digest& digest() const { return digest_; }

 protected:
  bool flush() override;

 private:
  EVP_MD_CTX* ctx_;
  Digest digest_{};
};

#endif
