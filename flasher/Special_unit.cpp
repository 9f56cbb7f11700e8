#include "Special_unit.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Com_port.h"
#include "FlasherPanel.h"
#include "WideText.h"

namespace Special_unit {

Timings timings;
std::uint8_t TransferBuffer[kTransferBufferSize];
std::uint8_t PieceBuffer[kPieceBufferSize];

namespace {

constexpr const char* kNoAnswer = "Нет ответа от телефона";
constexpr const char* kWrongAnswer = "Неверный ответ";
constexpr const char* kChecksumError = "Ошибка чек суммы";
constexpr const char* kBadRange = "Неверный диапазон адресов";

constexpr std::uint8_t kConnectRequest = 0x81;
constexpr std::uint8_t kBootConnect = 0x44;
constexpr std::uint8_t kBootOk = 0x4F;
constexpr std::uint8_t kPreReady = 0xAB;
constexpr std::uint8_t kPreDmaBlock = 0xF7;
constexpr std::uint8_t kCustomerId[4] = {0xA7, 0x1C, 0xE2, 0x4B};

constexpr std::uint32_t kPieceSize = 2048;
constexpr std::uint32_t kPreLoaderBlock = 1024;
constexpr std::uint32_t kBootLoaderBlock = 2048;

// One step's outcome: the message to log on failure, or none.
struct StepError {
  const char* message;
};

void Send(std::initializer_list<std::uint8_t> bytes) {
  const std::string frame(bytes.begin(), bytes.end());
  Com_port::ComWriteString(Com_port::PortHandle, frame);
}

// Command byte followed by a 32-bit value, most significant byte first.
void SendFrame(std::uint8_t command, std::uint32_t value) {
  Send({command, static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

std::uint8_t Sum8OfValue(std::uint32_t value) {
  return static_cast<std::uint8_t>((value >> 24) + (value >> 16) + (value >> 8) + value);
}

bool ReadReply(std::uint8_t& byte, std::uint32_t deadline) {
  return Com_port::ComReadByte(Com_port::PortHandle, byte, deadline);
}

// Reads one reply byte and compares it; logs the step's message on failure.
bool Expect(std::uint8_t expected, std::uint32_t deadline, const char* timeout_message,
            const char* wrong_message) {
  std::uint8_t byte = 0;
  if (!ReadReply(byte, deadline)) {
    LogLine(timeout_message);
    return false;
  }
  if (byte != expected) {
    LogLine(wrong_message);
    return false;
  }
  return true;
}

bool ExpectAny(std::uint32_t deadline) {
  std::uint8_t byte = 0;
  if (ReadReply(byte, deadline)) return true;
  LogLine(kNoAnswer);
  return false;
}

bool SpeedCodeOf(const std::string& text, std::uint8_t& code, std::uint32_t& baud) {
  static constexpr struct {
    std::uint32_t baud;
    std::uint8_t code;
  } kSpeeds[] = {{115200, 0x00}, {230400, 0x01}, {460800, 0x02}, {921600, 0x03}};
  for (const auto& speed : kSpeeds) {
    if (text == std::to_string(speed.baud)) {
      code = speed.code;
      baud = speed.baud;
      return true;
    }
  }
  return false;
}

std::string PanelPort() { return ActivePanel() ? ActivePanel()->SelectedPortName() : ""; }
std::string PanelSpeed() { return ActivePanel() ? ActivePanel()->SelectedSpeedText() : ""; }

// The boot steps after the port is open; false after logging the failed step's message.
bool RunBoot(TMemoryStream& pre_loader, TMemoryStream& boot_loader) {
  const Timings& t = timings;
  const int port = Com_port::PortHandle;

  LogLine("подлючите телефон и нажмите кнопку включения");
  const DWORD start = GetTickCount();
  std::uint8_t byte = 0;
  for (;;) {
    const bool got = Com_port::ComReadByte(port, byte, t.connect_poll);
    const DWORD elapsed = GetTickCount() - start;
    ShowProgress(std::min<DWORD>(elapsed, t.connect_wait), t.connect_wait);
    if (got && byte == kConnectRequest) break;
    if (elapsed > t.connect_wait) break;
  }
  if (GetTickCount() - start > t.connect_wait) {
    LogLine("Прошло 30 секунд а вы не подключили телефон - таймаут");
    return false;
  }
  LogLine("Телефон найден - загрузка лоадеров !");

  // BOOT_CONNECT; connect requests still on their way are skipped.
  Send({kBootConnect});
  for (;;) {
    if (!ReadReply(byte, t.connect_echo)) {
      LogLine(kNoAnswer);
      return false;
    }
    if (byte == kConnectRequest) continue;
    if (byte != kBootConnect) {
      LogLine(kWrongAnswer);
      return false;
    }
    break;
  }

  // BOOT_QUERY, then BOOT_CUSTOMER_ID with the 16 bytes echoed back.
  std::string query;
  Send({0x51});
  if (!Com_port::ComReadString(port, query, 16, t.reply)) {
    LogLine(kNoAnswer);
    return false;
  }
  std::string customer(1, static_cast<char>(kBootConnect));
  customer.append(reinterpret_cast<const char*>(kCustomerId), 4);
  customer += query;
  Com_port::ComWriteString(port, customer);
  if (!Expect(kBootOk, t.reply, kNoAnswer, kWrongAnswer)) return false;

  Send({0x54, 0x10});  // BOOT_SET_TIMEOUT
  if (!Expect(kBootOk, t.reply, kNoAnswer, kWrongAnswer)) return false;
  Send({0x53, 0x00, 0x00, 0x00, 0x1C});  // BOOT_SET_ADDRESS, least significant byte first
  if (!Expect(kBootOk, t.address_reply, kNoAnswer, kWrongAnswer)) return false;

  LogLine("Посылка прелоадера");
  pre_loader.SetPosition(0);
  for (;;) {
    const std::int32_t len = pre_loader.Read(TransferBuffer, kPreLoaderBlock);
    if (len <= 0) break;
    Send({0x4C});
    Send({static_cast<std::uint8_t>(len / 4 - 1)});
    Com_port::ComWriteBuffer(port, TransferBuffer, len);
    ShowProgress(static_cast<std::uint32_t>(pre_loader.Position()),
                 static_cast<std::uint32_t>(pre_loader.Size()));
    if (!Expect(kBootOk, t.reply, kNoAnswer, kWrongAnswer)) return false;
    if (static_cast<std::uint32_t>(len) < kPreLoaderBlock) break;
  }
  LogLine("Прелоадер загружен");
  ShowProgress(0, 1);
  Send({0x53, 0x00, 0x00, 0x00, 0x1C});
  if (!Expect(kBootOk, t.address_reply, kNoAnswer, kWrongAnswer)) return false;

  std::uint8_t speed_code = 0;
  std::uint32_t baud = 0;
  if (!SpeedCodeOf(PanelSpeed(), speed_code, baud)) {
    LogLine("Не установилась скорость");
    return false;
  }

  Send({0x4A});  // BOOT_JUMP
  if (!Expect(kPreReady, t.reply, kNoAnswer, kWrongAnswer)) return false;

  Send({speed_code});  // PRE_SET_SPEED
  Com_port::ComSetSpeed(baud);
  Sleep(t.speed_settle);
  Send({0xD9});  // LINK_SYNC
  if (!Expect(speed_code, t.reply, "Таймаут по установке скорости", "Не установилась скорость"))
    return false;

  const auto size = static_cast<std::uint32_t>(boot_loader.Size());
  SendFrame(0xD4, size);  // SET_LENGTH
  if (!Expect(Sum8OfValue(size), t.reply, kNoAnswer, kChecksumError)) return false;

  boot_loader.SetPosition(0);
  for (;;) {
    const std::int32_t len = std::max(0, boot_loader.Read(TransferBuffer, kBootLoaderBlock));
    const std::uint8_t sum = Sum8(TransferBuffer, static_cast<std::size_t>(len));
    Send({kPreDmaBlock});
    if (!Expect(kPreDmaBlock, t.reply, kNoAnswer, kWrongAnswer)) return false;
    Com_port::ComWriteBuffer(port, TransferBuffer, len);
    if (!Expect(sum, t.reply, kNoAnswer, kWrongAnswer)) return false;
    ShowProgress(static_cast<std::uint32_t>(boot_loader.Position()), size);
    if (static_cast<std::uint32_t>(len) != kBootLoaderBlock) break;
  }

  LogLine("Флеш лоадер загружен");
  Send({0xFF});  // PRE_JUMP
  if (!Expect(kPreReady, t.reply, kNoAnswer, kWrongAnswer)) return false;

  SendFrame(0xD0, 0x20000000);  // BL_SET_CS0_BASE
  if (!Expect(0x20, t.reply, kNoAnswer, "Смещение флеши не установились")) return false;

  std::string flash_id;
  Send({0xD1});  // BL_FLASH_ID
  if (!Com_port::ComReadString(port, flash_id, 10, t.reply)) {
    LogLine("Не данные о типе флеши");
    return false;
  }
  return true;
}

// Last address of a range of whole units from start, or false when it passes 0xFFFFFFFF.
bool RangeEnd(std::uint32_t start, std::uint32_t length, std::uint32_t unit, std::uint64_t& end) {
  const std::uint64_t units = (static_cast<std::uint64_t>(length) + unit - 1) / unit;
  end = start + units * unit - 1;
  if (end > 0xFFFFFFFFull) {
    LogLine(kBadRange);
    return false;
  }
  return true;
}

// The NOR parts end in smaller sectors (master: four of 32 KiB from 0x1FE0000, slave: eight of
// 8 KiB from 0xFF0000), and the boot-loader erases the one sector an address lies in: there
// the erase steps by the small size so that the whole range is erased.
std::uint32_t EraseStep(std::uint64_t address, std::uint32_t sector_size) {
  if (sector_size == 0x20000 && address >= 0x1FE0000 && address < 0x2000000) return 0x8000;
  if (sector_size == 0x10000 && address >= 0xFF0000 && address < 0x1000000) return 0x2000;
  return sector_size;
}

}  // namespace

std::uint8_t Sum8(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t accumulator = 0;
  for (std::size_t i = 0; i < count; ++i)
    accumulator = static_cast<std::uint8_t>(accumulator + bytes[i]);
  return accumulator;
}

void LoadLoaderImage(const std::string& name, TStream& stream) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, Utf8ToWide(name).c_str(), L"RT_RCDATA");
  HGLOBAL resource = info ? LoadResource(module, info) : nullptr;
  const void* bytes = resource ? LockResource(resource) : nullptr;
  if (!bytes) {
    LogLine("Ресурс не найден");
    ExitThread(0);
  }
  TMemoryStream memory;
  memory.WriteBuffer(bytes, static_cast<std::int32_t>(SizeofResource(module, info)));
  FreeResource(resource);
  stream.CopyFrom(memory, 0);
}

void ShowProgress(std::uint32_t done, std::uint32_t total) {
  const int position =
      total == 0 ? 0 : static_cast<int>(std::lround(static_cast<double>(done) / total * 100.0));
  if (ActivePanel()) ActivePanel()->SetProgress(0, 100, position);
}

void LogLine(const std::string& text) {
  if (ActivePanel()) ActivePanel()->AppendLogLine(text);
}

bool BootAndLoad(const std::string& pre_loader_name, const std::string& boot_loader_name) {
  TMemoryStream pre_loader;
  TMemoryStream boot_loader;
  LoadLoaderImage(pre_loader_name, pre_loader);
  LoadLoaderImage(boot_loader_name, boot_loader);

  if (!Com_port::ComConnect(PanelPort())) {
    LogLine("Не открывается ком порт");
    return false;
  }
  if (!RunBoot(pre_loader, boot_loader)) {
    Com_port::ComClose(Com_port::PortHandle);
    return false;
  }
  Sleep(timings.boot_done_pause);
  return true;
}

bool FlashWrite(std::uint32_t start_offset, TStream& file, std::uint32_t sector_size) {
  const auto file_size = static_cast<std::uint64_t>(file.Size());
  const std::uint64_t pieces = (file_size + kPieceSize - 1) / kPieceSize;
  const std::uint64_t announced = pieces * kPieceSize;
  if (announced > 0xFFFFFFFFull ||
      (announced > 0 && start_offset + announced - 1 > 0xFFFFFFFFull)) {
    LogLine(kBadRange);
    return false;
  }
  const std::uint8_t command = sector_size == 0x20000 ? 0xC7 : 0xFA;

  Send({0xD9});  // LINK_SYNC
  if (!ExpectAny(timings.ack)) return false;
  SendFrame(0xD3, start_offset);  // BL_SET_OFFSET
  if (!ExpectAny(timings.ack)) return false;
  SendFrame(0xD4, static_cast<std::uint32_t>(announced));  // SET_LENGTH
  if (!ExpectAny(timings.ack)) return false;

  std::uint32_t offset = start_offset;
  file.SetPosition(0);
  for (;;) {
    const std::int32_t read = file.Read(TransferBuffer, static_cast<std::int32_t>(sector_size));
    const auto e = static_cast<std::uint32_t>(std::max(0, read));
    if (e == 0) return true;
    const std::uint32_t sector_pieces = (e + kPieceSize - 1) / kPieceSize;
    // Past the end of the file the last piece reads as erased flash.
    std::memset(TransferBuffer + e, 0xFF, sector_pieces * kPieceSize - e);

    SendFrame(command, offset);
    for (std::uint32_t i = 0; i < sector_pieces; ++i) {
      std::memcpy(PieceBuffer, TransferBuffer + i * kPieceSize, kPieceSize);
      Com_port::ComWriteBuffer(Com_port::PortHandle, PieceBuffer, kPieceSize);
      if (!ExpectAny(timings.ack)) return false;
    }
    if (!Expect(Sum8(TransferBuffer, sector_pieces * kPieceSize), timings.ack, kNoAnswer,
                kChecksumError))
      return false;
    ShowProgress(static_cast<std::uint32_t>(file.Position()),
                 static_cast<std::uint32_t>(file_size));
    offset += sector_size;
    if (e < sector_size) return true;
  }
}

bool FlashDump(std::uint32_t start, std::uint32_t length, TStream& file, std::uint32_t block_size) {
  if (length == 0) return true;
  std::uint64_t end = 0;
  if (!RangeEnd(start, length, block_size, end)) return false;
  for (std::uint64_t current = start; current < end; current += block_size) {
    SendFrame(0xD8, static_cast<std::uint32_t>(current));  // BL_DUMP_BLOCK
    if (!Com_port::ComReadBuffer(Com_port::PortHandle, PieceBuffer, static_cast<int>(block_size),
                                 timings.reply)) {
      LogLine(kNoAnswer);
      return false;
    }
    const std::uint8_t sum = Sum8(PieceBuffer, block_size);
    if (!Expect(sum, timings.ack, kNoAnswer, kChecksumError)) return false;
    ShowProgress(static_cast<std::uint32_t>(current - start),
                 static_cast<std::uint32_t>(end - start));
    file.WriteBuffer(PieceBuffer, static_cast<std::int32_t>(block_size));
  }
  return true;
}

bool FlashErase(std::uint32_t start, std::uint32_t length, std::uint32_t sector_size) {
  if (length == 0) return true;
  std::uint64_t end = 0;
  if (!RangeEnd(start, length, sector_size, end)) return false;
  for (std::uint64_t current = start; current < end; current += EraseStep(current, sector_size)) {
    SendFrame(0xD5, static_cast<std::uint32_t>(current));  // BL_ERASE_SECTOR
    if (!ExpectAny(timings.ack)) return false;
    ShowProgress(static_cast<std::uint32_t>(current - start),
                 static_cast<std::uint32_t>(end - start));
  }
  return true;
}

}  // namespace Special_unit
