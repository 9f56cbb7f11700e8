// NOR write, dump and erase against the phone simulator: frames on the line, bytes in the
// simulated flash, and the failure paths.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Com_port.h"
#include "Special_unit.h"
#include "phone_line_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr std::uint32_t kMasterSector = 0x20000;
constexpr std::uint32_t kSlaveSector = 0x10000;

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  unsigned x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

TMemoryStream StreamOf(const std::vector<std::uint8_t>& bytes) {
  TMemoryStream stream;
  if (!bytes.empty()) stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  return stream;
}

class NorOperation : public PhoneLineTest {
 protected:
  void Boot(bool slave) {
    ASSERT_TRUE(BootMaster());
    if (slave) ASSERT_TRUE(SwitchToSlave());
    sim.ClearFrames();
    // The failure cases wait out the acknowledgement deadline: keep it short after the boot.
    Special_unit::timings.ack = 800;
    Special_unit::timings.reply = 800;
  }
};

TEST_F(NorOperation, WriteOfAPartPieceAnnouncesWholePiecesPaddedAsErasedFlash) {
  Boot(false);
  const auto file = Pattern(3000, 1);
  sim.NorWrite(phone_sim::SimChip::kMaster, 0x40000,
               std::vector<std::uint8_t>(4096, 0x00));  // not erased
  TMemoryStream stream = StreamOf(file);
  ASSERT_TRUE(Special_unit::FlashWrite(0x40000, stream, kMasterSector));
  EXPECT_THAT(Frames("SET_LENGTH"), ElementsAre(HasSubstr("00001000")));
  EXPECT_THAT(Frames("BL_WRITE_128K"), ElementsAre(HasSubstr("00040000 pieces=2")));
  const auto nor = sim.NorRead(phone_sim::SimChip::kMaster, 0x40000, 4096);
  EXPECT_EQ(std::vector<std::uint8_t>(nor.begin(), nor.begin() + 3000), file);
  EXPECT_EQ(std::vector<std::uint8_t>(nor.begin() + 3000, nor.end()),
            std::vector<std::uint8_t>(1096, 0xFF));
}

TEST_F(NorOperation, WriteOfExactlyOneSectorSendsOneSectorCommand) {
  Boot(false);
  const auto file = Pattern(kMasterSector, 2);
  TMemoryStream stream = StreamOf(file);
  ASSERT_TRUE(Special_unit::FlashWrite(0, stream, kMasterSector));
  EXPECT_THAT(Frames("BL_WRITE_128K"), ElementsAre(HasSubstr("00000000 pieces=64")));
  EXPECT_EQ(sim.NorRead(phone_sim::SimChip::kMaster, 0x1F000, 4096),
            std::vector<std::uint8_t>(file.begin() + 0x1F000, file.end()));
}

TEST_F(NorOperation, SlaveWriteUsesSixtyFourKibSectorsFromAnUnalignedStart) {
  Boot(true);
  const auto file = Pattern(70000, 3);
  TMemoryStream stream = StreamOf(file);
  ASSERT_TRUE(Special_unit::FlashWrite(0x1234, stream, kSlaveSector));
  EXPECT_THAT(Frames("BL_WRITE_64K"),
              ElementsAre(HasSubstr("00001234 pieces=32"), HasSubstr("00011234 pieces=3")));
  EXPECT_EQ(sim.NorRead(phone_sim::SimChip::kSlave, 0x1234 + 65536, 4464),
            std::vector<std::uint8_t>(file.begin() + 65536, file.end()));
}

struct DumpCase {
  std::uint32_t start;
  std::uint32_t length;
  std::size_t blocks;
};

class DumpLength : public NorOperation, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpLength, ReadsWholeBlocksIntoTheFile) {
  const DumpCase& c = GetParam();
  Boot(false);
  const auto content = Pattern(c.blocks * 8192, 4);
  if (!content.empty()) sim.NorWrite(phone_sim::SimChip::kMaster, c.start, content);
  sim.ClearFrames();
  TMemoryStream file;
  ASSERT_TRUE(Special_unit::FlashDump(c.start, c.length, file, 8192));
  EXPECT_EQ(Frames("BL_DUMP_BLOCK").size(), c.blocks);
  ASSERT_EQ(static_cast<std::size_t>(file.Size()), c.blocks * 8192);
  EXPECT_TRUE(std::equal(content.begin(), content.end(), file.Memory()));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DumpLength,
                         ::testing::Values(DumpCase{0x1000, 0, 0}, DumpCase{0x1000, 1, 1},
                                           DumpCase{0x1000, 8193, 2},
                                           DumpCase{0x30000, 0x4000, 2}));

