#include <gtest/gtest.h>

#include <string>

#include "agent/crypto/aes_decoder.h"
#include "agent/crypto/aes_encoder.h"

namespace {
const std::string kUuid = "6f1c2d3e-0000-4000-8000-00000000abcd";

std::string encode(const std::string& data, const std::string& key = kUuid) {
  AES_Encoder e(data.data(), data.size(), key.data(), key.size(), true, "cbc", -1);
  EXPECT_TRUE(static_cast<bool>(e));
  return std::string(e.get(), e.length());
}
}  // namespace

TEST(AesCodec, RoundTripOfBinaryKeysOfEveryLength) {
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 64u, 1000u}) {
    std::string data;
    for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<char>(i * 37));
    std::string text = encode(data);
    for (char c : text) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=');
    AES_Decoder d(text.data(), text.size(), kUuid.data(), kUuid.size(), true, "cbc", -1);
    ASSERT_TRUE(static_cast<bool>(d)) << n;
    EXPECT_EQ(std::string(d.get(), d.length()), data);
  }
}

TEST(AesCodec, EachEncodingUsesAFreshIv) { EXPECT_NE(encode("secret"), encode("secret")); }

TEST(AesCodec, RefusesWrongKeyCorruptedTextAndOtherModes) {
  std::string text = encode("the access key");
  std::string other = "6f1c2d3e-0000-4000-8000-00000000abce";
  EXPECT_FALSE(static_cast<bool>(AES_Decoder(text.data(), text.size(), other.data(), other.size(), true, "cbc", -1)));

  for (std::size_t pos : {0ul, text.size() / 2, text.size() - 6}) {
    std::string bad = text;
    bad[pos] = bad[pos] == 'A' ? 'B' : 'A';
    AES_Decoder d(bad.data(), bad.size(), kUuid.data(), kUuid.size(), true, "cbc", -1);
    EXPECT_FALSE(static_cast<bool>(d)) << pos;
    EXPECT_EQ(d.length(), 0u);
  }
  std::string cut = text.substr(0, text.size() - 4);
  EXPECT_FALSE(static_cast<bool>(AES_Decoder(cut.data(), cut.size(), kUuid.data(), kUuid.size(), true, "cbc", -1)));
  EXPECT_FALSE(static_cast<bool>(AES_Decoder("not base64!", 11, kUuid.data(), kUuid.size(), true, "cbc", -1)));
  EXPECT_FALSE(static_cast<bool>(AES_Encoder("x", 1, kUuid.data(), kUuid.size(), true, "ecb", -1)));
}
