// The phone's protocol logic fed with bytes directly, on a simulated clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "direct_line.h"
#include "phone.h"
#include "test_host.h"

namespace phone_sim {
namespace {

using namespace std::chrono_literals;
using phone_sim_test::Be32;
using phone_sim_test::BootChip;
using phone_sim_test::BootImages;
using phone_sim_test::BootOptions;
using phone_sim_test::ByteSum;

TEST(PhoneBoot, MasterBootsAtEverySpeedWithFlasherAndDownloaderFraming) {
  struct Case {
    std::uint8_t code;
    std::uint32_t baud;
    bool one_word;
  } cases[] = {{0, 115200, false}, {1, 230400, true}, {2, 460800, false}, {3, 921600, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    DirectLine line;
    EXPECT_EQ(BootChip(line, MasterImages(), {c.code, c.baud, c.one_word}), "");
    EXPECT_EQ(line.phone().OnLine().StateName(), "boot-loader/ready");
    EXPECT_TRUE(line.FramesContain("SET_LENGTH 0003B130"));
    EXPECT_TRUE(line.FramesContain(c.one_word ? "BOOT_LOAD count=00 bytes=4"
                                              : "BOOT_LOAD count=D0 bytes=836"));
  }
}

TEST(PhoneBoot, RepliesOfTheFixedFrames) {
  DirectLine line;
  ASSERT_EQ(BootChip(line, MasterImages(), {3, 921600}), "");
  EXPECT_EQ(line.Exchange({0xD0, 0x20, 0x00, 0x00, 0x00}), Bytes{0x20});
  EXPECT_EQ(line.Exchange({0xD1}), (Bytes{0x00, 0xEC, 0x22, 0x06, 0, 0, 0, 0, 0x00, 0x34}));
  EXPECT_EQ(line.Exchange({0xD9}), Bytes{0x03});
  EXPECT_EQ(line.Exchange(Frame(0xD3, 0x00020000)), Bytes{0x02});
  EXPECT_EQ(line.Exchange(Frame(0xD4, 0x0003B130)), Bytes{0xE4});
}

TEST(PhoneBoot, ConnectRequestsOnlyAtBootSpeedAndWhileTheLineIsIdle) {
  DirectLine line;
  line.SetBaud(38400);
  EXPECT_TRUE(line.Read(1, 200ms).empty());
  line.SetBaud(115200);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(line.Read(1, 25ms), Bytes{0x81});
  // While a request is still unread no other is queued behind it.
  EXPECT_EQ(line.Read(2, 500ms), Bytes{0x81});
}

TEST(PhoneBoot, QueryBytesDifferFromBootToBoot) {
  DirectLine line;
  ASSERT_EQ(line.Read(1, 100ms), Bytes{0x81});
  line.Exchange({0x44});
  Bytes first = line.Exchange({0x51});
  line.phone().SetPower(false, line.now());
  line.phone().SetPower(true, line.now());
  ASSERT_EQ(line.Read(1, 100ms), Bytes{0x81});
  line.Exchange({0x44});
  Bytes second = line.Exchange({0x51});
  ASSERT_EQ(first.size(), 16u);
  EXPECT_NE(first, second);
}

TEST(PhoneBoot, ExtraConnectRequestsComeBeforeTheConnectReply) {
  DirectLine line;
  line.phone().SetExtraConnectRequests(3);
  ASSERT_EQ(line.Read(1, 100ms), Bytes{0x81});
  EXPECT_EQ(line.Exchange({0x44}), (Bytes{0x81, 0x81, 0x81, 0x44}));
  // A host that went back to waiting answers again with 0x44 and is answered again.
  EXPECT_EQ(line.Exchange({0x44}), (Bytes{0x81, 0x81, 0x81, 0x44}));
  EXPECT_EQ(line.Exchange({0x51}).size(), 16u);
}

// Runs the boot ROM handshake up to the commands stage; returns the query bytes.
Bytes Handshake(DirectLine& line) {
  EXPECT_EQ(line.Read(1, 100ms), Bytes{0x81});
  EXPECT_EQ(line.Exchange({0x44}), Bytes{0x44});
  Bytes query = line.Exchange({0x51});
  Bytes id = {0x44, 0xA7, 0x1C, 0xE2, 0x4B};
  id.insert(id.end(), query.begin(), query.end());
  EXPECT_EQ(line.Exchange(id), Bytes{0x4F});
  return query;
}

Bytes LoadFrame(ByteSpan words) {
  Bytes f = {0x4C, static_cast<std::uint8_t>(words.size() / 4 - 1)};
  f.insert(f.end(), words.begin(), words.end());
  return f;
}

TEST(PhoneBoot, BootRomRefusesBadHandshakeAndBadPreLoader) {
  const Bytes pre = MasterImages().pre_loader;
  Bytes corrupt = pre;
  corrupt[1000] ^= 0x01;
  const Bytes set_address = {0x53, 0x00, 0x00, 0x00, 0x1C};
  struct Case {
    const char* name;
    std::function<Bytes(DirectLine&)> run;  // the reply to the last frame
  } cases[] = {
      {"wrong customer ID",
       [](DirectLine& line) {
         line.Read(1, 100ms);
         line.Exchange({0x44});
         Bytes id = {0x44, 0xA7, 0x1C, 0xE2, 0x4C};
         Bytes q = line.Exchange({0x51});
         id.insert(id.end(), q.begin(), q.end());
         return line.Exchange(id);
       }},
      {"query not echoed",
       [](DirectLine& line) {
         line.Read(1, 100ms);
         line.Exchange({0x44});
         Bytes id = {0x44, 0xA7, 0x1C, 0xE2, 0x4B};
         Bytes q = line.Exchange({0x51});
         q[15] ^= 0x80;
         id.insert(id.end(), q.begin(), q.end());
         return line.Exchange(id);
       }},
      {"address outside RAM",
       [](DirectLine& line) {
         Handshake(line);
         return line.Exchange({0x53, 0x00, 0x00, 0x00, 0x30});
       }},
      {"load without address",
       [&](DirectLine& line) {
         Handshake(line);
         return line.Exchange(LoadFrame(ByteSpan(pre).first(1024)));
       }},
      {"pre-loader one byte changed",
       [&](DirectLine& line) {
         Handshake(line);
         line.Exchange(set_address);
         line.Exchange(LoadFrame(ByteSpan(corrupt).first(1024)));
         line.Exchange(LoadFrame(ByteSpan(corrupt).subspan(1024)));
         line.Exchange(set_address);
         return line.Exchange({0x4A});
       }},
      {"pre-loader short",
       [&](DirectLine& line) {
         Handshake(line);
         line.Exchange(set_address);
         line.Exchange(LoadFrame(ByteSpan(pre).first(1024)));
         line.Exchange(set_address);
         return line.Exchange({0x4A});
       }},
      {"jump without the start address again",
       [&](DirectLine& line) {
         Handshake(line);
         line.Exchange(set_address);
         line.Exchange(LoadFrame(ByteSpan(pre).first(1024)));
         line.Exchange(LoadFrame(ByteSpan(pre).subspan(1024)));
         return line.Exchange({0x4A});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectLine line;
    EXPECT_TRUE(c.run(line).empty());
    EXPECT_EQ(line.phone().OnLine().StateName(), "boot-rom/halted");
    // Silent for the boot-ROM time-out, then waiting again.
    EXPECT_TRUE(line.Read(1, 1500ms).empty());
    EXPECT_EQ(line.Read(1, 300ms), Bytes{0x81});
  }
}

// Boots the master up to the pre-loader's ready state at 921600.
void ToPreLoader(DirectLine& line) {
  const Bytes pre = MasterImages().pre_loader;
  const Bytes set_address = {0x53, 0x00, 0x00, 0x00, 0x1C};
  Handshake(line);
  line.Exchange(set_address);
  line.Exchange(LoadFrame(ByteSpan(pre).first(1024)));
  line.Exchange(LoadFrame(ByteSpan(pre).subspan(1024)));
  line.Exchange(set_address);
  ASSERT_EQ(line.Exchange({0x4A}), Bytes{0xAB});
  EXPECT_TRUE(line.Exchange({0x03}).empty());
  line.SetBaud(921600);
}

TEST(PhoneBoot, PreLoaderAnswersOnlyAtTheChosenSpeed) {
  DirectLine line;
  ToPreLoader(line);
  line.SetBaud(460800);
  EXPECT_TRUE(line.Exchange({0xD9}).empty());
  line.SetBaud(115200);
  EXPECT_TRUE(line.Exchange({0xD9}).empty());
  line.SetBaud(921600);
  EXPECT_EQ(line.Exchange({0xD9}), Bytes{0x03});
}

TEST(PhoneBoot, PreLoaderRefusesWrongLengthAndWrongBootLoader) {
  const Bytes boot = MasterImages().boot_loader;
  {
    SCOPED_TRACE("block before SET_LENGTH");
    DirectLine line;
    ToPreLoader(line);
    EXPECT_TRUE(line.Exchange({0xF7}).empty());
  }
  {
    SCOPED_TRACE("length of the slave's boot-loader");
    DirectLine line;
    ToPreLoader(line);
    EXPECT_TRUE(line.Exchange(Frame(0xD4, 66772)).empty());
  }
  {
    SCOPED_TRACE("one block changed, then PRE_JUMP");
    DirectLine line;
    ToPreLoader(line);
    ASSERT_EQ(line.Exchange(Frame(0xD4, 241968)), Bytes{0xE4});
    for (std::size_t pos = 0; pos < boot.size(); pos += 2048) {
      std::size_t n = std::min<std::size_t>(2048, boot.size() - pos);
      Bytes block(boot.begin() + pos, boot.begin() + pos + n);
      if (pos == 2048 * 50) block[7] ^= 0x10;
      ASSERT_EQ(line.Exchange({0xF7}), Bytes{0xF7});
      ASSERT_EQ(line.Exchange(block), Bytes{ByteSum(block)});
    }
    EXPECT_TRUE(line.Exchange({0xFF}).empty());
    EXPECT_TRUE(line.FramesContain("PRE_JUMP refused: boot-loader differs at byte 102407"));
  }
  {
    SCOPED_TRACE("PRE_JUMP before the last block");
    DirectLine line;
    ToPreLoader(line);
    ASSERT_EQ(line.Exchange(Frame(0xD4, 241968)), Bytes{0xE4});
    ASSERT_EQ(line.Exchange({0xF7}), Bytes{0xF7});
    line.Exchange(Bytes(boot.begin(), boot.begin() + 2048));
    EXPECT_TRUE(line.Exchange({0xFF}).empty());
  }
}

TEST(PhoneBoot, SlaveBootsAfterTheSwitchWithItsOwnImages) {
  DirectLine line;
  ASSERT_EQ(BootChip(line, MasterImages(), {3, 921600}), "");
  EXPECT_TRUE(line.Exchange({0xCD}).empty());
  line.Pause(250ms);
  // The master's images are not the slave's: the jump is refused.
  EXPECT_EQ(BootChip(line, MasterImages(), {2, 460800}), "BOOT_JUMP");
  line.Pause(2000ms);
  ASSERT_EQ(BootChip(line, SlaveImages(), {2, 460800}), "");
  EXPECT_EQ(line.phone().OnLine().Name(), "slave");
  EXPECT_TRUE(line.FramesContain("SET_LENGTH 000104D4"));
  EXPECT_EQ(line.Exchange({0xD1}), (Bytes{0x00, 0xEC, 0x24, 0x02, 0, 0, 0, 0, 0xE1, 0xD0}));
  // The slave boot-loader has no slave to switch to.
  EXPECT_TRUE(line.Exchange({0xCD}).empty());
  EXPECT_EQ(line.Exchange({0xD9}), Bytes{0x02});
}

TEST(PhoneBoot, SlaveLengthReplyIsD9) {
  DirectLine line;
  ASSERT_EQ(BootChip(line, MasterImages(), {0, 115200}), "");
  line.Exchange({0xCD});
  ASSERT_EQ(BootChip(line, SlaveImages(), {0, 115200}), "");
  EXPECT_EQ(line.Exchange(Frame(0xD4, 66772)), Bytes{0xD9});
}

TEST(PhoneBoot, PowerOffSilencesThePhoneUntilPowerOn) {
  DirectLine line(/*powered=*/false);
  EXPECT_TRUE(line.Read(1, 500ms).empty());
  EXPECT_TRUE(line.Exchange({0x44}).empty());
  line.phone().SetPower(true, line.now());
  EXPECT_EQ(line.Read(1, 100ms), Bytes{0x81});
  // Power off in the boot-loader: back to the master's boot ROM on power on.
  line.phone().SetPower(false, line.now());
  line.phone().SetPower(true, line.now());
  ASSERT_EQ(BootChip(line, MasterImages(), {0, 115200}), "");
  line.Exchange({0xCD});
  line.phone().SetPower(false, line.now());
  line.phone().SetPower(true, line.now());
  EXPECT_EQ(line.phone().OnLine().Name(), "master");
}

class BootLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(BootChip(line_, MasterImages(), {3, 921600}), ""); }
  Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return b;
  }
  NorFlash& Nor() { return line_.phone().Master().Nor(); }
  DirectLine line_;
};

TEST_F(BootLoaderTest, WriteTakesWholePiecesOfTheAnnouncedLength) {
  // Flasher: a 3000-byte file goes as SET_LENGTH 4096 and two full pieces.
  Bytes data = Pattern(4096, 1);
  Bytes replies = phone_sim_test::WriteSector(line_, 0xC7, 0x20000, data, 4096);
  Bytes first(data.begin(), data.begin() + 2048), second(data.begin() + 2048, data.end());
  EXPECT_EQ(replies, (Bytes{ByteSum(Be32(4096)), ByteSum(first), ByteSum(second), ByteSum(data)}));
  EXPECT_EQ(Nor().Read(0x20000, 4096), data);
  EXPECT_EQ(Nor().Read(0x21000, 1), Bytes{0xFF});
  EXPECT_TRUE(line_.FramesContain("BL_WRITE_128K 00020000 pieces=2"));
}

TEST_F(BootLoaderTest, WriteOfExactLengthEndsWithAShortPiece) {
  Bytes data = Pattern(3000, 9);
  Bytes replies = phone_sim_test::WriteSector(line_, 0xC7, 0x40000, data, 3000);
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[3], ByteSum(data));
  EXPECT_EQ(Nor().Read(0x40000, 3001), [&] {
    Bytes b = data;
    b.push_back(0xFF);
    return b;
  }());
}

TEST_F(BootLoaderTest, EachSectorCommandTakesAtMostItsSectorOfTheAnnouncedLength) {
  Bytes data = Pattern(0x30000, 3);
  ASSERT_EQ(line_.Exchange(Frame(0xD4, 0x30000)), Bytes{ByteSum(Be32(0x30000))});
  for (std::uint32_t sector = 0; sector < 2; ++sector) {
    std::size_t length = sector == 0 ? 0x20000 : 0x10000;
    Bytes part(data.begin() + sector * 0x20000, data.begin() + sector * 0x20000 + length);
    line_.Exchange(Frame(0xC7, sector * 0x20000));
    Bytes replies;
    for (std::size_t pos = 0; pos < length; pos += 2048) {
      Bytes r = line_.Exchange(Bytes(part.begin() + pos, part.begin() + pos + 2048));
      replies.insert(replies.end(), r.begin(), r.end());
    }
    EXPECT_EQ(replies.size(), length / 2048 + 1);
    EXPECT_EQ(replies.back(), ByteSum(part));
  }
  EXPECT_EQ(Nor().Read(0, 0x30000), data);
  EXPECT_TRUE(line_.FramesContain("BL_WRITE_128K 00020000 pieces=32"));
}

TEST_F(BootLoaderTest, WritePastTheEndIsDroppedAndLogged) {
  Bytes data = Pattern(4096, 5);
  Bytes replies = phone_sim_test::WriteSector(line_, 0xC7, 0x1FFF800, data, 4096);
  EXPECT_EQ(replies.back(), ByteSum(data));
  EXPECT_EQ(Nor().Read(0x1FFF800, 2048), Bytes(data.begin(), data.begin() + 2048));
  EXPECT_TRUE(line_.FramesContain("BL_WRITE_128K 01FFF800 pieces=2 dropped=2048 past the end"));
}

TEST_F(BootLoaderTest, DumpSendsEightKilobytesAndTheirSum) {
  Bytes data = Pattern(8192, 77);
  Nor().Write(0x1FFE000, data);
  Bytes reply = phone_sim_test::DumpBlock(line_, 0x1FFE000);
  ASSERT_EQ(reply.size(), 8193u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8192), data);
  EXPECT_EQ(reply[8192], ByteSum(data));
  // Past the end: erased bytes, sum of 8192 x 0xFF = 0x00.
  reply = phone_sim_test::DumpBlock(line_, 0x1FFF000);
  ASSERT_EQ(reply.size(), 8193u);
  EXPECT_EQ(reply[4095], data[8191]);
  EXPECT_EQ(reply[4096], 0xFF);
}

