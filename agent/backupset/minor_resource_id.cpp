#include "agent/backupset/minor_resource_id.h"

#include <cstdio>

#include <ace/Log_Msg.h>
#include <boost/algorithm/string/case_conv.hpp>
#include <openssl/evp.h>

namespace {

// Our own namespace for the name-based ids, so that they never collide
// with version 5 ids of the well-known namespaces.
const unsigned char kNamespace[16] = {0x6f, 0x1c, 0x2a, 0x93, 0x4e, 0x07, 0x4b, 0x5d,
                                      0x9a, 0x31, 0xd2, 0x58, 0xc4, 0x0e, 0x7b, 0x16};

}  // namespace

std::string compute_minor_resource_id(const std::string& resource_uuid, const std::string& database) {
  // A UUID holds no "/", so "<uuid>/<name>" names one pair only; its case
  // is folded because servers write UUIDs either way.
  const std::string name = boost::algorithm::to_lower_copy(resource_uuid) + "/" + database;
  std::string input(reinterpret_cast<const char*>(kNamespace), sizeof kNamespace);
  input += name;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) != 1 || length < 16) {
    ACE_ERROR((LM_ERROR, "Failed to compute the minor resource id: no SHA-1 digest\n"));
    return std::string();
  }
  digest[6] = static_cast<unsigned char>((digest[6] & 0x0f) | 0x50);
  digest[8] = static_cast<unsigned char>((digest[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", digest[0],
                digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7], digest[8], digest[9],
                digest[10], digest[11], digest[12], digest[13], digest[14], digest[15]);
  return std::string(text, 36);
}
