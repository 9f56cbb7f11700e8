// This program carries its own debug data (linked twice by the build): the library reads it
// from the resource and resolves addresses of the probe functions below; the expected
// locations come from binutils' addr2line run on the same program (VL_ADDR2LINE_EXPECT).
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>

#include "VLData.h"
#include "VLDataWin.h"
#include "VModules.h"

namespace vlprobe {

struct Gadget {
  static int Twist(int n);
  static int Bend(int n);
};

__attribute__((noinline)) int Gadget::Twist(int n) {
  int sum = 0;
  for (int i = 0; i < n; ++i) {
    if (i % 3 == 0)
      sum += i * 7;
    else
      sum -= i;
  }
  return sum;
}

__attribute__((noinline)) int Gadget::Bend(int n) {
  int value = n;
  while (value > 1) value = value % 2 ? 3 * value + 1 : value / 2;
  return value + Twist(n);
}

__attribute__((noinline)) int Fold(int a, int b) {
  const int product = a * b;
  const int spread = product - a + b;
  return spread ^ (product >> 3);
}

}  // namespace vlprobe

namespace {

class VLDataWinTest : public ::testing::Test {
 protected:
  void SetUp() override { VCore::StartModulesList(); }
  void TearDown() override { VCore::StopModulesList(); }
};

TEST_F(VLDataWinTest, ProgramCarriesItsBlock) {
  const auto self = reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr));
  EXPECT_TRUE(VLData::HasVLDataResource(self));
  EXPECT_TRUE(VLData::HasDebugData(self));
  EXPECT_FALSE(VLData::HasAppendedDebugData(self));
  EXPECT_EQ(VLData::DebugDataVersion(self), 6015);
  EXPECT_TRUE(VLData::DebugDataIsUsable(self));
  const auto kernel = reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA("kernel32.dll"));
  EXPECT_FALSE(VLData::HasDebugData(kernel));
  EXPECT_EQ(VLData::DebugDataVersion(kernel), 0);
  // The directory of this program: no framework entry points.
  EXPECT_EQ(VLData::FindVLDataSymbol(VLData::kSymAppHandleException), nullptr);
}

TEST_F(VLDataWinTest, ProbeAddressesResolveAsAddr2lineSays) {
  EXPECT_EQ(vlprobe::Fold(3, 4), 12);
  EXPECT_EQ(vlprobe::Gadget::Bend(4), 1 + 0 - 1 - 2 + 21);
  std::ifstream expect(VL_ADDR2LINE_EXPECT);
  ASSERT_TRUE(expect) << VL_ADDR2LINE_EXPECT;
  const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
  int checked = 0;
  std::string line;
  while (std::getline(expect, line)) {
    std::istringstream words(line);
    std::string rva, file, function;
    std::uint32_t source_line = 0;
    words >> rva >> file >> function >> source_line;
    const std::uintptr_t address = base + std::stoul(rva, nullptr, 16);
    TAddressLocation loc;
    ASSERT_TRUE(VLData::LookupAddressInDebugData(reinterpret_cast<const void*>(address), loc))
        << line;
    const std::string got_function =
        loc.ClassName.empty() ? loc.ProcedureName : loc.ClassName + "::" + loc.ProcedureName;
    EXPECT_EQ(loc.Kind, 4) << line;
    EXPECT_EQ(loc.UnitName, file) << line;
    EXPECT_EQ(got_function, function) << line;
    EXPECT_EQ(loc.Line, source_line) << line;
    ++checked;
  }
  EXPECT_GT(checked, 15);
}

TEST_F(VLDataWinTest, AddressesOutsideCodeAreNotFound) {
  TAddressLocation loc;
  static int data_value = 1;
  EXPECT_FALSE(VLData::LookupAddressInDebugData(&data_value, loc));
  EXPECT_FALSE(VLData::LookupAddressInDebugData(reinterpret_cast<const void*>(&Sleep), loc));
  EXPECT_FALSE(VLData::LookupAddressInDebugData(nullptr, loc));
}

}  // namespace
