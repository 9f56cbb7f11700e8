// QVS image description: the .cfg parser against images made by the independent fixture
// generator, its error cases, the A-drive size, the file check and the download frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "QvsConfig.h"
#include "QvsFileCheck.h"
#include "QvsFrames.h"

namespace fs = std::filesystem;
using namespace qvs;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

std::string Hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

std::string Hex(std::string_view s) { return Hex(Bytes(s.begin(), s.end())); }

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 251) & 0xFF);
  return b;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteAll(const fs::path& p, std::string_view data) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// ISO 8859-1 to UTF-8, the test's stand-in for the ANSI code page; bytes 0x80-0x9F (not
// characters of 8859-1) fail.
bool Latin1ToUtf8(std::string_view in, std::string& out) {
  out.clear();
  for (unsigned char c : in) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0xA0) {
      return false;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

// One generated image: the tree is written by the test, the image, .cfg and plan by the
// generator script.
struct Fixture {
  std::string cfg, image;
  std::map<std::string, std::vector<std::vector<std::string>>> plan;  // records by kind
};

class QvsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qvs-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "tree");
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Put(const std::string& path, const Bytes& data) {
    WriteAll(dir_ / "tree" / path, std::string(data.begin(), data.end()));
  }
  void Dir(const std::string& path) { fs::create_directories(dir_ / "tree" / path); }

  Fixture Generate(const std::string& options) {
    std::string cmd = std::string(PYTHON3) + " " + QVS_FIXTURE_SCRIPT + " '" +
                      (dir_ / "tree").string() + "' '" + (dir_ / "out").string() + "' " + options;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Fixture f;
    f.cfg = ReadAll(dir_ / "out.cfg");
    f.image = ReadAll(dir_ / "out.qvs");
    std::istringstream plan(ReadAll(dir_ / "out.plan"));
    std::string line;
    while (std::getline(plan, line)) {
      std::istringstream words(line);
      std::vector<std::string> w;
      std::string word;
      while (words >> word) w.push_back(word);
      if (!w.empty()) f.plan[w[0]].push_back(w);
    }
    return f;
  }

  // Every record of the generator's plan against the parser's plan and the frames built from it.
  void ExpectPlanMatches(const Fixture& f, const QvsNameConverter& conv) {
    QvsPlan plan;
    QvsConfigResult r = ParseQvsConfig(f.cfg, f.image.size(), conv, plan);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(std::to_string(plan.imageLength), f.plan.at("IMAGE")[0][1]);
    EXPECT_EQ(Hex(Bytes(plan.version.begin(), plan.version.end())), f.plan.at("VERSION")[0][1]);
    EXPECT_EQ(plan.release ? Hex(Bytes(plan.release->begin(), plan.release->end())) : "-",
              f.plan.at("RELEASE")[0][1]);
    QvsFrame release = ReleaseFrame(plan.release);
    EXPECT_EQ(release.bytes[0], plan.release ? 0xF5 : 0xF6);
    EXPECT_EQ(release.reply, 0xE3);

    const auto& dirs = f.plan.at("DIR");
    ASSERT_EQ(plan.directories.size(), dirs.size());
    for (std::size_t i = 0; i < dirs.size(); ++i) {
      SCOPED_TRACE(plan.directories[i].name);
      EXPECT_EQ(Hex(plan.directories[i].name), dirs[i][1]);
      QvsFrame frame;
      ASSERT_TRUE(MakeDirFrame(plan.directories[i].name, frame));
      EXPECT_EQ(Hex(frame.bytes), dirs[i][2]);
      EXPECT_EQ(Hex(Bytes{frame.reply}), dirs[i][3]);
    }
    const auto& files = f.plan.at("FILE");
    ASSERT_EQ(plan.files.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      const QvsFile& file = plan.files[i];
      SCOPED_TRACE(file.name);
      EXPECT_EQ(std::to_string(file.offset), files[i][1]);
      EXPECT_EQ(std::to_string(file.size), files[i][2]);
      EXPECT_EQ(Hex(file.name), files[i][3]);
      QvsFrame frame;
      ASSERT_TRUE(AddFileFrame(file.name, file.size, frame));
      EXPECT_EQ(Hex(frame.bytes), files[i][4]);
      EXPECT_EQ(Hex(Bytes{frame.reply}), files[i][5]);
      // The data blocks as SendBlock takes them from the image.
      std::string blocks, replies;
      std::uint32_t remaining = file.size;
      std::uint64_t pos = file.offset;
      bool last = false;
      while (!last) {
        std::size_t n = NextBlockSize(remaining, last);
        ASSERT_LE(pos + n, f.image.size());
        const auto* data = reinterpret_cast<const std::uint8_t*>(f.image.data() + pos);
        QvsFrame block = DataBlockFrame({data, n}, last);
        ASSERT_EQ(block.bytes.size(), n + 1);
        pos += n;
        blocks += (blocks.empty() ? "" : ",") + std::to_string(n);
        replies += (replies.empty() ? "" : ",") + Hex(Bytes{block.reply});
      }
      EXPECT_EQ(blocks, files[i][6]);
      EXPECT_EQ(replies, files[i][7]);
    }
    ASSERT_TRUE(plan.driveSize.has_value());
    EXPECT_EQ(std::to_string(plan.driveSize->blocks), f.plan.at("ADRIVE")[0][1]);
    EXPECT_EQ(std::to_string(plan.driveSize->bytes), f.plan.at("ADRIVE")[0][2]);
  }

  void MakeTree() {
    Dir("a/test/deep");
    Put("a/test/big", Pattern(20000, 1));
    Put("a/test/deep/x.bin", Pattern(8192, 2));
    Put("a/empty", {});
    Put("a/test/small", Pattern(1, 4));
    Put("b/music/one", Pattern(8193, 3));
    Put("c/last", Pattern(4096, 5));
  }

  fs::path dir_;
};

