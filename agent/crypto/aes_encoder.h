#ifndef AGENT_AES_ENCODER_H
#define AGENT_AES_ENCODER_H

#include <cstddef>

#include "agent/base/secure_string.h"

/// Encrypts data with AES-256 under a key derived from `key_material`
/// (SHA-256), with a fresh random IV and an HMAC-SHA-256 tag, so that the
/// decoder can refuse a wrong key or altered text. With `printable` the
/// result is base64 text (the form stored in files). Only the mode "cbc" is
/// supported; any other gives an empty, failed result.
class AES_Encoder {
 public:
  AES_Encoder(const void* data, std::size_t length, const void* key_material, std::size_t key_length,
              bool printable = true, const char* mode = "cbc", int flags = -1);
  AES_Encoder(const AES_Encoder&) = delete;
  AES_Encoder& operator=(const AES_Encoder&) = delete;

  explicit operator bool() const { return ok_; }
  const char* get() const { return result_.data(); }
  std::size_t length() const { return result_.size(); }

 private:
  secure_string result_;
  bool ok_ = false;
};

#endif
