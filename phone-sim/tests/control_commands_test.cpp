#include "control_commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "phone_images.h"

namespace phone_sim {
namespace {

Bytes ToBytes(const phone_images::Image& image) {
  return Bytes(image.bytes.begin(), image.bytes.end());
}

class ControlTest : public ::testing::Test {
 protected:
  ControlTest()
      : phone_({ToBytes(phone_images::MasterPreLoader()), ToBytes(phone_images::MasterBootLoader()),
                ToBytes(phone_images::SlavePreLoader()), ToBytes(phone_images::SlaveBootLoader())},
               true, 1, Clock::now()),
        context_{phone_, Clock::now(), 115200, "COM3"} {}
  std::string Run(const std::string& line) { return ExecuteControlCommand(line, context_); }

  Phone phone_;
  ControlContext context_;
};

TEST_F(ControlTest, BadCommandsGetAReasonAndChangeNothing) {
  const char* bad[] = {
      "",
      "bogus",
      "power",
      "power maybe",
      "fault connect",
      "fault nowhere drop",
      "fault connect explode",
      "fault connect drop -1",
      "fault connect drop x",
      "fault connect drop 1 -1",
      "fault connect drop 1 2 3",
      "extra-connect-req",
      "extra-connect-req -3",
      "flash-id master 00EC",
      "flash-id other 00EC2206000000000034",
      "flash-id master 00EC220600000000003G",
      "nor-read master 0 65537",
      "nor-read master zz 4",
      "nor-read slave FFFFFF 2",
      "nor-read nobody 0 1",
      "nor-write master 1FFFFFF 0102",
      "nor-write master 0 012",
      "nor-write master 0 0x",
      "nor-save master",
      "nor-load slave /nonexistent/file",
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    std::string reply = Run(line);
    EXPECT_EQ(reply.substr(0, 4), "ERR ");
    EXPECT_EQ(reply.back(), '\n');
    EXPECT_EQ(reply.find('\n'), reply.size() - 1);
  }
  EXPECT_EQ(Run("nor-read master 1FFFFFE 2"), "OK FFFF\n");
  EXPECT_EQ(phone_.Faults().Describe(), "none");
  EXPECT_EQ(phone_.Master().FlashId(), (Bytes{0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34}));
}

TEST_F(ControlTest, NorWriteReadAndFlashId) {
  EXPECT_EQ(Run("nor-write slave 0x10 0a 0B ff"), "OK 3\n");
  EXPECT_EQ(Run("nor-read slave 0F 5"), "OK FF0A0BFFFF\n");
  EXPECT_EQ(Run("nor-read master 10 1"), "OK FF\n");
  EXPECT_EQ(Run("nor-read slave 0 0"), "OK\n");
  EXPECT_EQ(Run("flash-id slave 00ec2402000000000034"), "OK\n");
  EXPECT_EQ(phone_.Slave().FlashId(), (Bytes{0x00, 0xEC, 0x24, 0x02, 0, 0, 0, 0, 0x00, 0x34}));
  EXPECT_EQ(Run("nor-erase slave"), "OK\n");
  EXPECT_EQ(Run("nor-read slave 10 1"), "OK FF\n");
}

TEST_F(ControlTest, FaultsFramesStateAndQuit) {
  EXPECT_EQ(Run("fault dump-sum wrong"), "OK dump-sum:wrong:1\n");
  EXPECT_EQ(Run("fault write-ack garbage always"),
            "OK write-ack:garbage:always dump-sum:wrong:1\n");
  EXPECT_EQ(Run("fault dump-data short 3 2"),
            "OK write-ack:garbage:always dump-data:short:3:after2 dump-sum:wrong:1\n");
  EXPECT_EQ(Run("fault connect-req drop 0 0"),
            "OK connect-req:drop:always write-ack:garbage:always dump-data:short:3:after2 "
            "dump-sum:wrong:1\n");
  EXPECT_EQ(Run("fault clear"), "OK\n");
  EXPECT_EQ(Run("frames-clear"), "OK\n");
  EXPECT_EQ(Run("power off\r"), "OK\n");
  EXPECT_EQ(Run("frames"), "OK 1\nPOWER OFF\n");
  EXPECT_EQ(Run("state"),
            "OK power=off chip=master stage=boot-rom/wait-connect speed=115200 "
            "faults=none host=115200 com=COM3\n");
  EXPECT_FALSE(context_.quit);
  EXPECT_EQ(Run("quit"), "OK\n");
  EXPECT_TRUE(context_.quit);
}

}  // namespace
}  // namespace phone_sim