TEST(PhoneNor, EraseHitsThePhysicalSectorOfEachLayout) {
  struct Case {
    bool slave;
    std::uint32_t address;       // erase command address
    std::uint32_t sector_start;  // expected erased range
    std::uint32_t sector_size;
  } cases[] = {
      {false, 0x00000000, 0x00000000, 0x20000}, {false, 0x00030000, 0x00020000, 0x20000},
      {false, 0x01FE0000, 0x01FE0000, 0x8000},  {false, 0x01FFFFFF, 0x01FF8000, 0x8000},
      {true, 0x00018000, 0x00010000, 0x10000},  {true, 0x00FF0000, 0x00FF0000, 0x2000},
      {true, 0x00FFE001, 0x00FFE000, 0x2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    DirectLine line;
    ASSERT_EQ(BootChip(line, MasterImages(), {0, 115200}), "");
    if (c.slave) {
      line.Exchange({0xCD});
      ASSERT_EQ(BootChip(line, SlaveImages(), {0, 115200}), "");
    }
    NorFlash& nor = line.phone().OnLine().Nor();
    Bytes zeros(nor.Size(), 0x00);
    nor.Write(0, zeros);
    Bytes reply = phone_sim_test::EraseSector(line, c.address);
    EXPECT_EQ(reply, Bytes{ByteSum(Be32(c.address))});
    Bytes sector = nor.Read(c.sector_start, c.sector_size);
    EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](auto b) { return b == 0xFF; }));
    if (c.sector_start > 0) EXPECT_EQ(nor.Read(c.sector_start - 1, 1), Bytes{0x00});
    if (c.sector_start + c.sector_size < nor.Size()) {
      EXPECT_EQ(nor.Read(c.sector_start + c.sector_size, 1), Bytes{0x00});
    }
  }
}

