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
  if (options.chip_version) {
    line.Write({0xB0});
    if (line.Read(4, milliseconds(2000)).size() != 4) return "PRE_CHIP_VERSION";
  }
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

std::uint32_t Crc32Of(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return ~crc;
}

Bytes NameFrame(std::uint8_t command, const std::string& name) {
  Bytes f = {command, static_cast<std::uint8_t>(name.size() >> 8),
             static_cast<std::uint8_t>(name.size())};
  f.insert(f.end(), name.begin(), name.end());
  return f;
}

std::string DownloadBinary(TestLine& line, std::uint32_t offset, const Bytes& data,
                           std::uint32_t sector_size, bool checksum) {
  std::uint8_t command = sector_size == 0x20000   ? 0xC7
                         : sector_size == 0x10000 ? 0xFA
                         : sector_size == 0x8000  ? 0xCC
                         : sector_size == 0x4000  ? 0xFB
                                                  : 0xFC;
  Bytes crc = checksum ? Be32(Crc32Of(data)) : Bytes{0xFF, 0xFF, 0xFF, 0xFF};
  line.Write(Cat({{0xC8}, crc}));
  if (!Expect(line, ByteSum(crc))) return "BL_SET_CHECKSUM";
  line.Write(Cat({{0xD3}, Be32(offset)}));
  if (!Expect(line, ByteSum(Be32(offset)))) return "BL_SET_OFFSET";
  Bytes size = Be32(static_cast<std::uint32_t>(data.size()));
  line.Write(Cat({{0xD4}, size}));
  if (!Expect(line, ByteSum(size))) return "SET_LENGTH";
  for (std::size_t sector = 0; sector < data.size(); sector += sector_size) {
    std::uint32_t address = offset + static_cast<std::uint32_t>(sector);
    line.Write(Cat({{command}, Be32(address)}));
    std::size_t end = std::min<std::size_t>(data.size(), sector + sector_size);
    for (std::size_t pos = sector; pos < end; pos += 2048) {
      std::size_t n = std::min<std::size_t>(2048, end - pos);
      line.Write(Bytes(data.begin() + pos, data.begin() + pos + n));
      if (line.Read(1, milliseconds(2000)).size() != 1) return "piece at " + std::to_string(pos);
    }
    std::span<const std::uint8_t> part(data.data() + sector, end - sector);
    if (!Expect(line, ByteSum(part))) return "sector sum at " + std::to_string(sector);
  }
  line.Write({0xC6});
  if (!Expect(line, 0xC6)) return "BL_DOWNLOAD_END";
  return "";
}

namespace {

void PutLe32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

std::string DownloadQvs(TestLine& line, const QvsTestImage& image) {
  line.Write({0xDA});
  if (!Expect(line, 0xDA)) return "QVS_MOUNT";
  Bytes all;
  for (const QvsTestFile& f : image.files) all.insert(all.end(), f.data.begin(), f.data.end());
  Bytes crc = Be32(Crc32Of(all));
  line.Write(Cat({{0xC9}, crc}));
  if (!Expect(line, ByteSum(crc))) return "QVS_SET_CHECKSUM";
  Bytes time = {0xC4, 0, 0, 0};
  for (std::uint32_t v : {10u, 8u, 7u, 6u, 5u, 2024u}) PutLe32(time, v);
  line.Write(time);
  if (!Expect(line, ByteSum(std::span(time).subspan(1)))) return "QVS_SET_TIME";
  for (const std::string& dir : image.dirs) {
    Bytes f = NameFrame(0xDB, dir);
    line.Write(f);
    if (!Expect(line, ByteSum(std::span(f).subspan(1)))) return "QVS_MAKE_DIR " + dir;
    if (!Expect(line, 0xDC)) return "QVS_DIR_DONE " + dir;
  }
  line.Write(Cat({{0xE3}, image.version}));
  if (!Expect(line, 0xE3)) return "QVS_WRITE_VERSION";
  line.Write(image.release ? Cat({{0xF5}, *image.release}) : Bytes{0xF6});
  if (!Expect(line, 0xE3)) return "QVS_WRITE_RELEASE";
  for (const QvsTestFile& file : image.files) {
    Bytes f = Cat({NameFrame(0xDD, file.name), Be32(static_cast<std::uint32_t>(file.data.size()))});
    line.Write(f);
    if (!Expect(line, ByteSum(std::span(f).subspan(1)))) return "QVS_ADD_FILE " + file.name;
    for (std::size_t pos = 0;; pos += 8192) {
      std::size_t n = std::min<std::size_t>(8192, file.data.size() - pos);
      Bytes block(file.data.begin() + pos, file.data.begin() + pos + n);
      line.Write(Cat({{0xFE}, block}));
      if (!Expect(line, n < 8192 ? 0xDF : ByteSum(block))) {
        return "QVS_DATA_BLOCK of " + file.name + " at " + std::to_string(pos);
      }
      if (n < 8192) break;
    }
  }
  line.Write({0xC5});
  if (!Expect(line, 0xC5)) return "QVS_END_DOWNLOAD";
  line.Write({0xE4});
  if (!Expect(line, 0xE4)) return "QVS_UNMOUNT";
  return "";
}

std::string ListDir(TestLine& line, const std::string& path, std::vector<DirRecord>* records) {
  records->clear();
  Bytes f = {0xE5, static_cast<std::uint8_t>(path.size())};
  f.insert(f.end(), path.begin(), path.end());
  line.Write(f);
  for (;;) {
    Bytes n = line.Read(1, milliseconds(2000));
    if (n.empty()) return "no record length";
    Bytes record = line.Read(n[0] + 1u, milliseconds(2000));
    if (record.size() != n[0] + 1u) return "record short";
    if (record.back() != 0) return "record without its zero byte";
    records->push_back({record[0], std::string(record.begin() + 1, record.end() - 1)});
    line.Write({record[0]});
    Bytes next = line.Read(1, milliseconds(2000));
    if (next == Bytes{0xE7}) return "";
    if (next != Bytes{0xCB})
      return next.empty() ? "nothing after a record"
                          : "byte " + std::to_string(next[0]) + " after a record";
  }
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
