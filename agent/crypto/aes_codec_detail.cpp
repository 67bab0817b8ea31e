#include "agent/crypto/aes_codec_detail.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>

namespace aes_codec_detail {

void derive_keys(const void* material, std::size_t length, unsigned char enc[32], unsigned char mac_key[32]) {
  for (int which = 0; which < 2; ++which) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const unsigned char label = static_cast<unsigned char>(which + 1);
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    EVP_DigestUpdate(ctx, material, length);
    EVP_DigestUpdate(ctx, &label, 1);
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, which == 0 ? enc : mac_key, &n);
    EVP_MD_CTX_free(ctx);
  }
}

void mac(const unsigned char key[32], const unsigned char* data, std::size_t length, unsigned char out[kTagSize]) {
  unsigned int n = 0;
  HMAC(EVP_sha256(), key, 32, data, length, out, &n);
}

secure_string base64_encode(const unsigned char* data, std::size_t length) {
  secure_string out;
  out.resize(4 * ((length + 2) / 3) + 1);
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(length));
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

bool base64_decode(const char* text, std::size_t length, secure_string& out) {
  if (length % 4 != 0) return false;
  out.resize(length / 4 * 3 + 1);
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]), reinterpret_cast<const unsigned char*>(text),
                          static_cast<int>(length));
  if (n < 0) return false;
  std::size_t size = static_cast<std::size_t>(n);
  // EVP_DecodeBlock counts the padding as zero bytes.
  if (length >= 1 && text[length - 1] == '=') --size;
  if (length >= 2 && text[length - 2] == '=') --size;
  out.resize(size);
  return true;
}

}  // namespace aes_codec_detail
