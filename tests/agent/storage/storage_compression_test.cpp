// Compression names, suffixes and the decoders' handling of damaged streams.
#include <gtest/gtest.h>
#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own allocator, which replaces malloc's bookkeeping.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "agent/compress/compression_method.h"
#include "agent/compress/lzo_compress_filter.h"
#include "agent/compress/lzo_decompress_filter.h"
#include "agent/compress/zstd_compress_filter.h"
#include "agent/compress/zstd_decompress_filter.h"
#include "storage_test_support.h"

using namespace storage_test;

namespace {

TEST(Compression_Names, NamesValuesAndSuffixesMatch) {
  EXPECT_EQ(COMPR_ZSTD, compression_name_to_value("zstd", 4));
  EXPECT_EQ(COMPR_LZOP, compression_name_to_value("LZOP", 4));
  EXPECT_EQ(COMPR_AUTO, compression_name_to_value("auto", 4));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value("none", 4));
  // Only the given length counts, and it must be a whole name.
  EXPECT_EQ(COMPR_ZSTD, compression_name_to_value("zstd,level=3", 4));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value("zst", 3));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value("zstdx", 5));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value("gzip", 4));
  EXPECT_EQ(COMPR_NONE, compression_name_to_value(nullptr, 4));

  for (int m = COMPR_NONE; m < COMPR_MAX; ++m) {
    const char* name = compression_value_to_name(m);
    ASSERT_NE(nullptr, name);
    EXPECT_EQ(m, compression_name_to_value(name, strlen(name)));
  }
  EXPECT_EQ(nullptr, compression_value_to_name(COMPR_MAX));
  EXPECT_EQ(nullptr, compression_value_to_name(-1));

  EXPECT_STREQ(".zst", compression_value_to_suffix(COMPR_ZSTD));
  EXPECT_STREQ(".lzo", compression_value_to_suffix(COMPR_LZOP));
  EXPECT_STREQ("", compression_value_to_suffix(COMPR_NONE));
  EXPECT_STREQ("", compression_value_to_suffix(COMPR_AUTO));
  EXPECT_STREQ("", compression_value_to_suffix(42));
}

// Heap bytes in use by the process.
std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

class Discard_Sink : public IO_Sink {
 public:
  bool write(const char*, std::size_t) override { return true; }
  bool finish() override { return true; }
};

TEST(Compression_Levels, ZstdLevelsStayWithinTheMemoryBudget) {
  EXPECT_EQ(3, Zstd_Compress_Filter::effective_level(0));
  EXPECT_EQ(1, Zstd_Compress_Filter::effective_level(-5));
  EXPECT_EQ(9, Zstd_Compress_Filter::effective_level(19));
  EXPECT_EQ(6, Zstd_Compress_Filter::effective_level(6));

  // What a stream's compressor holds while it works, at every level the
  // configuration accepts, with the most workers a stream gets.
  const std::string data = make_data(4u << 20);
  for (int level = 1; level <= 9; ++level) {
    Discard_Sink sink;
    const std::size_t before = heap_in_use();
    Zstd_Compress_Filter compress(sink, level, 2);
    ASSERT_TRUE(compress.write(data.data(), data.size()));
    const long long held = static_cast<long long>(heap_in_use()) - static_cast<long long>(before);
    ASSERT_TRUE(compress.finish());
    EXPECT_LT(held, 8ll << 20) << "level " << level;  // a stream's share of the bound
  }
}

std::string compress_lzo(const std::string& data, int level) {
  String_Sink sink;
  Lzo_Compress_Filter filter(sink, level);
  EXPECT_TRUE(filter.write(data.data(), data.size()));
  EXPECT_TRUE(filter.finish());
  return sink.text;
}

TEST(Lzo_Framing, HighLevelAndIncompressibleBlocksRoundTrip) {
  std::string data = make_data(700 * 1024);
  for (int level : {1, 9}) {
    std::string packed = compress_lzo(data, level);
    EXPECT_LT(packed.size(), data.size());
    String_Sink sink;
    Lzo_Decompress_Filter filter(sink);
    // Feeding one byte at a time crosses every header and body boundary.
    for (char c : packed) ASSERT_TRUE(filter.write(&c, 1)) << filter.error();
    ASSERT_TRUE(filter.finish()) << filter.error();
    EXPECT_TRUE(sink.text == data);
  }
}

