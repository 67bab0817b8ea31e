// What any member of group sapsys can do with hana-backint's access key
// file: decrypt it with the host UUID of agent.conf and print the key.
//   decode-access-key <access key file> <agent.conf>
#include <cstdio>
#include <string>

#include "agent/crypto/aes_decoder.h"
#include "agent/json/json_file.h"

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  json_value file, conf;
  if (!load_json(argv[1], file) || !load_json(argv[2], conf)) return 1;
  const std::string text = file.value("encoded_access_key", std::string());
  const std::string uuid = conf.value("host_uuid", std::string());
  AES_Decoder key(text.data(), text.size(), uuid.data(), uuid.size());
  if (!key) return 1;
  std::fwrite(key.get(), 1, key.length(), stdout);
  return 0;
}
