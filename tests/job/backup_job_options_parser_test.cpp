#include <gtest/gtest.h>
#include <yajl/yajl_gen.h>

#include <string>

#include "job/backup_job_options.h"
#include "job/backup_job_options_parser.h"

using namespace sap_hana;

namespace {

/// Parses `text`; the parse's result code, and the options when it succeeded.
int parse(const std::string& text, Backup_Job_Options* out = nullptr) {
  Backup_Job_Options_Parser parser;
  std::string error;
  int rc = parser.parse(text.data(), text.size(), error);
  if (rc == 0 && out != nullptr) {
    auto* options = dynamic_cast<Backup_Job_Options*>(parser.result().get());
    EXPECT_NE(options, nullptr);
    if (options != nullptr) {
      out->compression_ = options->compression_;
      out->compression_level_ = options->compression_level_;
    }
  }
  return rc;
}

std::string generated(const Backup_Job_Options& options) {
  yajl_gen gen = yajl_gen_alloc(nullptr);
  options.generate(gen);
  const unsigned char* buf = nullptr;
  size_t len = 0;
  yajl_gen_get_buf(gen, &buf, &len);
  std::string text(reinterpret_cast<const char*>(buf), len);
  yajl_gen_free(gen);
  return text;
}

}  // namespace

TEST(BackupJobOptionsParser, MembersDefaultsAndRoundTrip) {
  Backup_Job_Options o;
  ASSERT_EQ(parse("{}", &o), 0);
  EXPECT_EQ(o.compression_, COMPR_NONE);
  EXPECT_EQ(o.compression_level_, 1);
  ASSERT_EQ(parse(R"({"compression": "zstd", "compression_level": 7})", &o), 0);
  EXPECT_EQ(o.compression_, COMPR_ZSTD);
  EXPECT_EQ(o.compression_level_, 7);
  EXPECT_EQ(generated(o), R"({"compression":"zstd","compression_level":7})");
  Backup_Job_Options back;
  ASSERT_EQ(parse(generated(o), &back), 0);
  EXPECT_EQ(back.compression_, COMPR_ZSTD);
  // A number for the method is ignored; so is an unknown member's value,
  // which is never taken for the member before it.
  ASSERT_EQ(parse(R"({"compression": 3, "compression_level": 4, "retries": 9, "x": "lzop"})", &o), 0);
  EXPECT_EQ(o.compression_, COMPR_NONE);
  EXPECT_EQ(o.compression_level_, 4);
  o.compression_ = static_cast<Compression_Method>(42);
  EXPECT_EQ(generated(o), R"({"compression_level":4})");
}

TEST(BackupJobOptionsParser, ValuesWhereNoneBelongFailWithCode9) {
  EXPECT_EQ(parse(R"({"compression_level": "5"})"), 9);
  EXPECT_EQ(parse(R"({"compression": "zstd", "nested": {"a": 1}})"), 9);
  EXPECT_EQ(parse(R"({"nested": {"compression": "zstd"}})"), 9);
  // A nested object without values is harmless.
  EXPECT_EQ(parse(R"({"nested": {}, "compression_level": 2})"), 0);
  // Malformed text fails in the parser itself.
  EXPECT_NE(parse(R"({"compression": )"), 0);
}
