// The flasher's serial line, chip boot and NOR operations against the phone simulator,
// through Wine's COM port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Com_port.h"
#include "Special_unit.h"
#include "phone_line_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class FlasherLine : public PhoneLineTest {
 protected:
  // Failure paths wait out their deadlines: shorter ones keep those tests quick.
  static void ShortDeadlines() {
    Special_unit::timings.connect_echo = 800;
    Special_unit::timings.reply = 800;
    Special_unit::timings.address_reply = 800;
    Special_unit::timings.ack = 800;
  }
};

DCB CurrentLine() {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(Com_port::PortHandle)), &dcb);
  return dcb;
}

// --- Boot of both chips at every offered speed ---------------------------------------------

class BootAtSpeed : public FlasherLine, public ::testing::WithParamInterface<const char*> {};

TEST_P(BootAtSpeed, MasterThenSlaveReachTheBootLoader) {
  panel.speed = GetParam();
  ASSERT_TRUE(BootMaster()) << ::testing::PrintToString(panel.Lines());
  EXPECT_GE(Com_port::PortHandle, 0);
  EXPECT_THAT(panel.Lines(),
              ElementsAre("подлючите телефон и нажмите кнопку включения",
                          "Телефон найден - загрузка лоадеров !", "Посылка прелоадера",
                          "Прелоадер загружен", "Флеш лоадер загружен"));
  EXPECT_THAT(sim.State(), HasSubstr("master"));
  EXPECT_THAT(sim.State(), HasSubstr(GetParam()));
  // The pre-loader in two frames, the boot-loader announced by its size.
  EXPECT_THAT(Frames("BOOT_LOAD"),
              ElementsAre(HasSubstr("count=FF bytes=1024"), HasSubstr("count=D0 bytes=836")));
  EXPECT_THAT(Frames("SET_LENGTH"), ElementsAre(HasSubstr("0003B130")));
  const DCB line = CurrentLine();
  EXPECT_EQ(line.BaudRate, static_cast<DWORD>(std::atoi(GetParam())));

  sim.ClearFrames();
  ASSERT_TRUE(SwitchToSlave()) << ::testing::PrintToString(panel.Lines());
  EXPECT_THAT(sim.State(), HasSubstr("slave"));
  EXPECT_THAT(Frames("SET_LENGTH"), ElementsAre(HasSubstr("000104D4")));
}

INSTANTIATE_TEST_SUITE_P(OfferedSpeeds, BootAtSpeed,
                         ::testing::Values("115200", "460800", "921600"));

TEST_F(FlasherLine, BootLineIsEvenParityUntilTheSpeedChange) {
  ASSERT_TRUE(Com_port::ComConnect(panel.port));
  const DCB line = CurrentLine();
  EXPECT_EQ(line.BaudRate, 115200u);
  EXPECT_EQ(line.ByteSize, 8);
  EXPECT_EQ(line.Parity, EVENPARITY);
  EXPECT_EQ(line.StopBits, ONESTOPBIT);
  EXPECT_TRUE(line.fBinary);
  EXPECT_EQ(line.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(line.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_FALSE(line.fOutxCtsFlow || line.fOutX || line.fInX);
}

TEST_F(FlasherLine, ExtraConnectRequestsAfterBootConnectAreSkipped) {
  sim.ExtraConnectRequests(5);
  EXPECT_TRUE(BootMaster()) << ::testing::PrintToString(panel.Lines());
}

// --- Every failure of the boot: one message, then a closed port ------------------------------

struct BootFault {
  const char* point;  // simulator fault point; "" for the cases set up otherwise
  const char* kind;
  const char* message;
};

class BootFailure : public FlasherLine, public ::testing::WithParamInterface<BootFault> {};

TEST_P(BootFailure, LogsItsMessageOnceAndClosesThePort) {
  const BootFault& c = GetParam();
  ShortDeadlines();
  sim.Fault(c.point, c.kind, 0);
  EXPECT_FALSE(BootMaster());
  const auto lines = panel.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), c.message);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(c.message)), 1);
  EXPECT_LT(Com_port::PortHandle, 0);
}