TEST(Lzo_Framing, DamagedStreamsFailWithAReason) {
  std::string packed = compress_lzo(make_data(300 * 1024), 1);
  struct Case {
    std::string bytes;
    const char* error;
  } cases[] = {
      {std::string("\x7f\0\0\0", 4), "LZO stream is damaged: block length out of range"},
      {std::string("\0\0\x10\0\0\x10\0\0", 8), "LZO stream is damaged: stored length out of range"},
      {packed + "x", "LZO stream is damaged: data after the end marker"},
  };
  for (const Case& c : cases) {
    String_Sink sink;
    Lzo_Decompress_Filter filter(sink);
    EXPECT_FALSE(filter.write(c.bytes.data(), c.bytes.size()) && filter.finish());
    EXPECT_EQ(c.error, filter.error());
  }
  String_Sink sink;
  Lzo_Decompress_Filter truncated(sink);
  ASSERT_TRUE(truncated.write(packed.data(), packed.size() - 4));
  EXPECT_FALSE(truncated.finish());
  EXPECT_EQ("LZO stream is truncated", truncated.error());

  std::string flipped = packed;
  flipped[20] ^= 0x55;
  String_Sink sink2;
  Lzo_Decompress_Filter bad(sink2);
  EXPECT_FALSE(bad.write(flipped.data(), flipped.size()) && bad.finish());
}

TEST(Zstd_Frames, TruncatedAndTrailingBytesAreRefused) {
  std::string data = make_data(200 * 1024);
  String_Sink packed;
  Zstd_Compress_Filter compress(packed, 1);
  ASSERT_TRUE(compress.write(data.data(), data.size()));
  ASSERT_TRUE(compress.finish());

  String_Sink out;
  Zstd_Decompress_Filter cut(out);
  ASSERT_TRUE(cut.write(packed.text.data(), packed.text.size() / 2));
  EXPECT_FALSE(cut.finish());
  EXPECT_EQ("zstd decompression failed: the frame is truncated", cut.error());

  String_Sink out2;
  Zstd_Decompress_Filter trailing(out2);
  std::string extra = packed.text + "junk";
  EXPECT_FALSE(trailing.write(extra.data(), extra.size()));
  EXPECT_EQ("zstd decompression failed: unexpected data after the end of the frame", trailing.error());
}

}  // namespace

#include "agent/io/crc32c.h"

namespace {

TEST(Crc32c_Checksum, KnownValuesAndPiecewiseExtension) {
  EXPECT_EQ(0xE3069283u, Crc32c::extend(0, "123456789", 9));
  EXPECT_EQ(0u, Crc32c::extend(0, "", 0));
  // Any split, aligned or not, gives the checksum of the whole.
  std::string data = make_data(100003);
  std::uint32_t whole = Crc32c::extend(0, data.data(), data.size());
  std::uint32_t parts = Crc32c::extend(0, data.data(), 13);
  parts = Crc32c::extend(parts, data.data() + 13, 50000);
  parts = Crc32c::extend(parts, data.data() + 50013, data.size() - 50013);
  EXPECT_EQ(whole, parts);
}

}  // namespace

namespace {

// The fast path splits large inputs into lanes; every length around the
// lane boundaries must give what a byte-at-a-time table computes.
std::uint32_t reference_crc32c(const std::string& data) {
  std::uint32_t c = ~0u;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
  }
  return ~c;
}

TEST(Crc32c_Checksum, LargeInputsMatchTheReference) {
  std::string data = make_data(3 * 8192 * 2 + 100, 3);
  for (std::size_t size :
       {std::size_t{24575}, std::size_t{24576}, std::size_t{24577}, std::size_t{49152 + 99}, data.size()}) {
    std::string part = data.substr(0, size);
    EXPECT_EQ(reference_crc32c(part), Crc32c::extend(0, part.data(), part.size())) << size;
  }
}

}  // namespace
