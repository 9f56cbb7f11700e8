#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Fixtures.h"
#include "VBase64.h"
#include "VEncrypt.h"
#include "VHash.h"

namespace {

TEST(VHashTest, MatchesPythonPeerOnEveryVector) {
  const auto rows = fixtures::ReadTable("hashes.txt");
  ASSERT_GE(rows.size(), 10u);
  for (const auto& row : rows) {
    const std::string data = fixtures::FromHex(row[0]);
    SCOPED_TRACE("input of " + std::to_string(data.size()) + " bytes");
    EXPECT_EQ(VHash::Md5Hex(data), row[1]);
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04x", VHash::Crc16Text(data));
    EXPECT_EQ(crc, row[2]);
    EXPECT_EQ(VBase64::EncodeText(data), row[3] == "-" ? "" : row[3]);
    if (row[3] != "-") EXPECT_EQ(VBase64::DecodeText(row[3]), data);
  }
}

TEST(VHashTest, KnownValues) {
  EXPECT_EQ(VHash::Crc16Text("123456789"), 0x31C3);
  EXPECT_EQ(VHash::Crc16Text(""), 0);
  EXPECT_EQ(VHash::Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(VHash::Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(VBase64Test, DecodeRejectsLengthsNotAMultipleOfFour) {
  for (const char* text : {"", "QUJ", "QUJDR", "QUJDRE", "QUJDREU"})
    EXPECT_EQ(VBase64::DecodeText(text), "") << text;
}

TEST(VBase64Test, PaddingAndForeignCharacters) {
  EXPECT_EQ(VBase64::EncodeText("A"), "QQ==");
  EXPECT_EQ(VBase64::EncodeText("AB"), "QUI=");
  EXPECT_EQ(VBase64::DecodeText("QQ=="), "A");
  EXPECT_EQ(VBase64::DecodeText("QUI="), "AB");
  // Characters outside the alphabet count as 0 and never read outside the tables.
  EXPECT_EQ(VBase64::DecodeText("\xff\x80**").size(), 3u);
  EXPECT_EQ(VBase64::DecodeText("A=A="), std::string(2, '\0'));
}

// Independent model of the cipher as documented: TEA-like rounds with added terms.
struct CipherModel {
  unsigned k[4];
  static unsigned Be(const unsigned char* p) {
    return (unsigned(p[0]) << 24) | (unsigned(p[1]) << 16) | (unsigned(p[2]) << 8) | p[3];
  }
  explicit CipherModel(const std::string& password) {
    unsigned char d[16];
    VHash::Md5Digest(d, password.data(), password.size());
    for (int i = 0; i < 4; ++i) k[i] = Be(d + 4 * i);
  }
  void Encipher(unsigned char* b) const {
    unsigned y = Be(b), z = Be(b + 4), sum = 0;
    for (int n = 0; n < 32; ++n) {
      sum += 0x9E3779B9u;
      y += (z << 4) + (z ^ k[0]) + ((z >> 5) ^ sum) + k[1];
      z += (y << 4) + (y ^ k[2]) + ((y >> 5) ^ sum) + k[3];
    }
    for (int i = 0; i < 4; ++i) {
      b[i] = static_cast<unsigned char>(y >> (24 - 8 * i));
      b[4 + i] = static_cast<unsigned char>(z >> (24 - 8 * i));
    }
  }
  // CBC encryption whose inverse DecryptBuffer is, with the stream tail.
  std::string Encrypt(const std::string& plain, unsigned char fill) const {
    unsigned char chain[8];
    std::memset(chain, fill, 8);
    std::string out = plain;
    std::size_t pos = 0;
    for (; pos + 8 <= plain.size(); pos += 8) {
      unsigned char block[8];
      for (int i = 0; i < 8; ++i) block[i] = static_cast<unsigned char>(plain[pos + i]) ^ chain[i];
      Encipher(block);
      std::memcpy(&out[pos], block, 8);
      std::memcpy(chain, block, 8);
    }
    if (pos < plain.size()) {
      Encipher(chain);
      for (std::size_t i = 0; pos + i < plain.size(); ++i)
        out[pos + i] = static_cast<char>(plain[pos + i] ^ chain[i]);
    }
    return out;
  }
};

TEST(VEncryptTest, DecryptInvertsTheModelForEveryTailLength) {
  const std::string password = "debug-data password";
  VEncrypt::SetCipherKey(password);
  const CipherModel model(password);
  for (std::size_t length : {0, 1, 5, 7, 8, 9, 15, 16, 17, 64, 100}) {
    std::string plain;
    for (std::size_t i = 0; i < length; ++i) plain += static_cast<char>('A' + i % 26);
    const std::string cipher = model.Encrypt(plain, VEncrypt::kChainByte);
    std::string out(length, '\0');
    VEncrypt::DecryptBuffer(cipher.data(), out.data(), length);
    EXPECT_EQ(out, plain) << length;
    std::string in_place = cipher;  // same buffer as source and destination
    VEncrypt::DecryptBuffer(in_place.data(), in_place.data(), length);
    EXPECT_EQ(in_place, plain) << length;
  }
}

TEST(VEncryptTest, FiveBytesAreTheSourceXorTheEncipheredChainBlock) {
  VEncrypt::SetCipherKey("k");
  const CipherModel model("k");
  unsigned char chain[8];
  std::memset(chain, VEncrypt::kChainByte, 8);
  model.Encipher(chain);
  const unsigned char source[5] = {1, 2, 3, 4, 5};
  unsigned char out[5];
  VEncrypt::DecryptBuffer(source, out, 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], source[i] ^ chain[i]);
}

TEST(VEncryptTest, BlockDecipherInvertsEncipher) {
  VEncrypt::SetCipherKey("another");
  unsigned char block[8] = {0, 1, 2, 3, 0xF0, 0xF1, 0xF2, 0xF3}, copy[8];
  std::memcpy(copy, block, 8);
  VEncrypt::EncipherBlock(block);
  EXPECT_NE(std::memcmp(block, copy, 8), 0);
  VEncrypt::DecipherBlock(block);
  EXPECT_EQ(std::memcmp(block, copy, 8), 0);
}

}  // namespace
