#include <gtest/gtest.h>

#include <string>

#include "Fixtures.h"
#include "VHash.h"
#include "VZlib2.h"

namespace {

TEST(VZlib2Test, InflatesPythonStreamsOfEverySize) {
  const auto rows = fixtures::ReadTable("zlib.txt");
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row[0]);
    const std::string packed = fixtures::ReadFile(row[0] + ".z");
    ASSERT_FALSE(packed.empty());
    const auto bytes = VZlib2::Decompress(packed.data(), static_cast<int>(packed.size()));
    EXPECT_EQ(bytes.size(), std::stoul(row[1]));
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(VHash::Md5Hex(text), row[2]);
  }
}

TEST(VZlib2Test, CorruptOrTruncatedStreamsRaise) {
  const std::string packed = fixtures::ReadFile("text.z");
  ASSERT_GT(packed.size(), 20u);
  std::string flipped = packed;
  flipped[packed.size() / 2] ^= 0x55;
  std::string bad_header = packed;
  bad_header[0] = 0x00;
  const std::string cases[] = {packed.substr(0, packed.size() / 2),
                               packed.substr(0, packed.size() - 1),
                               flipped,
                               bad_header,
                               std::string(),
                               std::string("garbage")};
  for (const std::string& input : cases) {
    void* out = reinterpret_cast<void*>(1);
    int size = -1;
    EXPECT_THROW(VZlib2::DecompressBuffer(input.data(), static_cast<int>(input.size()), out, size),
                 EZLibError)
        << input.size();
    EXPECT_EQ(out, nullptr);
  }
}

TEST(VZlib2Test, CheckResultRaisesZlibMessage) {
  EXPECT_EQ(VZlib2::CheckResult(0), 0);
  EXPECT_EQ(VZlib2::CheckResult(1), 1);
  try {
    VZlib2::CheckResult(-3);
    FAIL();
  } catch (const EZLibError& e) {
    EXPECT_EQ(e.Message(), "data error");
    EXPECT_EQ(e.Code(), -3);
  }
}

}  // namespace
