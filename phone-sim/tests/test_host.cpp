#include "test_host.h"

#include <algorithm>

namespace phone_sim_test {

std::uint8_t ByteSum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum & 0xFF);
}

Bytes Be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool Expect(TestLine& line, std::uint8_t want, milliseconds timeout = milliseconds(2000)) {
  Bytes got = line.Read(1, timeout);
  return got.size() == 1 && got[0] == want;
}

}  // namespace

std::string BootChip(TestLine& line, const BootImages& images, const BootOptions& options) {
  line.SetBaud(115200);
  // 1: connect requests (other bytes skipped)
  for (;;) {
    Bytes b = line.Read(1, milliseconds(3000));
    if (b.empty()) return "no BOOT_CONNECT_REQ";
    if (b[0] == 0x81) break;
  }
  // 2: BOOT_CONNECT, further 0x81 skipped
  line.Write({0x44});
  for (;;) {
    Bytes b = line.Read(1, milliseconds(3000));
    if (b.empty()) return "no reply to BOOT_CONNECT";
    if (b[0] == 0x44) break;
    if (b[0] != 0x81) return "wrong reply to BOOT_CONNECT";
  }
  // 3, 4
  line.Write({0x51});
  Bytes query = line.Read(16, milliseconds(2000));
  if (query.size() != 16) return "BOOT_QUERY reply short";
  line.Write(Cat({{0x44, 0xA7, 0x1C, 0xE2, 0x4B}, query}));
  if (!Expect(line, 0x4F)) return "BOOT_CUSTOMER_ID";
  // 5, 6
  line.Write({0x54, 0x10});
  if (!Expect(line, 0x4F)) return "BOOT_SET_TIMEOUT";
  line.Write({0x53, 0x00, 0x00, 0x00, 0x1C});
  if (!Expect(line, 0x4F)) return "BOOT_SET_ADDRESS";
  // 7: BOOT_LOAD frames
  std::size_t frame = options.one_word_frames ? 4 : 1024;
  for (std::size_t pos = 0; pos < images.pre_loader.size(); pos += frame) {
    std::size_t n = std::min(frame, images.pre_loader.size() - pos);
    Bytes f = {0x4C, static_cast<std::uint8_t>(n / 4 - 1)};
    f.insert(f.end(), images.pre_loader.begin() + pos, images.pre_loader.begin() + pos + n);
    line.Write(f);
    if (!Expect(line, 0x4F)) return "BOOT_LOAD at " + std::to_string(pos);
  }
  // 8, 9
  line.Write({0x53, 0x00, 0x00, 0x00, 0x1C});
  if (!Expect(line, 0x4F)) return "second BOOT_SET_ADDRESS";
  line.Write({0x4A});
  if (!Expect(line, 0xAB)) return "BOOT_JUMP";
  // 10, 11
  line.Write({options.speed_code});
  line.Pause(milliseconds(20));
  line.SetBaud(options.baud);
  line.Pause(milliseconds(20));
  line.Write({0xD9});
  if (!Expect(line, options.speed_code)) return "LINK_SYNC";
  // 13-15
  std::uint32_t size = static_cast<std::uint32_t>(images.boot_loader.size());
  Bytes length = Be32(size);
  line.Write(Cat({{0xD4}, length}));
  if (!Expect(line, ByteSum(length))) return "SET_LENGTH";
  for (std::size_t pos = 0;; pos += 2048) {
    std::size_t n = std::min<std::size_t>(2048, size - pos);
    line.Write({0xF7});
    if (!Expect(line, 0xF7)) return "PRE_DMA_BLOCK echo at " + std::to_string(pos);
    Bytes block(images.boot_loader.begin() + pos, images.boot_loader.begin() + pos + n);
    line.Write(block);
    if (!Expect(line, ByteSum(block))) return "PRE_DMA_BLOCK sum at " + std::to_string(pos);
    if (n < 2048) break;
  }
  line.Write({0xFF});
  if (!Expect(line, 0xAB)) return "PRE_JUMP";
  // 16, 17
  line.Write({0xD0, 0x20, 0x00, 0x00, 0x00});
  if (!Expect(line, 0x20)) return "BL_SET_CS0_BASE";
  line.Write({0xD1});
  if (line.Read(10, milliseconds(2000)).size() != 10) return "BL_FLASH_ID";
  return "";
}

Bytes WriteSector(TestLine& line, std::uint8_t command, std::uint32_t address, const Bytes& data,
                  std::uint32_t announced) {
  Bytes acks;
  line.Write(Cat({{0xD4}, Be32(announced)}));
  acks = line.Read(1, milliseconds(2000));
  line.Write(Cat({{command}, Be32(address)}));
  for (std::size_t pos = 0; pos < data.size(); pos += 2048) {
    std::size_t n = std::min<std::size_t>(2048, data.size() - pos);
    line.Write(Bytes(data.begin() + pos, data.begin() + pos + n));
    Bytes ack = line.Read(1, milliseconds(2000));
    acks.insert(acks.end(), ack.begin(), ack.end());
  }
  Bytes done = line.Read(1, milliseconds(2000));
  acks.insert(acks.end(), done.begin(), done.end());
  return acks;
}

Bytes DumpBlock(TestLine& line, std::uint32_t address) {
  line.Write(Cat({{0xD8}, Be32(address)}));
  return line.Read(8193, milliseconds(5000));
}

Bytes EraseSector(TestLine& line, std::uint32_t address) {
  line.Write(Cat({{0xD5}, Be32(address)}));
  return line.Read(1, milliseconds(2000));
}

}  // namespace phone_sim_test
