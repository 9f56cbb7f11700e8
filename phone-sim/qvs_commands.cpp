#include "qvs_commands.h"

#include <algorithm>
#include <cstdio>

#include "chip.h"

namespace phone_sim {

namespace {

constexpr std::uint8_t kMount = 0xDA;
constexpr std::uint8_t kBeginDownload = 0xCE;
constexpr std::uint8_t kSetChecksum = 0xC9;
constexpr std::uint8_t kSetTime = 0xC4;
constexpr std::uint8_t kMakeDir = 0xDB;
constexpr std::uint8_t kDirDone = 0xDC;
constexpr std::uint8_t kWriteVersion = 0xE3;
constexpr std::uint8_t kWriteRelease = 0xF5;
constexpr std::uint8_t kNoRelease = 0xF6;
constexpr std::uint8_t kRecordDone = 0xE3;
constexpr std::uint8_t kAddFile = 0xDD;
constexpr std::uint8_t kDataBlock = 0xFE;
constexpr std::uint8_t kFileDone = 0xDF;
constexpr std::uint8_t kEndDownload = 0xC5;
constexpr std::uint8_t kUnmount = 0xE4;
constexpr std::uint8_t kFormat = 0xE0;
constexpr std::uint8_t kFormatDone = 0xE1;
constexpr std::uint8_t kFormatFailed = 0xF2;
constexpr std::uint8_t kStatus = 0xEC;
constexpr std::uint8_t kStatusReply = 0xED;
constexpr std::uint8_t kInitFailed = 0xF3;
constexpr std::uint8_t kSelectDrive = 0xCF;
constexpr std::uint8_t kListDir = 0xE5;
constexpr std::uint8_t kListMore = 0xCB;
constexpr std::uint8_t kListEnd = 0xE7;
constexpr std::uint8_t kListError = 0xE6;
constexpr std::uint8_t kReadFile = 0xE8;
constexpr std::uint8_t kFileSize = 0xE9;
constexpr std::uint8_t kNextChunk = 0xEA;
constexpr std::uint8_t kChunkGood = 0x01;
constexpr std::uint8_t kChunkBad = 0x00;
constexpr std::uint8_t kDelete = 0xEE;
constexpr std::uint8_t kFileStatus = 0xF0;
constexpr std::uint8_t kFileStatusReply = 0xF1;
constexpr std::uint8_t kNandFullDump = 0xC0;
constexpr std::uint8_t kNandContinue = 0xB2;
constexpr std::uint8_t kNandGo = 0xC1;
constexpr std::uint8_t kNandStop = 0xC2;
constexpr std::uint8_t kNandEnd = 0xC3;

constexpr std::uint8_t kFormatFunction = 0x01;
constexpr std::uint8_t kStatusFunction = 0x02;
constexpr int kRecordKindFile = 1;
constexpr int kRecordKindDir = 2;

std::string Quoted(ByteSpan name) {
  std::string text;
  for (std::uint8_t b : name) {
    if (b == 0) break;
    text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '?';
  }
  return text;
}

Bytes Record(int kind, const std::string& name) {
  Bytes record = {static_cast<std::uint8_t>(kind)};
  record.insert(record.end(), name.begin(), name.end());
  record.push_back(0);
  return record;
}

std::string DateText(std::uint32_t seconds) {
  std::uint32_t dos = DosDateTime(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", (dos >> 25) + 1980,
                (dos >> 21) & 0xF, (dos >> 16) & 0x1F, (dos >> 11) & 0x1F, (dos >> 5) & 0x3F,
                seconds % 60);
  return text;
}

}  // namespace

QvsCommands::QvsCommands(ChipLine& line, Chip& chip)
    : line_(line), chip_(chip), clock_base_(*QvsSecondsOf(2010, 1, 1, 0, 0, 0)) {}

void QvsCommands::Register(const AddCommand& add, ExpectMore expect) {
  expect_ = std::move(expect);
  add(kMount, "QVS_MOUNT", 0, [this](ByteSpan) { Mount(false); });
  add(kBeginDownload, "QVS_BEGIN_DOWNLOAD", 0, [this](ByteSpan) { Mount(true); });
  add(kSetChecksum, "QVS_SET_CHECKSUM", 4, [this](ByteSpan p) { SetChecksum(p); });
  add(kSetTime, "QVS_SET_TIME", 27, [this](ByteSpan p) { SetTime(p); });
  add(kMakeDir, "QVS_MAKE_DIR", 0,
      [this](ByteSpan) { WithName(0, [this](ByteSpan l, ByteSpan n) { MakeDir(l, n); }); });
  add(kWriteVersion, "QVS_WRITE_VERSION", QvsFileSystem::kVersionSize,
      [this](ByteSpan p) { WriteRecord(kWriteVersion, p); });
  add(kWriteRelease, "QVS_WRITE_RELEASE", QvsFileSystem::kReleaseSize,
      [this](ByteSpan p) { WriteRecord(kWriteRelease, p); });
  add(kNoRelease, "QVS_NO_RELEASE", 0, [this](ByteSpan p) { WriteRecord(kNoRelease, p); });
  add(kAddFile, "QVS_ADD_FILE", 0,
      [this](ByteSpan) { WithName(4, [this](ByteSpan l, ByteSpan r) { AddFile(l, r); }); });
  add(kDataBlock, "QVS_DATA_BLOCK", 0, [this](ByteSpan) { DataBlock(); });
  add(kEndDownload, "QVS_END_DOWNLOAD", 0, [this](ByteSpan) { EndDownload(); });
  add(kUnmount, "QVS_UNMOUNT", 0, [this](ByteSpan) { Unmount(); });
  add(kFormat, "QVS_FORMAT", chip_.HasNand() ? 3 : 0, [this](ByteSpan p) { Format(p); });
  add(kStatus, "QVS_STATUS", 0, [this](ByteSpan) { Status(); });
  add(kSelectDrive, "QVS_SELECT_DRIVE", 1, [this](ByteSpan p) { SelectDrive(p); });
  add(kListDir, "QVS_LIST_DIR", 1,
      [this](ByteSpan p) { expect_(p[0], [this](ByteSpan name) { ListDir(name); }); });
  add(kReadFile, "QVS_READ_FILE", 0,
      [this](ByteSpan) { WithName(0, [this](ByteSpan, ByteSpan n) { ReadFile(n); }); });
  add(kNextChunk, "QVS_NEXT_CHUNK", 0,
      [this](ByteSpan) { line_.Frame("QVS_NEXT_CHUNK refused: no file being read"); });
  add(kDelete, "QVS_DELETE", 0,
      [this](ByteSpan) { WithName(0, [this](ByteSpan, ByteSpan n) { Delete(n); }); });
  add(kFileStatus, "QVS_FILE_STATUS", 0,
      [this](ByteSpan) { WithName(0, [this](ByteSpan, ByteSpan n) { FileStatus(n); }); });
  add(kNandFullDump, "NAND_FULL_DUMP", 1,
      [this](ByteSpan p) { NandDump("NAND_FULL_DUMP " + Hex8(p[0]), p[0], 0); });
  add(kNandContinue, "NAND_DUMP_CONTINUE", 4, [this](ByteSpan p) {
    std::uint32_t page = std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    NandDump("NAND_DUMP_CONTINUE " + Hex8(p[0]) + " page=" + std::to_string(page), p[0], page);
  });
}

void QvsCommands::Start() {
  mounted_ = false;
  drive_ = 0;
  image_checksum_.reset();
  image_crc_ = Crc32();
  write_.reset();
  listing_.reset();
  read_.reset();
  dump_.reset();
}

std::string QvsCommands::StateName() const {
  if (write_) return "qvs/adding";
  if (listing_) return "qvs/listing";
  if (read_) return "qvs/reading";
  if (dump_) return "qvs/nand-dump";
  return "";
}

void QvsCommands::Refuse(FaultPoint point, const std::string& frame, const std::string& reason,
                         std::uint8_t good_reply) {
  line_.Frame(frame + " refused: " + reason);
  Reply(point, {static_cast<std::uint8_t>(~good_reply)});
}

std::uint32_t QvsCommands::Now() const {
  if (!clock_running_) return clock_base_;
  auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(line_.Now() - clock_set_);
  return clock_base_ + static_cast<std::uint32_t>(std::max<std::int64_t>(elapsed.count(), 0));
}

bool QvsCommands::PathOf(ByteSpan name, const std::string& frame, FaultPoint point,
                         std::uint8_t good_reply, QvsPath* path) {
  std::string error = ParseQvsPath(name, drive_, path);
  if (error.empty()) return true;
  Refuse(point, frame, error, good_reply);
  return false;
}

bool QvsCommands::NeedMount(const std::string& frame, FaultPoint point, std::uint8_t good_reply) {
  if (mounted_) return true;
  Refuse(point, frame, "file system not mounted", good_reply);
  return false;
}

void QvsCommands::WithName(std::size_t extra, std::function<void(ByteSpan, ByteSpan)> handler) {
  expect_(2, [this, extra, handler = std::move(handler)](ByteSpan length) {
    Bytes len(length.begin(), length.end());
    std::size_t n = std::size_t{len[0]} << 8 | len[1];
    expect_(n + extra, [len, handler](ByteSpan rest) { handler(len, rest); });
  });
}

void QvsCommands::Mount(bool begin) {
  std::string frame = begin ? "QVS_BEGIN_DOWNLOAD" : "QVS_MOUNT";
  FaultPoint point = begin ? FaultPoint::kQvsBegin : FaultPoint::kQvsMount;
  std::uint8_t good = begin ? kBeginDownload : kMount;
  if (!chip_.Qvs().Formatted()) {
    Refuse(point, frame, "file system not formatted", good);
    return;
  }
  mounted_ = true;
  image_checksum_.reset();
  image_crc_ = Crc32();
  line_.Frame(frame);
  Reply(point, {good});
}

void QvsCommands::SetChecksum(ByteSpan p) {
  std::uint32_t checksum = BigEndian32(p);
  std::string frame = "QVS_SET_CHECKSUM " + Hex32(checksum);
  if (!NeedMount(frame, FaultPoint::kQvsChecksum, Sum8(p))) return;
  image_checksum_ = checksum;
  image_crc_ = Crc32();
  line_.Frame(frame);
  Reply(FaultPoint::kQvsChecksum, {Sum8(p)});
}

void QvsCommands::SetTime(ByteSpan p) {
  auto value = [&](int i) { return static_cast<int>(LittleEndian32(p.subspan(3 + 4 * i, 4))); };
  std::optional<std::uint32_t> seconds;
  if (p[0] == 0 && p[1] == 0 && p[2] == 0) {
    seconds = QvsSecondsOf(value(5), value(4), value(3), value(2), value(1), value(0));
  }
  if (!seconds) {
    Refuse(FaultPoint::kQvsTime, "QVS_SET_TIME " + HexString(p), "not a valid date and time",
           Sum8(p));
    return;
  }
  clock_base_ = *seconds;
  clock_set_ = line_.Now();
  clock_running_ = true;
  line_.Frame("QVS_SET_TIME " + DateText(*seconds));
  Reply(FaultPoint::kQvsTime, {Sum8(p)});
}

void QvsCommands::MakeDir(ByteSpan length, ByteSpan name) {
  std::uint8_t sum = static_cast<std::uint8_t>(Sum8(length) + Sum8(name));
  std::string frame = "QVS_MAKE_DIR " + Quoted(name);
  if (name.size() > kMaxDirName) {
    Refuse(FaultPoint::kQvsDir, frame,
           "name of " + std::to_string(name.size()) + " bytes, more than " +
               std::to_string(kMaxDirName),
           sum);
    return;
  }
  if (Quoted(name).empty()) {
    Refuse(FaultPoint::kQvsDir, frame, "empty name", sum);
    return;
  }
  QvsPath path;
  if (!NeedMount(frame, FaultPoint::kQvsDir, sum) ||
      !PathOf(name, frame, FaultPoint::kQvsDir, sum, &path)) {
    return;
  }
  std::string error = chip_.Qvs().MakeDir(path, Now());
  if (!error.empty()) {
    Refuse(FaultPoint::kQvsDir, frame, error, sum);
    return;
  }
  line_.Frame("QVS_MAKE_DIR " + path.Text());
  Reply(FaultPoint::kQvsDir, {sum});
  Reply(FaultPoint::kQvsDirDone, {kDirDone});
}

void QvsCommands::WriteRecord(std::uint8_t code, ByteSpan p) {
  FaultPoint point = code == kWriteVersion ? FaultPoint::kQvsVersion : FaultPoint::kQvsRelease;
  std::string frame = code == kWriteVersion   ? "QVS_WRITE_VERSION " + HexString(p)
                      : code == kWriteRelease ? "QVS_WRITE_RELEASE " + HexString(p)
                                              : "QVS_NO_RELEASE";
  if (!NeedMount(frame, point, kRecordDone)) return;
  QvsFileSystem& qvs = chip_.Qvs();
  if (code == kWriteVersion) {
    qvs.SetVersion(Bytes(p.begin(), p.end()));
  } else if (code == kWriteRelease) {
    qvs.SetRelease(Bytes(p.begin(), p.end()));
  } else {
    qvs.SetRelease(std::nullopt);
  }
  line_.Frame(frame);
  Reply(point, {kRecordDone});
}

void QvsCommands::AddFile(ByteSpan length, ByteSpan rest) {
  ByteSpan name = rest.first(rest.size() - 4);
  std::uint32_t size = BigEndian32(rest.last(4));
  std::uint8_t sum = static_cast<std::uint8_t>(Sum8(length) + Sum8(rest));
  std::string frame = "QVS_ADD_FILE " + Quoted(name) + " size=" + std::to_string(size);
  if (name.empty() || name.size() > kMaxFileName) {
    Refuse(
        FaultPoint::kQvsAdd, frame,
        "name of " + std::to_string(name.size()) + " bytes, not 1.." + std::to_string(kMaxFileName),
        sum);
    return;
  }
  QvsPath path;
  if (!NeedMount(frame, FaultPoint::kQvsAdd, sum) ||
      !PathOf(name, frame, FaultPoint::kQvsAdd, sum, &path)) {
    return;
  }
  std::string error = chip_.Qvs().CreateFile(path, size, Now());
  if (!error.empty()) {
    Refuse(FaultPoint::kQvsAdd, frame, error, sum);
    return;
  }
  write_ = Write{path, size};
  line_.Frame("QVS_ADD_FILE " + path.Text() + " size=" + std::to_string(size));
  Reply(FaultPoint::kQvsAdd, {sum});
}

void QvsCommands::DataBlock() {
  if (!write_) {
    Refuse(FaultPoint::kQvsBlock, "QVS_DATA_BLOCK", "no file being added", kFileDone);
    return;
  }
  std::size_t length = std::min<std::size_t>(kBlockSize, write_->size - write_->received);
  expect_(length, [this](ByteSpan data) {
    Write& w = *write_;
    std::string error = chip_.Qvs().Append(w.path, data);
    if (!error.empty()) {
      write_.reset();
      Refuse(FaultPoint::kQvsBlock, "QVS_DATA_BLOCK bytes=" + std::to_string(data.size()), error,
             data.size() < kBlockSize ? kFileDone : Sum8(data));
      return;
    }
    image_crc_.Add(data);
    w.received += static_cast<std::uint32_t>(data.size());
    line_.Frame("QVS_DATA_BLOCK bytes=" + std::to_string(data.size()));
    if (data.size() < kBlockSize) {
      line_.Frame("QVS_FILE_DONE " + w.path.Text() + " bytes=" + std::to_string(w.received));
      write_.reset();
      Reply(FaultPoint::kQvsBlock, {kFileDone});
    } else {
      Reply(FaultPoint::kQvsBlock, {Sum8(data)});
    }
  });
}

void QvsCommands::CloseWrite() {
  if (!write_) return;
  line_.Frame("QVS_ADD_FILE " + write_->path.Text() + " closed after " +
              std::to_string(write_->received) + " of " + std::to_string(write_->size) + " bytes");
  write_.reset();
}

void QvsCommands::EndDownload() {
  if (!NeedMount("QVS_END_DOWNLOAD", FaultPoint::kQvsEnd, kEndDownload)) return;
  std::optional<std::uint32_t> announced = image_checksum_;
  image_checksum_.reset();
  if (announced && *announced != image_crc_.Value()) {
    Refuse(FaultPoint::kQvsEnd, "QVS_END_DOWNLOAD",
           "CRC-32 of the data " + Hex32(image_crc_.Value()) + ", announced " + Hex32(*announced),
           kEndDownload);
    return;
  }
  line_.Frame("QVS_END_DOWNLOAD");
  Reply(FaultPoint::kQvsEnd, {kEndDownload});
}

void QvsCommands::Unmount() {
  mounted_ = false;
  line_.Frame("QVS_UNMOUNT");
  Reply(FaultPoint::kQvsUnmount, {kUnmount});
}

void QvsCommands::FormatFailed(std::uint8_t function, std::uint32_t error,
                               const std::string& reason) {
  line_.Frame("QVS_FORMAT failed: " + reason);
  Bytes reply = {kFormatFailed, function};
  PutBigEndian32(reply, error);
  Reply(FaultPoint::kQvsFormat, std::move(reply));
}

void QvsCommands::Format(ByteSpan p) {
  mounted_ = false;
  QvsFileSystem& qvs = chip_.Qvs();
  std::array<std::uint32_t, kQvsDriveCount> blocks{};
  std::string frame = "QVS_FORMAT";
  if (chip_.HasNand()) {
    std::uint32_t count = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    frame += " sectors=" + std::to_string(count);
    line_.Frame(frame);
    Reply(FaultPoint::kQvsFormatSum, {Sum8(p)});
    std::optional<NandGeometry> nand = chip_.Nand();
    if (chip_.FormatFailure()) {
      FormatFailed(chip_.FormatFailure()->function, chip_.FormatFailure()->error,
                   "failure requested");
      return;
    }
    if (count == 0) return FormatFailed(kFormatFunction, 1, "drive a of 0 sectors");
    if (!nand) return FormatFailed(kFormatFunction, 3, "no NAND known for the flash ID");
    std::uint64_t a_bytes = std::uint64_t{count} * 512;
    if (a_bytes > nand->data_bytes) {
      return FormatFailed(kFormatFunction, 2,
                          "drive a of " + std::to_string(a_bytes) + " bytes, NAND of " +
                              std::to_string(nand->data_bytes));
    }
    std::uint32_t rest =
        static_cast<std::uint32_t>((nand->data_bytes - a_bytes) / QvsFileSystem::kBlockSize);
    blocks = {count / 8, rest / 2, rest - rest / 2};
  } else {
    line_.Frame(frame);
    if (chip_.FormatFailure()) {
      FormatFailed(chip_.FormatFailure()->function, chip_.FormatFailure()->error,
                   "failure requested");
      return;
    }
    blocks = {chip_.QvsAreaBytes() / QvsFileSystem::kBlockSize, 0, 0};
  }
  qvs.Format(blocks, Now());
  line_.Frame("QVS_FORMAT_DONE a=" + std::to_string(blocks[0]) + " b=" + std::to_string(blocks[1]) +
              " c=" + std::to_string(blocks[2]) + " blocks");
  Reply(FaultPoint::kQvsFormat, {kFormatDone});
}

void QvsCommands::Status() {
  const QvsFileSystem& qvs = chip_.Qvs();
  if (!qvs.Formatted()) {
    line_.Frame("QVS_STATUS failed: file system not formatted");
    Bytes reply = {kInitFailed, kStatusFunction};
    PutBigEndian32(reply, 1);
    Reply(FaultPoint::kQvsStatus, std::move(reply));
    return;
  }
  QvsFileSystem::DriveStats s = qvs.Stats(drive_);
  Bytes reply = {kStatusReply, 'Q', 'V', 'S', '1'};
  for (std::uint32_t v : {QvsFileSystem::kBlockSize, 12u, s.total_blocks, s.free_blocks,
                          s.free_blocks, s.total_blocks, s.free_blocks}) {
    PutLittleEndian32(reply, v);
  }
  reply.insert(reply.end(), {'Q', 'V', 'S', static_cast<std::uint8_t>('A' + drive_)});
  PutLittleEndian32(reply, 0xFFFFFFFFu);
  reply.insert(reply.end(), {static_cast<std::uint8_t>(QvsFileSystem::kMaxNameLength), 0, 0, 0});
  line_.Frame("QVS_STATUS drive=" + std::string(1, static_cast<char>('a' + drive_)) + " total=" +
              std::to_string(s.total_blocks) + " free=" + std::to_string(s.free_blocks));
  Reply(FaultPoint::kQvsStatus, std::move(reply));
}

void QvsCommands::SelectDrive(ByteSpan p) {
  std::string frame = "QVS_SELECT_DRIVE " + Hex8(p[0]);
  if (p[0] < 0x08 || p[0] > 0x0A) {
    Refuse(FaultPoint::kQvsDrive, frame, "no such drive", kSelectDrive);
    return;
  }
  drive_ = p[0] - 0x08;
  line_.Frame(frame);
  Reply(FaultPoint::kQvsDrive, {kSelectDrive});
}

void QvsCommands::ListDir(ByteSpan name) {
  std::string frame = "QVS_LIST_DIR " + Quoted(name);
  Listing listing;
  QvsPath path;
  std::vector<QvsFileSystem::Entry> entries;
  std::string error = mounted_ ? ParseQvsPath(name, drive_, &path) : "file system not mounted";
  if (error.empty()) error = chip_.Qvs().List(path, &entries);
  if (!error.empty()) {
    line_.Frame(frame + " refused: " + error);
    listing.failed = true;
    listing.records.push_back({0x00});
  } else {
    listing.path = path.Text();
    listing.records.push_back(Record(kRecordKindDir, "."));
    listing.records.push_back(Record(kRecordKindDir, ".."));
    for (const auto& e : entries) {
      listing.records.push_back(Record(e.directory ? kRecordKindDir : kRecordKindFile, e.name));
    }
    line_.Frame("QVS_LIST_DIR " + listing.path +
                " records=" + std::to_string(listing.records.size()));
  }
  listing_ = std::move(listing);
  SendListRecord();
}

void QvsCommands::SendListRecord() {
  Listing& l = *listing_;
  const Bytes& record = l.records[l.next++];
  Bytes reply = {static_cast<std::uint8_t>(record.size() - 1)};
  reply.insert(reply.end(), record.begin(), record.end());
  Reply(FaultPoint::kQvsList, std::move(reply));
}

void QvsCommands::ReadFile(ByteSpan name) {
  std::string frame = "QVS_READ_FILE " + Quoted(name);
  QvsPath path;
  if (name.size() > kMaxFileName) {
    Refuse(FaultPoint::kQvsRead, frame, "name longer than " + std::to_string(kMaxFileName),
           kFileSize);
    return;
  }
  if (!NeedMount(frame, FaultPoint::kQvsRead, kFileSize) ||
      !PathOf(name, frame, FaultPoint::kQvsRead, kFileSize, &path)) {
    return;
  }
  Read read;
  std::string error = chip_.Qvs().Read(path, &read.data);
  if (!error.empty()) {
    Refuse(FaultPoint::kQvsRead, frame, error, kFileSize);
    return;
  }
  read.path = path.Text();
  line_.Frame("QVS_READ_FILE " + read.path + " size=" + std::to_string(read.data.size()));
  Bytes reply = {kFileSize};
  PutBigEndian32(reply, static_cast<std::uint32_t>(read.data.size()));
  Reply(FaultPoint::kQvsRead, std::move(reply));
  if (!read.data.empty()) read_ = std::move(read);
}

void QvsCommands::SendChunk() {
  Read& r = *read_;
  std::size_t n = std::min(kBlockSize, r.data.size() - r.sent);
  Bytes chunk(r.data.begin() + static_cast<std::ptrdiff_t>(r.sent),
              r.data.begin() + static_cast<std::ptrdiff_t>(r.sent + n));
  r.sent += n;
  std::uint8_t sum = Sum8(chunk);
  Reply(FaultPoint::kQvsChunk, std::move(chunk));
  Reply(FaultPoint::kQvsChunkSum, {sum});
}

void QvsCommands::Delete(ByteSpan name) {
  std::string frame = "QVS_DELETE " + Quoted(name);
  QvsPath path;
  if (name.size() > kMaxFileName) {
    Refuse(FaultPoint::kQvsDelete, frame, "name longer than " + std::to_string(kMaxFileName),
           kDelete);
    return;
  }
  if (!NeedMount(frame, FaultPoint::kQvsDelete, kDelete) ||
      !PathOf(name, frame, FaultPoint::kQvsDelete, kDelete, &path)) {
    return;
  }
  std::string error = chip_.Qvs().Delete(path);
  if (!error.empty()) {
    Refuse(FaultPoint::kQvsDelete, frame, error, kDelete);
    return;
  }
  line_.Frame("QVS_DELETE " + path.Text());
  Reply(FaultPoint::kQvsDelete, {kDelete});
}

void QvsCommands::FileStatus(ByteSpan name) {
  std::string frame = "QVS_FILE_STATUS " + Quoted(name);
  QvsPath path;
  if (name.size() > kMaxFileName) {
    Refuse(FaultPoint::kQvsFileStatus, frame, "name longer than " + std::to_string(kMaxFileName),
           kFileStatusReply);
    return;
  }
  if (!NeedMount(frame, FaultPoint::kQvsFileStatus, kFileStatusReply) ||
      !PathOf(name, frame, FaultPoint::kQvsFileStatus, kFileStatusReply, &path)) {
    return;
  }
  QvsFileSystem::Info info{};
  std::string error = chip_.Qvs().Stat(path, &info);
  if (!error.empty()) {
    Refuse(FaultPoint::kQvsFileStatus, frame, error, kFileStatusReply);
    return;
  }
  std::uint32_t stamp = DosDateTime(info.time);
  Bytes reply = {kFileStatusReply};
  PutBigEndian32(reply, info.directory ? 0x41EDu : 0x81A4u);
  PutBigEndian32(reply, info.inode);
  PutBigEndian16(reply, static_cast<std::uint16_t>(path.drive + 1));
  PutBigEndian16(reply, 0);
  PutBigEndian32(reply, info.size);
  PutBigEndian32(reply, stamp >> 16);
  PutBigEndian32(reply, stamp);
  PutBigEndian32(reply, stamp);
  line_.Frame("QVS_FILE_STATUS " + path.Text() + " size=" + std::to_string(info.size));
  Reply(FaultPoint::kQvsFileStatus, std::move(reply));
}

void QvsCommands::NandDump(const std::string& frame, std::uint8_t code, std::uint32_t first_page) {
  std::optional<NandGeometry> nand = chip_.HasNand() ? chip_.Nand() : std::nullopt;
  std::string error;
  if (!nand) {
    error = "no NAND known for the flash ID";
  } else if (code != nand->size_code) {
    error = "size code of the NAND is " + Hex8(nand->size_code);
  } else if (first_page >= nand->Pages() || first_page % nand->pages_per_unit != 0) {
    error = "first page not at a unit inside the NAND";
  }
  if (!error.empty()) {
    Refuse(FaultPoint::kNandDump, frame, error, kNandGo);
    return;
  }
  line_.Frame(frame);
  dump_ = Dump{NandImage(*nand, chip_.Qvs().Image()), first_page};
  Reply(FaultPoint::kNandDump, {kNandGo});
  SendUnit();
}

void QvsCommands::SendUnit() {
  Dump& d = *dump_;
  const NandGeometry& g = d.image.Geometry();
  Bytes unit = d.image.Pages(d.next_page, g.pages_per_unit);
  d.next_page += g.pages_per_unit;
  std::uint8_t sum = Sum8(unit);
  Reply(FaultPoint::kNandUnit, std::move(unit));
  Reply(FaultPoint::kNandUnitSum, {sum});
  if (d.next_page >= g.Pages()) {
    line_.Frame("NAND_DUMP_END pages=" + std::to_string(g.Pages()));
    dump_.reset();
    Reply(FaultPoint::kNandEnd, {kNandEnd});
  }
}

bool QvsCommands::OnCommandByte(std::uint8_t byte) {
  if (write_ && byte != kDataBlock) CloseWrite();
  if (listing_) {
    Listing& l = *listing_;
    std::uint8_t kind = l.records[l.next - 1][0];
    if (byte != kind) {
      line_.Frame("QVS_LIST_DIR abandoned: " + Hex8(byte) + " instead of the acknowledgement " +
                  Hex8(kind));
      listing_.reset();
      return false;
    }
    if (l.failed) {
      listing_.reset();
      Reply(FaultPoint::kQvsListNext, {kListError});
    } else if (l.next == l.records.size()) {
      listing_.reset();
      Reply(FaultPoint::kQvsListNext, {kListEnd});
    } else {
      Reply(FaultPoint::kQvsListNext, {kListMore});
      SendListRecord();
    }
    return true;
  }
  if (read_) {
    Read& r = *read_;
    if (!r.started && byte == kNextChunk) {
      r.started = true;
      SendChunk();
      return true;
    }
    if (r.started && byte == kChunkGood) {
      if (r.sent == r.data.size()) {
        line_.Frame("QVS_READ_FILE " + r.path + " done");
        read_.reset();
      } else {
        SendChunk();
      }
      return true;
    }
    if (r.started && byte == kChunkBad) {
      line_.Frame("QVS_READ_FILE " + r.path + " refused by the host after " +
                  std::to_string(r.sent) + " bytes");
      read_.reset();
      return true;
    }
    line_.Frame("QVS_READ_FILE " + r.path + " abandoned: " + Hex8(byte) + " after " +
                std::to_string(r.sent) + " bytes");
    read_.reset();
    return false;
  }
  if (dump_) {
    if (byte == kNandGo) {
      SendUnit();
      return true;
    }
    line_.Frame(std::string("NAND dump ") +
                (byte == kNandStop ? "stopped by the host" : "abandoned: " + Hex8(byte)) +
                " at page " + std::to_string(dump_->next_page));
    dump_.reset();
    return byte == kNandStop;
  }
  return false;
}

}  // namespace phone_sim
