#include "agent/crypto/aes_encoder.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "agent/crypto/aes_codec_detail.h"

using namespace aes_codec_detail;

AES_Encoder::AES_Encoder(const void* data, std::size_t length, const void* key_material, std::size_t key_length,
                         bool printable, const char* mode, int /*flags*/) {
  if (mode == nullptr || std::strcmp(mode, "cbc") != 0 || (data == nullptr && length != 0)) return;
  unsigned char enc[32], mac_key[32];
  derive_keys(key_material, key_length, enc, mac_key);
  secure_string raw;
  raw.resize(kIvSize + length + 16 + kTagSize);
  unsigned char* out = reinterpret_cast<unsigned char*>(&raw[0]);
  bool ok = RAND_bytes(out, kIvSize) == 1;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n1 = 0, n2 = 0;
  ok = ok && ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, enc, out) == 1 &&
       EVP_EncryptUpdate(ctx, out + kIvSize, &n1, static_cast<const unsigned char*>(data), static_cast<int>(length)) ==
           1 &&
       EVP_EncryptFinal_ex(ctx, out + kIvSize + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (ok) {
    std::size_t body = kIvSize + static_cast<std::size_t>(n1 + n2);
    mac(mac_key, out, body, out + body);
    raw.resize(body + kTagSize);
    result_ = printable ? base64_encode(out, raw.size()) : raw;
    ok_ = true;
  }
  OPENSSL_cleanse(enc, sizeof enc);
  OPENSSL_cleanse(mac_key, sizeof mac_key);
}
