#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "Streams.h"
#include "VSharedBlock.h"
#include "VSystem.h"
#include "core/ExceptionLog.h"

namespace {

std::string BytesOf(const TVantorModuleOptions& o) {
  TMemoryStream s;
  o.WriteToStream(s);
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

TEST(SharedBlockTest, NameIsProcessAndModuleInHex) {
  EXPECT_EQ(VCore::SharedBlockName(0x1A2B, reinterpret_cast<HMODULE>(0x00400000)),
            "00001A2B00400000");
}

TEST(SharedBlockTest, PublishedOptionsReloadInAnotherObject) {
  auto own = TVantorModuleOptions::Create<TVantorModuleOptionsEx>(VCore::ProgramFileName());
  ASSERT_EQ(own->FModuleInstance,
            reinterpret_cast<VCore::TModuleHandle>(GetModuleHandleA(nullptr)));
  EXPECT_EQ(own->PublishCount(), 1);  // the fresh object announced (and published) once
  own->SetSmtpServer("smtp.shared");
  own->StoreText(7, "Stack of calls");
  own->FFilters->Add({1, "EAbort", "quiet", 0, 0, 1, 0});

  // The block exists under its name, with its size word.
  const std::string name = VCore::SharedBlockName(GetCurrentProcessId(), GetModuleHandleA(nullptr));
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<const std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  std::uint32_t size;
  std::memcpy(&size, view, 4);
  EXPECT_EQ(size, 4 + 1 + BytesOf(*own).size());
  EXPECT_EQ(view[4], 1);
  UnmapViewOfFile(view);
  CloseHandle(mapping);

  // Another copy of the library (base options of the same module) reads them.
  auto reader = TVantorModuleOptions::Create(VCore::ProgramFileName());
  ASSERT_TRUE(VCore::ReloadFromSharedBlock(*reader));
  EXPECT_EQ(BytesOf(*reader), BytesOf(*own));
  EXPECT_EQ(reader->FSmtpServer, "smtp.shared");
  VCore::ReleasePublishedBlock();
}

TEST(SharedBlockTest, MissingEmptyOrOversizedBlocksChangeNothing) {
  auto o = TVantorModuleOptions::Create("");
  o->SetModuleInstance(0x7A000000);  // a module without a block
  o->SetSmtpServer("unchanged");
  const std::string before = BytesOf(*o);
  EXPECT_FALSE(VCore::ReloadFromSharedBlock(*o));
  EXPECT_EQ(BytesOf(*o), before);

  const std::string name =
      VCore::SharedBlockName(GetCurrentProcessId(), reinterpret_cast<HMODULE>(0x7A000000));
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, name.c_str());
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  struct Case {
    std::uint32_t size;
    std::uint8_t flag;
  } cases[] = {
      {64, 0},        // flag byte 0: no options
      {0x100000, 1},  // size word beyond the real view
      {2, 1},         // size word too small to hold itself
      {64, 1},        // flagged present, but the block is cut short
  };
  for (const Case& c : cases) {
    std::memset(view, 0x4E, 64);
    std::memcpy(view, &c.size, 4);
    view[4] = c.flag;
    EXPECT_FALSE(VCore::ReloadFromSharedBlock(*o)) << c.size;
    EXPECT_EQ(BytesOf(*o), before) << c.size;
  }
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

TEST(SharedBlockTest, OptionsFileRoundTrip) {
  auto a = TVantorModuleOptions::Create("");
  a->SetMailRecipients("a@b.c");
  char path[MAX_PATH];
  GetTempPathA(MAX_PATH, path);
  const std::string file = std::string(path) + "vl-options.bin";
  a->WriteToFile(file);
  auto b = TVantorModuleOptions::Create("");
  b->ReadFromFile(file);
  EXPECT_EQ(BytesOf(*b), BytesOf(*a));
  EXPECT_THROW(b->ReadFromFile(file + ".missing"), EFOpenError);
}

}  // namespace