std::string FaultName(const ::testing::TestParamInfo<BootFault>& info) {
  std::string name = std::string(info.param.point) + "_" + info.param.kind;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    InjectedFaults, BootFailure,
    ::testing::Values(BootFault{"connect", "drop", "Нет ответа от телефона"},
                      BootFault{"connect", "wrong", "Неверный ответ"},
                      BootFault{"query", "short", "Нет ответа от телефона"},
                      BootFault{"customer-id", "drop", "Нет ответа от телефона"},
                      BootFault{"customer-id", "wrong", "Неверный ответ"},
                      BootFault{"set-timeout", "wrong", "Неверный ответ"},
                      BootFault{"set-address", "drop", "Нет ответа от телефона"},
                      BootFault{"load", "wrong", "Неверный ответ"},
                      BootFault{"jump", "wrong", "Неверный ответ"},
                      BootFault{"sync", "drop", "Таймаут по установке скорости"},
                      BootFault{"sync", "wrong", "Не установилась скорость"},
                      BootFault{"length", "wrong", "Ошибка чек суммы"},
                      BootFault{"length", "drop", "Нет ответа от телефона"},
                      BootFault{"dma-echo", "wrong", "Неверный ответ"},
                      BootFault{"dma-sum", "wrong", "Неверный ответ"},
                      BootFault{"pre-jump", "drop", "Нет ответа от телефона"},
                      BootFault{"cs0-base", "wrong", "Смещение флеши не установились"},
                      BootFault{"flash-id", "short", "Не данные о типе флеши"}),
    FaultName);

TEST_F(FlasherLine, NoConnectRequestTimesOut) {
  Special_unit::timings.connect_wait = 3000;
  ShortDeadlines();
  sim.Power(false);
  EXPECT_FALSE(BootMaster());
  EXPECT_EQ(panel.Lines().back(), "Прошло 30 секунд а вы не подключили телефон - таймаут");
  EXPECT_LT(Com_port::PortHandle, 0);
}

TEST_F(FlasherLine, MissingPortCannotBeOpened) {
  panel.port = "COM250";
  EXPECT_FALSE(BootMaster());
  EXPECT_THAT(panel.Lines(), ElementsAre("Не открывается ком порт"));
  EXPECT_LT(Com_port::PortHandle, 0);
}

TEST_F(FlasherLine, UnknownSpeedFailsBeforeTheJump) {
  panel.speed = "";
  EXPECT_FALSE(BootMaster());
  EXPECT_EQ(panel.Lines().back(), "Не установилась скорость");
  EXPECT_TRUE(Frames("BOOT_JUMP").empty());
}

DWORD WINAPI LoadMissingImage(void*) {
  TMemoryStream stream;
  Special_unit::LoadLoaderImage("NO_SUCH_IMAGE", stream);
  return 7;  // not reached: the thread ends inside
}

TEST_F(FlasherLine, MissingImageEndsTheThreadAtOnce) {
  HANDLE thread = CreateThread(nullptr, 0, LoadMissingImage, nullptr, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u);
  EXPECT_THAT(panel.Lines(), ElementsAre("Ресурс не найден"));
}

TEST_F(FlasherLine, ImagesAreFoundByNameInAnyCase) {
  TMemoryStream pre, boot;
  Special_unit::LoadLoaderImage("kesta_pnx5231_v05_PRE", pre);
  Special_unit::LoadLoaderImage("KESTA_PNX6512_V05", boot);
  EXPECT_EQ(pre.Size(), 1860);
  EXPECT_EQ(boot.Size(), 241968);
}

// --- The port layer ------------------------------------------------------------------------

TEST_F(FlasherLine, PortClosesOnceAndOpensAgain) {
  ASSERT_TRUE(Com_port::ComConnect(panel.port));
  Com_port::ComClose(Com_port::PortHandle);
  EXPECT_LT(Com_port::PortHandle, 0);
  Com_port::ComClose(Com_port::PortHandle);  // nothing open: nothing happens
  ASSERT_TRUE(Com_port::ComConnect(panel.port)) << "the port is free again after the close";
}

TEST_F(FlasherLine, ReadsKeepWhatArrivedWhenTheDeadlinePasses) {
  sim.Power(false);
  ASSERT_TRUE(Com_port::ComConnect(panel.port));
  std::string text = "stale";
  EXPECT_FALSE(Com_port::ComReadString(Com_port::PortHandle, text, 4, 200));
  EXPECT_EQ(text, "");
  sim.Power(true);
  EXPECT_TRUE(Com_port::ComReadString(Com_port::PortHandle, text, 4, 3000));
  EXPECT_EQ(text, std::string(4, '\x81'));
  std::uint8_t block[3] = {};
  EXPECT_TRUE(Com_port::ComReadBuffer(Com_port::PortHandle, block, 3, 3000));
  EXPECT_EQ(block[2], 0x81);
}

}  // namespace
