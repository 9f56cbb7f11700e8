#include "control_commands.h"

#include <gtest/gtest.h>

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