struct EraseCase {
  bool slave;
  std::uint32_t length;
  std::size_t sectors;
};

class EraseLength : public NorOperation, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseLength, ErasesWholeSectorsFromTheStart) {
  const EraseCase& c = GetParam();
  Boot(c.slave);
  const auto chip = c.slave ? phone_sim::SimChip::kSlave : phone_sim::SimChip::kMaster;
  sim.NorWrite(chip, 0x20000, std::vector<std::uint8_t>(16, 0x00));
  sim.ClearFrames();
  ASSERT_TRUE(Special_unit::FlashErase(0, c.length, c.slave ? kSlaveSector : kMasterSector));
  EXPECT_EQ(Frames("BL_ERASE_SECTOR").size(), c.sectors);
  if (c.sectors >= 2)
    EXPECT_EQ(sim.NorRead(chip, 0x20000, 16), std::vector<std::uint8_t>(16, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(Lengths, EraseLength,
                         ::testing::Values(EraseCase{false, 0x20001, 2},
                                           EraseCase{true, 0x20001, 3}, EraseCase{false, 0, 0}));

// The top of each NOR is made of small sectors; an erase over it must clear all of them.
class EraseOfTheTop : public NorOperation, public ::testing::WithParamInterface<bool> {};

TEST_P(EraseOfTheTop, ClearsEverySmallSector) {
  const bool slave = GetParam();
  Boot(slave);
  const auto chip = slave ? phone_sim::SimChip::kSlave : phone_sim::SimChip::kMaster;
  const std::uint32_t nor_end = slave ? 0x1000000 : 0x2000000;
  const std::uint32_t sector = slave ? kSlaveSector : kMasterSector;
  const std::uint32_t start = nor_end - 2 * sector;
  for (std::uint32_t a = start; a < nor_end; a += 0x1000)
    sim.NorWrite(chip, a, std::vector<std::uint8_t>(16, 0x00));
  ASSERT_TRUE(Special_unit::FlashErase(start, 2 * sector, sector));
  for (std::uint32_t a = start; a < nor_end; a += 0x1000)
    ASSERT_EQ(sim.NorRead(chip, a, 16), std::vector<std::uint8_t>(16, 0xFF)) << std::hex << a;
}

INSTANTIATE_TEST_SUITE_P(Chips, EraseOfTheTop, ::testing::Values(false, true));

TEST_F(NorOperation, CorruptedDataIsAChecksumErrorNotASuccess) {
  Boot(false);
  TMemoryStream file;
  sim.Fault("dump-sum", "wrong", 1);
  EXPECT_FALSE(Special_unit::FlashDump(0, 8192, file, 8192));
  EXPECT_EQ(panel.Lines().back(), "Ошибка чек суммы");

  sim.Fault("write-done", "wrong", 1);
  TMemoryStream source = StreamOf(Pattern(4096, 5));
  EXPECT_FALSE(Special_unit::FlashWrite(0, source, kMasterSector));
  EXPECT_EQ(panel.Lines().back(), "Ошибка чек суммы");
}

TEST_F(NorOperation, AMissingAcknowledgementEndsTheOperation) {
  Boot(false);
  sim.Fault("erase", "drop", 1);
  EXPECT_FALSE(Special_unit::FlashErase(0, 0x40000, kMasterSector));
  EXPECT_EQ(panel.Lines().back(), "Нет ответа от телефона");
  EXPECT_EQ(Frames("BL_ERASE_SECTOR").size(), 1u);
}

TEST_F(NorOperation, RangesPastFourGibAreRefusedBeforeAnythingIsSent) {
  Boot(false);
  TMemoryStream file;
  EXPECT_FALSE(Special_unit::FlashDump(0xFFFFF000, 0x2000, file, 8192));
  EXPECT_FALSE(Special_unit::FlashErase(0xFFFE0000, 0x20001, kMasterSector));
  TMemoryStream source = StreamOf(Pattern(4096, 6));
  EXPECT_FALSE(Special_unit::FlashWrite(0xFFFFF800, source, kMasterSector));
  EXPECT_TRUE(sim.Frames().empty());
  // The last whole block below 4 GiB is still dumped, once.
  EXPECT_TRUE(Special_unit::FlashDump(0xFFFFE000, 0x2000, file, 8192));
  EXPECT_EQ(Frames("BL_DUMP_BLOCK").size(), 1u);
}

}  // namespace