TEST_F(QvsFixture, PlanOfAGeneratedImageMatchesTheGenerator) {
  struct Case {
    const char* what;
    std::string options;
  } cases[] = {
      {"release record, list copy", "--release REL-00000001 --list-copy /a/test/cfg.txt"},
      {"no release record", ""},
      {"LF line ends", "--lf --list-copy /test/cfg.txt"},
  };
  MakeTree();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectPlanMatches(Generate(c.options), KeepUtf8Name);
  }
}

TEST_F(QvsFixture, NamesAreCountedInUtf8AfterConversion) {
  // "/a/" + 29 x "é" + "x": 33 bytes in the .cfg's code page, 62 in UTF-8.
  std::string e29;
  for (int i = 0; i < 29; ++i) e29 += "\xC3\xA9";
  Dir("a/" + e29 + "x");
  Put("a/" + e29 + "x/f\xC3\xA9", Pattern(3, 1));
  Fixture ok = Generate("--encoding latin-1");
  ASSERT_EQ(ok.cfg.find("\xC3\xA9"), std::string::npos);  // the .cfg is not UTF-8
  ExpectPlanMatches(ok, Latin1ToUtf8);

  fs::rename(dir_ / "tree" / "a" / (e29 + "x"), dir_ / "tree" / "a" / (e29 + "xy"));
  Fixture tooLong = Generate("--encoding latin-1");
  QvsPlan plan;
  QvsConfigResult r = ParseQvsConfig(tooLong.cfg, tooLong.image.size(), Latin1ToUtf8, plan);
  EXPECT_EQ(r.error, QvsConfigError::kDirNameTooLong);
  EXPECT_TRUE(plan.directories.empty());
}

TEST_F(QvsFixture, SizesOneByteMoreThanTheImageAreRefused) {
  MakeTree();
  Fixture f = Generate("--release REL-00000001");
  QvsPlan plan;
  QvsConfigResult r = ParseQvsConfig(f.cfg, f.image.size() - 1, KeepUtf8Name, plan);
  EXPECT_EQ(r.error, QvsConfigError::kSizeMismatch);
  EXPECT_EQ(r.message, "QVS file size mismatched!!!");
  EXPECT_TRUE(plan.files.empty() && plan.directories.empty());
}

