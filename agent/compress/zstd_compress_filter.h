#ifndef AGENT_ZSTD_COMPRESS_FILTER_H
#define AGENT_ZSTD_COMPRESS_FILTER_H

#include <memory>
#include <vector>

#include "agent/io/io_filter.h"

typedef struct ZSTD_CCtx_s ZSTD_CCtx;

/// Compresses the stream into one zstd frame and hands the frame on in
/// blocks of up to 1 MiB. With `workers` above 0 the library compresses on
/// that many threads of its own (the frame stays one frame, readable by any
/// decoder); each costs about two jobs of input and output buffers. Levels
/// are clamped to 1..9 (0 means zstd's default, 3), and the window (1 MiB)
/// and the match tables are capped, so that a filter holds at most 6 MiB at
/// every level with up to two workers: the storage client's memory budget
/// per stream.
class Zstd_Compress_Filter : public IO_Filter {
 public:
  Zstd_Compress_Filter(IO_Sink& next, int level, int workers = 0);
  ~Zstd_Compress_Filter() override;

  bool write(const char* data, std::size_t size) override;

  /// The level actually used for `level`.
  static int effective_level(int level);

 protected:
  bool flush() override;

 private:
  bool drain(const char* data, std::size_t size, int mode);

  ZSTD_CCtx* ctx_;
  std::vector<char> out_;
};

#endif
