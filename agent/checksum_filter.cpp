#include "agent/checksum_filter.h"

#include <openssl/evp.h>

Checksum_Filter::Checksum_Filter(IO_Sink& next) : IO_Filter(next), ctx_(EVP_MD_CTX_new()) {
  if (ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    ctx_ = nullptr;
  }
}

Checksum_Filter::~Checksum_Filter() { EVP_MD_CTX_free(ctx_); }

bool Checksum_Filter::write(const char* data, std::size_t size) {
  if (ctx_ == nullptr) return fail("failed to set up the SHA-256 digest");
  if (EVP_DigestUpdate(ctx_, data, size) != 1) return fail("failed to compute the SHA-256 digest");
  return pass(data, size);
}

bool Checksum_Filter::flush() {
  if (ctx_ == nullptr) return fail("failed to set up the SHA-256 digest");
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_, digest_.data(), &length) != 1 || length != digest_.size())
    return fail("failed to compute the SHA-256 digest");
  return true;
}