TEST_F(QvsFixture, FileCheckOfAGeneratedImage) {
  MakeTree();
  for (const char* copy : {"/a/test/cfg.txt", "/test/cfg.txt"}) {
    SCOPED_TRACE(copy);
    Fixture f = Generate(std::string("--list-copy ") + copy);
    QvsFileCheckResult r = QvsFileCheck(f.cfg, f.image);
    EXPECT_EQ(r.outcome, QvsCheckOutcome::kSuccess);
    EXPECT_EQ(QvsFileCheckLog(r, "x.cfg", "x.qvs"), "\r\n File Compare SUCCESS!!");
    // The copy starts after the files listed before it.
    std::string want = std::string("FILE_NAME : ") + copy;
    std::size_t at = f.cfg.find(want);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(f.image.substr(r.listOffset, 13), "QVSVERSION : ");
  }

  // One directory line changed in the .cfg: line 6 of the generated .cfg ("DIR_NAME : /a/test").
  Fixture f = Generate("--list-copy /a/test/cfg.txt");
  std::string cfg = f.cfg;
  std::size_t at = cfg.find("DIR_NAME : /a/test\r\n");
  ASSERT_NE(at, std::string::npos);
  cfg.replace(at, 18, "DIR_NAME : /a/tesT");
  QvsFileCheckResult r = QvsFileCheck(cfg, f.image);
  ASSERT_EQ(r.outcome, QvsCheckOutcome::kMismatch);
  EXPECT_EQ(r.lines, 6);
  EXPECT_EQ(QvsFileCheckLog(r, "img.cfg", "img.qvs"),
            "\r\n Error\r\n Lines : 6 \r\n DIR_NAME : /a/tesT\n  in img.cfg \r\n DIR_NAME : "
            "/a/test\n in img.qvs");

  // Without a list copy, and with sizes that put the copy past its SET_DIR line.
  Fixture plain = Generate("");
  EXPECT_EQ(QvsFileCheckLog(QvsFileCheck(plain.cfg, plain.image), "", ""),
            "\r\n You must use qvs builder v1.4");
  std::string shifted = f.cfg;
  at = shifted.find("FILE_SIZE : 20000");
  ASSERT_NE(at, std::string::npos);
  shifted.replace(at, 17, "FILE_SIZE : 29000");
  EXPECT_EQ(QvsFileCheckLog(QvsFileCheck(shifted, f.image), "", ""),
            "\r\n Error\r\n You can check size of files..");
}

// A .cfg of one directory and one 5-byte file, with one part replaced.
std::string SmallCfg(std::string_view from = {}, std::string_view to = {}) {
  std::string cfg =
      "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 1\r\nSET_DIR\r\nDIR_NAME : /a/\r\nSET_FILE\r\n"
      "FILE_NAME : /a/f\r\nFILE_SIZE : 5\r\nEND_QVS\r\n";
  if (!from.empty()) {
    std::size_t at = cfg.find(from);
    if (at == std::string::npos)
      ADD_FAILURE() << from;
    else
      cfg.replace(at, from.size(), to);
  }
  return cfg;
}

