#ifndef AGENT_COMPRESSION_METHOD_H
#define AGENT_COMPRESSION_METHOD_H

#include <cstddef>

/// Compression of stored objects. The numbers are stored in object headers
/// and travel in job options: never renumber them.
///   COMPR_NONE: stored as is.
///   COMPR_AUTO: on read, whatever the object's header says; on write, the
///               same as COMPR_NONE.
///   COMPR_LZOP: LZO1X blocks in our own framing (lzo_compress_filter.h).
///   COMPR_ZSTD: one zstd frame.
enum Compression_Method : int { COMPR_NONE = 0, COMPR_AUTO = 1, COMPR_LZOP = 2, COMPR_ZSTD = 3, COMPR_MAX = 4 };

/// The method named by the first `length` bytes of `name`: "none", "auto",
/// "lzop" or "zstd", compared without regard to case. Anything else, and a
/// null `name`, gives COMPR_NONE, so an unknown name stores uncompressed.
Compression_Method compression_name_to_value(const char* name, std::size_t length);

/// The name of `method` ("none", "auto", "lzop", "zstd"), or null for a
/// value outside the enumeration.
const char* compression_value_to_name(int method);

/// The object name suffix of `method`: ".lzo" for COMPR_LZOP, ".zst" for
/// COMPR_ZSTD, "" for every other value (never null).
const char* compression_value_to_suffix(int method);

#endif