TEST_F(BootLoaderTest, UnknownCommandIsLoggedAndIgnored) {
  EXPECT_TRUE(line_.Exchange({0x12}).empty());
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
  EXPECT_TRUE(line_.FramesContain("IGNORED 1 bytes (unknown command): 12"));
}

TEST_F(BootLoaderTest, BytesAtAnotherSpeedNeverReachTheBootLoader) {
  line_.SetBaud(115200);
  EXPECT_TRUE(line_.Exchange(Frame(0xD5, 0)).empty());
  line_.SetBaud(921600);
  EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
}

TEST_F(BootLoaderTest, FaultsChangeOnlyTheWire) {
  struct Case {
    const char* point;
    const char* kind;
    Bytes frame;
    Bytes wire;
  } cases[] = {
      {"bl-sync", "drop", {0xD9}, {}},
      {"bl-sync", "wrong", {0xD9}, {0xFC}},
      {"bl-sync", "garbage", {0xD9}, {0xA5, 0x5A, 0x3C, 0x03}},
      {"bl-sync", "short", {0xD9}, {}},
      {"cs0-base", "wrong", {0xD0, 0x20, 0, 0, 0}, {0xDF}},
      {"flash-id", "short", {0xD1}, {0x00, 0xEC, 0x22, 0x06, 0x00}},
      {"erase", "drop", Frame(0xD5, 0x20000), {}},
      {"offset", "garbage", Frame(0xD3, 0x01020304), {0xA5, 0x5A, 0x3C, 0x0A}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.point) + " " + c.kind);
    line_.phone().Faults().Arm(*FaultPointFromName(c.point), *FaultKindFromName(c.kind), 1);
    EXPECT_EQ(line_.Exchange(c.frame), c.wire);
    // The fault was used up; the chip went on as if the reply had gone out.
    EXPECT_EQ(line_.Exchange({0xD9}), Bytes{0x03});
  }
}