TEST(QvsConfig, ErrorCasesSendNothing) {
  std::string dir63 = "/a/" + std::string(60, 'd');
  std::string file511 = "/a/" + std::string(508, 'f');
  struct Case {
    const char* what;
    std::string cfg;
    std::uint64_t image;
    QvsConfigError error;
    const char* message;
  } cases[] = {
      {"sizes one more than the image", SmallCfg(), 4, QvsConfigError::kSizeMismatch,
       "QVS file size mismatched!!!"},
      {"sizes one less", SmallCfg(), 6, QvsConfigError::kSizeMismatch,
       "QVS file size mismatched!!!"},
      {"no QVSVERSION", SmallCfg("QVSVERSION : ", "QVSVERSON : "), 5, QvsConfigError::kNoVersion,
       "QVSVERSION not found in cfg file"},
      {"version cut by the end", "DIR_NAME : /a/\nQVSVERSION : 0123", 0,
       QvsConfigError::kVersionTruncated, "QVSVERSION truncated in cfg file (line 2)"},
      {"release cut by the end", SmallCfg() + "QVSRELEASEVERSION : 12345678901", 5,
       QvsConfigError::kReleaseTruncated, "QVSRELEASEVERSION truncated in cfg file (line 9)"},
      {"size without digits", SmallCfg("FILE_SIZE : 5", "FILE_SIZE : "), 0,
       QvsConfigError::kBadNumber, "Bad FILE_SIZE in cfg file (line 7)"},
      {"size with garbage", SmallCfg("FILE_SIZE : 5", "FILE_SIZE : 5x"), 5,
       QvsConfigError::kBadNumber, "Bad FILE_SIZE in cfg file (line 7)"},
      {"size above 32 bits", SmallCfg("FILE_SIZE : 5", "FILE_SIZE : 4294967296"), 4294967296,
       QvsConfigError::kBadNumber, "Bad FILE_SIZE in cfg file (line 7)"},
      {"cut inside a name", SmallCfg().substr(0, SmallCfg().find("/a/f") + 3), 0,
       QvsConfigError::kTruncatedLine, "Truncated line in cfg file (line 6)"},
      {"cut after a size's digits", SmallCfg().substr(0, SmallCfg().find("FILE_SIZE : 5") + 13), 5,
       QvsConfigError::kTruncatedLine, "Truncated line in cfg file (line 7)"},
      {"file without size", SmallCfg("FILE_SIZE : 5\r\n", "FILE_NAME : /a/g\r\nFILE_SIZE : 5\r\n"),
       5, QvsConfigError::kFileWithoutSize, "FILE_SIZE missing in cfg file (line 6)"},
      {"size without file",
       SmallCfg("FILE_NAME : /a/f\r\n", "FILE_SIZE : 0\r\nFILE_NAME : /a/f\r\n"), 5,
       QvsConfigError::kSizeWithoutFile, "FILE_SIZE without FILE_NAME in cfg file (line 6)"},
      {"empty directory name", SmallCfg("DIR_NAME : /a/", "DIR_NAME : "), 5,
       QvsConfigError::kEmptyName, "Empty DIR_NAME in cfg file (line 4)"},
      {"directory of 63 bytes", SmallCfg("DIR_NAME : /a/", "DIR_NAME : " + dir63), 5,
       QvsConfigError::kDirNameTooLong, "DIR_NAME too long in cfg file (line 4)"},
      {"file of 511 bytes", SmallCfg("FILE_NAME : /a/f", "FILE_NAME : " + file511), 5,
       QvsConfigError::kFileNameTooLong, "FILE_NAME too long in cfg file (line 6)"},
      {"name not convertible", SmallCfg("/a/f", "/a/\x85"), 5, QvsConfigError::kNameConversion,
       "Cannot convert FILE_NAME in cfg file (line 6)"},
      {"no directory", SmallCfg("DIR_NAME : /a/\r\n", ""), 5, QvsConfigError::kNoDirectory,
       "DIR_NAME not found in cfg file"},
      {"garbage lines", std::string("\x01\xFF garbage\r\n\r\nFILE_SIZE:3\r\n::::\r\n"), 0,
       QvsConfigError::kNoVersion, "QVSVERSION not found in cfg file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QvsPlan plan;
    plan.files.push_back({});  // cleared on every result
    QvsConfigResult r = ParseQvsConfig(c.cfg, c.image, Latin1ToUtf8, plan);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.message, c.message);
    EXPECT_TRUE(plan.directories.empty() && plan.files.empty() && !plan.release);
  }
}