namespace phone_sim {
namespace {

namespace fs = std::filesystem;

class QvsControlTest : public ControlTest {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/phone-sim-qvs-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }
  static void Put(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  fs::path dir_;
};

TEST_F(QvsControlTest, LoadListSaveRoundTrip) {
  fs::path in = dir_ / "in", out = dir_ / "out";
  Put(in / "a" / "test" / "cfg.txt", "QVSVERSION : x\r\n");
  Put(in / "a" / "top.bin", std::string(5000, '\x5A'));
  Put(in / "b" / "empty", "");
  fs::create_directories(in / "c" / "dir");
  Put(in / "VERSION", "0123456789ABCDEF");
  Put(in / "RELEASE", "REL-00000012");
  ASSERT_EQ(Run("qvs-load master " + in.string()), "OK\n");
  std::string list = Run("qvs-list master");
  // Drive a: half of the 128 MiB NAND; "test" 1 block, cfg.txt 1, top.bin 5000/4096+1 = 2.
  EXPECT_EQ(list,
            "OK 10\n"
            "V 30313233343536373839414243444546\n"
            "R 52454C2D3030303030303132\n"
            "drive a total=16384 free=16380\n"
            "D /a/test\n"
            "F /a/test/cfg.txt 16\n"
            "F /a/top.bin 5000\n"
            "drive b total=8192 free=8191\n"
            "F /b/empty 0\n"
            "drive c total=8192 free=8191\n"
            "D /c/dir\n");
  ASSERT_EQ(Run("qvs-save master " + out.string()), "OK\n");
  EXPECT_EQ(Get(out / "a" / "top.bin"), std::string(5000, '\x5A'));
  EXPECT_EQ(Get(out / "a" / "test" / "cfg.txt"), "QVSVERSION : x\r\n");
  EXPECT_TRUE(fs::is_regular_file(out / "b" / "empty"));
  EXPECT_TRUE(fs::is_directory(out / "c" / "dir"));
  EXPECT_EQ(Get(out / "VERSION"), "0123456789ABCDEF");
  EXPECT_EQ(Get(out / "RELEASE"), "REL-00000012");
  // The slave's file system is its own: drive a of the 7 NOR sectors, nothing on it.
  EXPECT_EQ(Run("qvs-list slave"),
            "OK 3\ndrive a total=112 free=112\ndrive b total=0 free=0\ndrive c total=0 free=0\n");
}

TEST_F(QvsControlTest, BadFoldersAreRefusedAndChangeNothing) {
  Put(dir_ / "keep" / "a" / "kept", "1");
  ASSERT_EQ(Run("qvs-load master " + (dir_ / "keep").string()), "OK\n");
  Put(dir_ / "stray" / "d" / "x", "1");
  Put(dir_ / "short" / "VERSION", "too short");
  Put(dir_ / "long" / "a" / std::string(255, 'n'), "1");
  Put(dir_ / "nonempty" / "x", "1");
  struct Case {
    std::string line;
  } cases[] = {
      {"qvs-load master " + (dir_ / "missing").string()},
      {"qvs-load master " + (dir_ / "stray").string()},
      {"qvs-load master " + (dir_ / "short").string()},
      {"qvs-load master " + (dir_ / "long").string()},
      {"qvs-save master " + (dir_ / "nonempty").string()},
      {"qvs-save master " + (dir_ / "nonempty" / "x").string()},
      {"qvs-list"},
      {"qvs-list nobody"},
      {"qvs-format-fail master maybe"},
      {"qvs-format-fail master on 1"},
      {"qvs-format-fail master on 100 1"},
      {"nand-save slave " + (dir_ / "nand").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string reply = Run(c.line);
    EXPECT_EQ(reply.substr(0, 4), "ERR ");
    EXPECT_EQ(reply.find('\n'), reply.size() - 1);
  }
  std::string list = Run("qvs-list master");
  EXPECT_NE(list.find("F /a/kept 1\n"), std::string::npos) << list;
  EXPECT_EQ(Get(dir_ / "nonempty" / "x"), "1");
}

TEST_F(QvsControlTest, FormatFailureAndNandSave) {
  EXPECT_EQ(Run("qvs-format-fail master on 07 00000102"), "OK\n");
  ASSERT_TRUE(phone_.Master().FormatFailure().has_value());
  EXPECT_EQ(phone_.Master().FormatFailure()->function, 0x07);
  EXPECT_EQ(phone_.Master().FormatFailure()->error, 0x102u);
  EXPECT_EQ(Run("qvs-format-fail master off"), "OK\n");
  EXPECT_FALSE(phone_.Master().FormatFailure().has_value());
  // The smallest NAND: 65536 pages of 528 bytes.
  ASSERT_EQ(Run("flash-id master 00EC2206000000000014"), "OK\n");
  fs::path nand = dir_ / "nand.bin";
  EXPECT_EQ(Run("nand-save master " + nand.string()), "OK 34603008\n");
  EXPECT_EQ(fs::file_size(nand), 0x2100000u);
  // An empty file system: every page erased.
  std::string bytes = Get(nand);
  EXPECT_EQ(bytes.find_first_not_of('\xFF'), std::string::npos);
}

}  // namespace
}  // namespace phone_sim
