#ifndef AGENT_POOL_INFO_H
#define AGENT_POOL_INFO_H

#include <string>

#include "agent/compress/compression_method.h"
#include "agent/json/json_access.h"

/// A storage pool as backupd describes it (GET /d2/r/v2/pools/<uuid>):
/// `url` is the pool's storage location, given to Client_IO_Ex::connect;
/// compression and deduplication are the pool's defaults for new objects.
struct Pool_Info {
  std::string uuid;
  std::string name;
  std::string url;
  Compression_Method compression = COMPR_NONE;
  int compression_level = 1;
  bool server_side_dedup = false;

  /// Reads the pool object: "uuid", "name", "url" (strings) are required;
  /// "compression" ("zstd", "lzop", "none"; other names mean none),
  /// "compression_level" (integer) and "server_side_dedup" (bool) are
  /// optional. False with `error` naming the member when a required one is
  /// missing or any is of the wrong kind; the record is then unchanged.
  bool from_json(const json_value& object, std::string& error);
};

#endif