TEST(QvsConfig, AcceptedVariants) {
  std::string dir62 = "/a/" + std::string(59, 'd');
  std::string file510 = "/a/" + std::string(507, 'f');
  struct Case {
    const char* what;
    std::string cfg;
    std::string dir, file;
  } cases[] = {
      {"a directory key at the first byte, the version last",
       "DIR_NAME : /a/\r\nFILE_NAME : /a/f\r\nFILE_SIZE : 5\r\nQVSVERSION : 0123456789ABCDEF",
       "/a/", "/a/f"},
      {"LF line ends",
       "QVSVERSION : 0123456789ABCDEF\nDIR_NAME : /a/\nFILE_NAME : /a/f\nFILE_SIZE : 5\n", "/a/",
       "/a/f"},
      {"directory of 62 bytes", SmallCfg("DIR_NAME : /a/", "DIR_NAME : " + dir62), dir62, "/a/f"},
      {"file of 510 bytes", SmallCfg("FILE_NAME : /a/f", "FILE_NAME : " + file510), "/a/", file510},
      {"blanks around a size", SmallCfg("FILE_SIZE : 5", "FILE_SIZE :  5 \t"), "/a/", "/a/f"},
      {"a key inside a name is part of the name",
       SmallCfg("DIR_NAME : /a/\r\n", "DIR_NAME : /a/FILE_SIZE : 9\r\n"), "/a/FILE_SIZE : 9",
       "/a/f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QvsPlan plan;
    QvsConfigResult r = ParseQvsConfig(c.cfg, 5, Latin1ToUtf8, plan);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_EQ(plan.directories.size(), 1u);
    EXPECT_EQ(plan.directories[0].name, c.dir);
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_EQ(plan.files[0].name, c.file);
    EXPECT_EQ(plan.files[0].size, 5u);
    EXPECT_EQ(std::string(plan.version.begin(), plan.version.end()), "0123456789ABCDEF");
    EXPECT_FALSE(plan.release.has_value());
  }
}

TEST(QvsConfig, ManyFilesAtTheirOffsets) {
  // 40000 files of i % 7 bytes (119995 in all): the parse stays linear in the text's length.
  std::string cfg = "QVSVERSION : 0123456789ABCDEF\r\nDIR_NAME : /a/\r\n";
  const int n = 40000;
  for (int i = 0; i < n; ++i)
    cfg +=
        "FILE_NAME : /a/" + std::to_string(i) + "\r\nFILE_SIZE : " + std::to_string(i % 7) + "\r\n";
  QvsPlan plan;
  QvsConfigResult r = ParseQvsConfig(cfg, 119995, KeepUtf8Name, plan);
  ASSERT_TRUE(r.ok()) << r.message;
  ASSERT_EQ(plan.files.size(), static_cast<std::size_t>(n));
  std::uint64_t offset = 0;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(plan.files[i].offset, offset) << i;
    ASSERT_EQ(plan.files[i].line, 3 + 2 * i) << i;
    offset += i % 7;
  }
  EXPECT_EQ(plan.files.back().name, "/a/39999");
}

TEST(QvsConfig, ShortVersionDoesNotHideTheNextLine) {
  // A version of 3 characters takes 13 bytes of the lines after it, as they stand.
  std::string cfg = "QVSVERSION : v1\r\nDIR_NAME : /a/\r\nFILE_NAME : /a/f\r\nFILE_SIZE : 0\r\n";
  QvsPlan plan;
  ASSERT_TRUE(ParseQvsConfig(cfg, 0, KeepUtf8Name, plan).ok());
  EXPECT_EQ(std::string(plan.version.begin(), plan.version.end()), "v1\r\nDIR_NAME : /");
  ASSERT_EQ(plan.directories.size(), 1u);
  EXPECT_EQ(plan.directories[0].name, "/a/");
}

