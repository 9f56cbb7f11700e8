#include "work_Thread.h"

#include <windows.h>

#include <memory>
#include <string>

#include "Com_port.h"
#include "FlasherPanel.h"
#include "Special_unit.h"
#include "Streams.h"
#include "SysUtils.h"
#include "Unit1.h"

_work_Thread* WorkThread = nullptr;

void StartWorkThread() { WorkThread = new _work_Thread(); }

namespace {

constexpr std::uint32_t kMasterSectorSize = 0x20000;
constexpr std::uint32_t kSlaveSectorSize = 0x10000;
constexpr std::uint32_t kDumpBlockSize = 8192;
constexpr std::uint8_t kSwitchSlave = 0xCD;
constexpr unsigned kSlaveSwitchPauseMs = 250;

// One run of the operation the buttons chose; false takes the error exit.
bool RunOperation(FlasherPanel& panel, std::unique_ptr<TFileStream>& file) {
  const std::string mode = OperationMode;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  if (mode == "flash") {
    const std::string name = panel.SourceFileName();
    start = HexToUInt32(panel.OffsetText());
    if (!FileExists(name)) {
      Special_unit::LogLine("Файл не выбран - выберите файл для прошивки");
      return false;
    }
    file = std::make_unique<TFileStream>(name, fmOpenRead | fmShareDenyNone);
  } else if (mode == "damp") {
    start = HexToUInt32(panel.OffsetText());
    length = HexToUInt32(panel.LengthText());
    file = std::make_unique<TFileStream>(DumpFileName, fmCreate);
  } else if (mode == "Erase") {
    start = HexToUInt32(panel.OffsetText());
    length = HexToUInt32(panel.LengthText());
  } else {
    return false;
  }

  if (!Special_unit::BootAndLoad("Kesta_PNX6512_V05_pre", "Kesta_PNX6512_V05")) return false;
  std::uint32_t sector_size = kMasterSectorSize;
  if (panel.SlaveChipChosen()) {
    Com_port::ComWriteString(Com_port::PortHandle, std::string(1, static_cast<char>(kSwitchSlave)));
    Com_port::ComClose(Com_port::PortHandle);
    Sleep(kSlaveSwitchPauseMs);
    if (!Special_unit::BootAndLoad("Kesta_PNX5231_V05_pre", "Kesta_PNX5231_V05")) return false;
    sector_size = kSlaveSectorSize;
  }

  if (mode == "flash") {
    if (!Special_unit::FlashWrite(start, *file, sector_size)) return false;
    file.reset();
    Special_unit::LogLine("Флеширование выполнено успешно");
  } else if (mode == "damp") {
    if (!Special_unit::FlashDump(start, length, *file, kDumpBlockSize)) return false;
    file.reset();
    Special_unit::LogLine("Дамп выполнен успешно");
  } else {
    if (!Special_unit::FlashErase(start, length, sector_size)) return false;
  }
  return true;
}

}  // namespace

void _work_Thread::Execute() {
  FlasherPanel* panel = ActivePanel();
  if (!panel) return;
  panel->EnableOperationButtons(false);
  std::unique_ptr<TFileStream> file;
  bool ok = false;
  try {
    ok = RunOperation(*panel, file);
  } catch (const Exception&) {
    ok = false;  // a field that does not parse, a file that can't be opened or created
  }
  Com_port::ComClose(Com_port::PortHandle);
  if (!ok) {
    try {
      file.reset();
    } catch (...) {
    }
    Special_unit::LogLine("Ошибка операции");
  }
  panel->EnableOperationButtons(true);
}
