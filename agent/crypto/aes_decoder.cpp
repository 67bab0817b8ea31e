#include "agent/crypto/aes_decoder.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "agent/crypto/aes_codec_detail.h"

using namespace aes_codec_detail;

AES_Decoder::AES_Decoder(const void* data, std::size_t length, const void* key_material, std::size_t key_length,
                         bool printable, const char* mode, int /*flags*/) {
  if (mode == nullptr || std::strcmp(mode, "cbc") != 0 || data == nullptr) return;
  secure_string raw;
  if (printable) {
    if (!base64_decode(static_cast<const char*>(data), length, raw)) return;
  } else {
    raw.assign(static_cast<const char*>(data), length);
  }
  if (raw.size() < kIvSize + 16 + kTagSize || (raw.size() - kIvSize - kTagSize) % 16 != 0) return;
  unsigned char enc[32], mac_key[32], tag[kTagSize];
  derive_keys(key_material, key_length, enc, mac_key);
  const unsigned char* in = reinterpret_cast<const unsigned char*>(raw.data());
  std::size_t body = raw.size() - kTagSize;
  mac(mac_key, in, body, tag);
  if (CRYPTO_memcmp(tag, in + body, kTagSize) == 0) {
    secure_string plain;
    plain.resize(body);
    unsigned char* out = reinterpret_cast<unsigned char*>(&plain[0]);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n1 = 0, n2 = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, enc, in) == 1 &&
              EVP_DecryptUpdate(ctx, out, &n1, in + kIvSize, static_cast<int>(body - kIvSize)) == 1 &&
              EVP_DecryptFinal_ex(ctx, out + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (ok) {
      plain.resize(static_cast<std::size_t>(n1 + n2));
      result_ = std::move(plain);
      ok_ = true;
    }
  }
  OPENSSL_cleanse(enc, sizeof enc);
  OPENSSL_cleanse(mac_key, sizeof mac_key);
}
