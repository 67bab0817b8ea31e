#ifndef AGENT_AES_DECODER_H
#define AGENT_AES_DECODER_H

#include <cstddef>

#include "agent/base/secure_string.h"

/// Reverses AES_Encoder with the same key material. Fails (empty result,
/// false) when the text is malformed, was altered, or the key is wrong.
class AES_Decoder {
 public:
  AES_Decoder(const void* data, std::size_t length, const void* key_material, std::size_t key_length,
              bool printable = true, const char* mode = "cbc", int flags = -1);
  AES_Decoder(const AES_Decoder&) = delete;
  AES_Decoder& operator=(const AES_Decoder&) = delete;

  explicit operator bool() const { return ok_; }
  const char* get() const { return result_.data(); }
  std::size_t length() const { return result_.size(); }

 private:
  secure_string result_;
  bool ok_ = false;
};

#endif
