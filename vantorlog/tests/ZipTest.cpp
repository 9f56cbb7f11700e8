#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "VZip.h"

namespace {

std::string TempName(const std::string& name) { return std::string(VL_OUTPUT) + "/" + name; }

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

TEST(ZipTest, MissingFilesAreSkippedAndTheArchiveIsStillFinished) {
  const std::string a = TempName("zip-a.txt"), zip = TempName("zip-skip.zip");
  WriteFile(a, "alpha");
  EXPECT_FALSE(ExceptionLog::ZipFiles(zip, "", {TempName("no-such-file"), a}));
  std::ifstream in(zip, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  // Local header of the one entry, and the end-of-central-directory record.
  EXPECT_EQ(bytes.substr(0, 4), "PK\x03\x04");
  EXPECT_NE(bytes.find("PK\x05\x06"), std::string::npos);
  EXPECT_NE(bytes.find("zip-a.txt"), std::string::npos);
}

TEST(ZipTest, WriterWithoutEntriesWritesAnEmptyArchive) {
  const std::string zip = TempName("zip-empty.zip");
  WriteFile(zip, "an old file that is no zip and must go");
  {
    TZipWriter writer(zip, "pw");
    ASSERT_TRUE(writer.IsOpen());
  }
  std::ifstream in(zip, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 22u);  // just the end-of-central-directory record
  EXPECT_EQ(bytes.substr(0, 4), "PK\x05\x06");
}

TEST(ZipTest, EmptyListWritesNothing) {
  const std::string zip = TempName("zip-none.zip");
  std::remove(zip.c_str());
  EXPECT_TRUE(ExceptionLog::ZipFiles(zip, "", {}));
  EXPECT_FALSE(Exists(zip));
}

TEST(ZipTest, ArchiveInAMissingFolderFails) {
  TZipWriter writer(TempName("no-such-folder/x.zip"), "");
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_FALSE(writer.AddFile(TempName("zip-a.txt"), "a"));
}

}  // namespace
