#ifndef AGENT_AES_CODEC_DETAIL_H
#define AGENT_AES_CODEC_DETAIL_H

// Internal helpers shared by AES_Encoder and AES_Decoder.

#include <cstddef>

#include "agent/base/secure_string.h"

namespace aes_codec_detail {

constexpr std::size_t kIvSize = 16;
constexpr std::size_t kTagSize = 32;

/// Derives the cipher key and the MAC key (32 bytes each) from the material.
void derive_keys(const void* material, std::size_t length, unsigned char enc[32], unsigned char mac[32]);
/// HMAC-SHA-256 of data under key.
void mac(const unsigned char key[32], const unsigned char* data, std::size_t length, unsigned char out[kTagSize]);
secure_string base64_encode(const unsigned char* data, std::size_t length);
bool base64_decode(const char* text, std::size_t length, secure_string& out);

}  // namespace aes_codec_detail

#endif