TEST_F(BootLoaderTest, DumpFaultsHitDataOrSum) {
  Bytes data = Pattern(8192, 4);
  Nor().Write(0, data);
  line_.phone().Faults().Arm(FaultPoint::kDumpData, FaultKind::kWrong, 1);
  Bytes reply = phone_sim_test::DumpBlock(line_, 0);
  ASSERT_EQ(reply.size(), 8193u);
  EXPECT_EQ(reply[0], static_cast<std::uint8_t>(~data[0]));
  EXPECT_EQ(reply[8192], ByteSum(data));  // the sum of what the NOR holds
  line_.phone().Faults().Arm(FaultPoint::kDumpData, FaultKind::kShort, 1);
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0).size(), 4097u);
  line_.phone().Faults().Arm(FaultPoint::kDumpSum, FaultKind::kDrop, 0);
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0).size(), 8192u);
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0).size(), 8192u);  // "always" stays armed
  line_.phone().Faults().Clear();
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0).size(), 8193u);
  // A fault after two untouched replies: the third block only.
  line_.phone().Faults().Arm(FaultPoint::kDumpData, FaultKind::kWrong, 1, 2);
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0)[0], data[0]);
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0)[0], data[0]);
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0)[0], static_cast<std::uint8_t>(~data[0]));
  EXPECT_EQ(phone_sim_test::DumpBlock(line_, 0)[0], data[0]);
}

TEST(PhoneFaults, CountedFaultsOnBootReplies) {
  DirectLine line;
  line.phone().Faults().Arm(FaultPoint::kConnectReq, FaultKind::kWrong, 2);
  EXPECT_EQ(line.Read(1, 100ms), Bytes{0x7E});
  EXPECT_EQ(line.Read(1, 100ms), Bytes{0x7E});
  EXPECT_EQ(line.Read(1, 100ms), Bytes{0x81});
  line.phone().Faults().Arm(FaultPoint::kConnect, FaultKind::kDrop, 1);
  EXPECT_TRUE(line.Exchange({0x44}).empty());
  EXPECT_EQ(line.Exchange({0x44}), Bytes{0x44});
  line.phone().Faults().Arm(FaultPoint::kQuery, FaultKind::kShort, 1);
  EXPECT_EQ(line.Exchange({0x51}).size(), 8u);
  EXPECT_TRUE(line.FramesContain("FAULT query short"));
}

}  // namespace
}  // namespace phone_sim