TEST(QvsDriveSize, CountsDirectoriesAndAFiles) {
  struct Case {
    const char* what;
    std::string cfg;
    bool ok, endOfFile;
    std::uint32_t blocks;
  } cases[] = {
      {"3 directories, files of 4096 and 1 byte",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 3\r\nFILE_NAME : /a/x\r\nFILE_SIZE : 4096\r\n"
       "FILE_NAME : /a/y\r\nFILE_SIZE : 1\r\n",
       true, true, 6},
      {"drive B first stops the count",
       "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : 2\r\nFILE_NAME : /b/x\r\nFILE_SIZE : 4096\r\n"
       "FILE_NAME : /a/y\r\nFILE_SIZE : 1\r\n",
       true, false, 2},
      {"other paths are not counted",
       "QVSVERSION : 0123456789ABCDEF\nQVSRELEASEVERSION : 0123456789AB\nNUM_DIR : 0\n"
       "FILE_NAME : /test/cfg.txt\nFILE_SIZE : 9000\nFILE_NAME : /c/z\nFILE_SIZE : 1\n"
       "FILE_NAME : /a/y\nFILE_SIZE : 8191\n",
       true, true, 2},
      {"NUM_DIR without a number", "QVSVERSION : 0123456789ABCDEF\r\nNUM_DIR : x\r\n", false, false,
       0},
      {"no NUM_DIR after QVSVERSION", "QVSVERSION : 0123456789ABCDEF\r\n", false, false, 0},
      {"FILE_SIZE missing", "NUM_DIR : 1\r\nFILE_NAME : /a/y\r\nEND_QVS\r\n", false, false, 0},
      {"drive above 32 bits",
       "FILE_NAME : /a/x\r\nFILE_SIZE : 4294967295\r\nFILE_NAME : /a/y\r\nFILE_SIZE : 1\r\n", false,
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QvsDriveSize size{77, 77 * 4096};
    QvsDriveSizeResult r = ComputeQvsDriveSize(c.cfg, size);
    EXPECT_EQ(r.ok, c.ok) << r.message;
    if (c.ok) {
      EXPECT_EQ(r.endOfFile, c.endOfFile);
      EXPECT_EQ(size.blocks, c.blocks);
      EXPECT_EQ(size.bytes, c.blocks * 4096u);
    } else {
      EXPECT_FALSE(r.message.empty());
      EXPECT_EQ(size.blocks, 77u);  // unchanged
    }
  }
}

TEST(QvsFileCheck, SkipsTheListCopyEntryMissingFromTheImage) {
  std::string head = "QVSVERSION : 0123456789ABCDEF\r\nSET_DIR\r\nDIR_NAME : /a/\r\nSET_FILE\r\n";
  std::string cfg = head +
                    "FILE_NAME : /a/x\r\nFILE_SIZE : 3\r\nFILE_NAME : /a/test/cfg.txt\r\n"
                    "FILE_SIZE : 200\r\nFILE_NAME : /a/z\r\nFILE_SIZE : 1\r\nEND_QVS\r\n";
  std::string copy =
      head +
      "FILE_NAME : /a/x\r\nFILE_SIZE : 3\r\nFILE_NAME : /a/z\r\nFILE_SIZE : 1\r\nEND_QVS\r\n";
  std::string image = "xyz" + copy + "z";
  QvsFileCheckResult r = QvsFileCheck(cfg, image);
  EXPECT_EQ(r.listOffset, 3u);
  EXPECT_EQ(r.outcome, QvsCheckOutcome::kSuccess);
  // A different line after the skipped entry: its number counts the skipped lines.
  std::string other = "xyz" + head + "FILE_NAME : /a/x\r\nFILE_SIZE : 3\r\nFILE_NAME : /a/Z\r\n";
  r = QvsFileCheck(cfg, other);
  ASSERT_EQ(r.outcome, QvsCheckOutcome::kMismatch);
  EXPECT_EQ(r.lines, 9);
  EXPECT_EQ(r.cfgLine, "FILE_NAME : /a/z\n");
  EXPECT_EQ(r.imageLine, "FILE_NAME : /a/Z\n");
  // A size before the list copy that is not a number gives no offset.
  std::string badSize = cfg;
  badSize.replace(badSize.find("FILE_SIZE : 3"), 13, "FILE_SIZE : ?");
  r = QvsFileCheck(badSize, image);
  EXPECT_EQ(r.outcome, QvsCheckOutcome::kBadSize);
  EXPECT_EQ(QvsFileCheckLog(r, "", ""), "\r\n Error\r\n You can check size of files..");
}

TEST(QvsFileCheck, LongLinesAreComparedInPiecesOf255) {
  std::string longName(600, 'n');
  std::string head = "SET_DIR\nDIR_NAME : /a/" + longName + "\n";
  std::string cfg = "FILE_NAME : /test/cfg.txt\nFILE_SIZE : 1\n" + head + "END_QVS\n";
  std::string bad = longName;
  bad[400] = 'N';  // in the second piece of the .cfg's line 4 (lines 4 and 5 as pieces)
  QvsFileCheckResult r = QvsFileCheck(cfg, "SET_DIR\nDIR_NAME : /a/" + bad + "\nEND_QVS\n");
  ASSERT_EQ(r.outcome, QvsCheckOutcome::kMismatch);
  EXPECT_EQ(r.cfgLine.size(), 255u);
  EXPECT_EQ(r.lines, 5);
  EXPECT_EQ(QvsFileCheck(cfg, head + "END_QVS").outcome, QvsCheckOutcome::kSuccess);
}

TEST(QvsFrames, LayoutsAndReplies) {
  QvsFrame f;
  ASSERT_TRUE(MakeDirFrame("abc", f));
  EXPECT_EQ(f.bytes, B({0xDB, 0x00, 0x03, 0x61, 0x62, 0x63}));
  EXPECT_EQ(f.reply, 0x29);
  ASSERT_TRUE(AddFileFrame("ab", 0x01020304, f));
  EXPECT_EQ(f.bytes, B({0xDD, 0x00, 0x02, 0x61, 0x62, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(f.reply, (2 + 0x61 + 0x62 + 1 + 2 + 3 + 4) & 0xFF);
  f = SetChecksumFrame(0xFFFFFFFF);
  EXPECT_EQ(f.bytes, B({0xC9, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(f.reply, 0xFC);
  std::tm t{};
  t.tm_sec = 5;
  t.tm_min = 4;
  t.tm_hour = 23;
  t.tm_mday = 31;
  t.tm_mon = 11;  // December
  t.tm_year = 2024 - 1900;
  f = SetTimeFrame(t);
  EXPECT_EQ(f.bytes, B({0xC4, 0, 0,  0, 5, 0, 0,  0, 4, 0, 0,    0,    23, 0,
                        0,    0, 31, 0, 0, 0, 12, 0, 0, 0, 0xE8, 0x07, 0,  0}));
  EXPECT_EQ(f.reply, (5 + 4 + 23 + 31 + 12 + 0xE8 + 0x07) & 0xFF);
  QvsVersion v;
  for (int i = 0; i < 16; ++i) v[i] = static_cast<std::uint8_t>('A' + i);
  f = WriteVersionFrame(v);
  EXPECT_EQ(f.bytes.size(), 17u);
  EXPECT_EQ(f.bytes[0], 0xE3);
  EXPECT_EQ(f.bytes[16], 'P');
  EXPECT_EQ(f.reply, 0xE3);
  f = ReleaseFrame(QvsRelease{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  EXPECT_EQ(f.bytes, B({0xF5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(f.reply, 0xE3);
  f = ReleaseFrame(std::nullopt);
  EXPECT_EQ(f.bytes, B({0xF6}));
  EXPECT_EQ(f.reply, 0xE3);
  ASSERT_TRUE(FormatFrame(100, f));
  EXPECT_EQ(f.bytes, B({0xE0, 0x00, 0x58, 0xA0}));
  EXPECT_EQ(f.reply, 0xE1);
  EXPECT_TRUE(FormatFrame((0xFFFFFF - 21888) / 8, f));
  EXPECT_FALSE(FormatFrame((0xFFFFFF - 21888) / 8 + 1, f));
  std::uint32_t capacity = 0;
  EXPECT_TRUE(NandCapacity(0x0024, capacity));
  EXPECT_EQ(capacity, 0x4000000u);
  EXPECT_FALSE(NandCapacity(0xE1D0, capacity));
}

TEST(QvsFrames, NameLengthLimits) {
  QvsFrame f;
  EXPECT_TRUE(MakeDirFrame(std::string(62, 'd'), f));
  EXPECT_EQ(f.bytes.size(), 65u);
  EXPECT_FALSE(MakeDirFrame(std::string(63, 'd'), f));
  EXPECT_TRUE(AddFileFrame(std::string(510, 'f'), 0, f));
  EXPECT_EQ(f.bytes[1], 0x01);  // 510 = 0x01FE
  EXPECT_EQ(f.bytes[2], 0xFE);
  EXPECT_FALSE(AddFileFrame(std::string(511, 'f'), 0, f));
  EXPECT_FALSE(MakeDirFrame("", f));
  EXPECT_FALSE(AddFileFrame("", 1, f));
}

TEST(QvsFrames, DataBlocksOfAFile) {
  struct Case {
    std::uint32_t size;
    std::vector<std::size_t> blocks;
  } cases[] = {{0, {0}},          {1, {1}},          {8191, {8191}},
               {8192, {8192, 0}}, {8193, {8192, 1}}, {20000, {8192, 8192, 3616}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(BlockSizes(c.size), c.blocks);
  }
  Bytes full(8192, 0x01);
  QvsFrame f = DataBlockFrame(full, false);
  EXPECT_EQ(f.bytes.size(), 8193u);
  EXPECT_EQ(f.bytes[0], 0xFE);
  EXPECT_EQ(f.reply, 0x00);  // 8192 x 1 mod 256
  Bytes tail = {0x10, 0x20};
  EXPECT_EQ(DataBlockFrame(tail, true).reply, 0xDF);
  f = DataBlockFrame({}, true);
  EXPECT_EQ(f.bytes, B({0xFE}));
  EXPECT_EQ(f.reply, 0xDF);
}

}  // namespace
