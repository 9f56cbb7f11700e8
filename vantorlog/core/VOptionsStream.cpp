#include "VOptionsStream.h"

#include <atomic>
#include <string>
#include <vector>

#include "SysUtils.h"
#include "VOptions.h"
#ifdef _WIN32
#include "Streams.h"
#else
#include <fstream>
#include <iterator>
#endif

namespace VCore {
namespace {

std::atomic<std::uint16_t> g_stream_version{kCurrentStreamVersion};

class TBlockWriter {
 public:
  explicit TBlockWriter(TStream& stream) : stream_(stream) {}
  void B(std::uint8_t v) { stream_.WriteBuffer(&v, 1); }
  void W(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    stream_.WriteBuffer(b, 2);
  }
  void D(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 24)};
    stream_.WriteBuffer(b, 4);
  }
  void S(const std::string& text) {
    std::string s = text;
    // A single line break at the very end is dropped; a text with an earlier one keeps all.
    if (s.size() > 1 && s.find("\r\n") == s.size() - 2) s.resize(s.size() - 2);
    D(static_cast<std::uint32_t>(s.size()));
    for (char& c : s) c = static_cast<char>(c ^ kStreamStringKey);
    if (!s.empty()) stream_.WriteBuffer(s.data(), static_cast<std::int32_t>(s.size()));
  }

 private:
  TStream& stream_;
};

// Reads with every count checked against the bytes left in the stream.
class TBlockReader {
 public:
  explicit TBlockReader(TStream& stream) : stream_(stream) {
    const std::int64_t size = stream.Size(), position = stream.Position();
    left_ = size > position ? size - position : 0;
  }
  std::uint8_t B() {
    std::uint8_t v;
    Take(&v, 1);
    return v;
  }
  std::uint16_t W() {
    std::uint8_t b[2];
    Take(b, 2);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  }
  std::uint32_t D() {
    std::uint8_t b[4];
    Take(b, 4);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  }
  std::int32_t I() { return static_cast<std::int32_t>(D()); }
  std::string S() {
    const std::int32_t length = I();
    if (length <= 0) return {};
    if (length > left_) Fail("string longer than the rest of the options block");
    std::string s(static_cast<std::size_t>(length), '\0');
    Take(s.data(), length);
    for (char& c : s) c = static_cast<char>(c ^ kStreamStringKey);
    return s;
  }
  std::int64_t Left() const { return left_; }
  [[noreturn]] static void Fail(const char* what) {
    throw EReadError(std::string("Invalid options block: ") + what);
  }

 private:
  void Take(void* buffer, std::int32_t count) {
    if (count > left_) Fail("unexpected end of data");
    stream_.ReadBuffer(buffer, count);
    left_ -= count;
  }
  TStream& stream_;
  std::int64_t left_;
};

void SetBit(std::uint16_t& flags, std::uint16_t bit, bool on) {
  flags = static_cast<std::uint16_t>(on ? flags | bit : flags & ~bit);
}

// Old blocks carry fewer show flags; new positions open as runs of "1".
void ConvertShowFlags(TDialogShowFlags& flags, std::uint16_t v) {
  std::string bits;
  for (int k = 0; k < 48; ++k) bits += ((flags[k / 8] >> (k % 8)) & 1) ? '1' : '0';
  struct Insert {
    const char* run;
    int position;
  };
  static const Insert kBefore500[] = {{"11", 5},    {"1", 10},      {"1111", 13},
                                      {"1111", 23}, {"111111", 31}, {"1111111", 42}};
  static const Insert kBefore6000[] = {{"1", 6},    {"1", 10}, {"1111", 13}, {"1111", 23},
                                       {"111", 34}, {"1", 41}, {"1", 48}};
  auto apply = [&](const auto& table) {
    for (const Insert& ins : table)
      bits.insert(static_cast<std::size_t>(ins.position - 1), ins.run);
  };
  if (v < 500)
    apply(kBefore500);
  else
    apply(kBefore6000);
  flags.fill(0);
  for (int k = 0; k < 48; ++k)
    if (bits[static_cast<std::size_t>(k)] == '1')
      flags[k / 8] |= static_cast<std::uint8_t>(1 << (k % 8));
}

bool TextAbsent(int i, std::uint16_t v) {
  auto in = [i](int lo, int hi) { return i >= lo && i <= hi; };
  if (v < 420 && i == 20) return true;
  if (v <= 420 && i == 19) return true;
  if (v < 450 && (i == 9 || i == 10 || i == 15 || i == 16 || in(22, 24) || i == 41 || i == 47 ||
                  i == 48 || i == 68 || i == 81 || in(110, 157)))
    return true;
  if (v < 500 && (i == 25 || i == 42 || in(72, 77) || in(84, 91) || in(98, 104) || i == 131 ||
                  i == 144 || i == 145))
    return true;
  if (v >= 500 && v < 6000 && (i == 17 || i == 18)) return true;
  if (v < 6000 &&
      (i == 2 || in(11, 14) || i == 21 || in(26, 36) || i == 41 || i == 43 || in(51, 60) ||
       i == 83 || in(105, 109) || i == 113 || in(117, 122) || in(133, 140) || in(146, 157)))
    return true;
  return false;
}

// Reads a block of version v into o (whose other settings stay as they were).
void ReadBlock(TVantorModuleOptions& o, TBlockReader& r, std::uint16_t v) {
  std::string freeze_message;
  o.FLogEnabled = r.B();
  o.FHandleExceptions = r.B();
  o.FLogFlags = r.B();
  if (v < 500) {
    std::uint8_t show_dialog = r.B();
    if (v < 450) show_dialog ^= 1;
    if (show_dialog == 0) o.FDialogKind = 0;
  }
  o.FAppendToLog = r.B();
  if (v >= 450 && v < 500) {
    SetBit(o.FSendFlags, 0x04, r.B() != 0);
    SetBit(o.FSendFlags, 0x10, r.B() != 0);
    SetBit(o.FSendFlags, 0x01, r.B() != 0);
  }
  if (v >= 401) {
    o.FWriteLogFile = r.B();
    o.FFirstTab = r.B();
    if (v < 6000 && o.FFirstTab == 3) o.FFirstTab = 5;
  }
  if (v >= 403 && v < 500) SetBit(o.FDialogOptions, 0x40, r.B() != 0);
  if (v >= 420) {
    o.FHangCheck = r.B();
    o.FHangTimeoutSecs = r.I();
    if (v < 422) o.FHangTimeoutSecs /= 1000;
    if (v < 6000) freeze_message = r.S();
  }
  if (v >= 450) o.FSmtpSender = r.S();
  o.FSmtpServer = r.S();
  if (v >= 450) o.FSmtpPortNo = r.W();
  if (v >= 421) {
    o.FSmtpLogin = r.S();
    o.FSmtpPass = r.S();
    o.FTerminateAction = r.B();
  }
  if (v < 6000 && r.B() == 0) o.FTerminateAction = 0;
  o.FMaxSavedReports = r.I();
  if (o.FMaxSavedReports < 1) o.FMaxSavedReports = 1;
  o.FTerminateAfterCount = r.I();
  o.FMailRecipients = r.S();
  o.FMailSubjectText = r.S();
  o.FMailMode = r.B();
  if (v < 450 && o.FMailMode != 0) o.FMailMode = o.FSmtpServer.empty() ? 1 : 2;
  if (v >= 6000) {
    for (auto& b : o.FDialogShowFlags) b = r.B();
  } else {
    o.FDialogShowFlags.fill(0);
    const int old_bytes = v < 500 ? 4 : 5;
    for (int i = 0; i < old_bytes; ++i) o.FDialogShowFlags[i] = r.B();
    ConvertShowFlags(o.FDialogShowFlags, v);
  }
  if (v < 450) r.B();
  o.FLogFolder = r.S();
  if (v >= 500) {
    o.FWebMode = r.B();
    o.FWebAddress = r.S();
    o.FWebLogin = r.S();
    o.FWebPass = r.S();
    o.FWebPortNo = r.I();
    o.FExtraFiles = r.S();
    o.FSendFlags = r.W();
    o.FDialogOptions = v < 6000 ? r.B() : r.W();
    o.FDialogAutoCloseSecs = r.I();
    o.FSupportLink = r.S();
    o.FHtmlTemplate = r.S();
    o.FStackFlags = r.B();
    if (v < 6000) {
      o.FBehaviourFlags = r.B();
    } else {
      o.FBehaviourFlags = r.W();
      o.FLeakFlags = r.B();
    }
    o.FCrashAction = r.B();
    o.FCrashCount = r.I();
    o.FCrashMinutes = r.I();
    if (v >= 6000) {
      o.FBuildFlags = r.B();
      o.FDialogKind = r.B();
      o.FProxyAddress = r.S();
      o.FProxyLogin = r.S();
      o.FProxyPass = r.S();
      o.FProxyPortNo = r.W();
      o.FTrackerLogin = r.S();
      o.FTrackerPass = r.S();
      o.FTrackerAssignee = r.S();
      o.FTrackerProjectName = r.S();
      o.FTrackerCategoryName = r.S();
      o.FTrackerTrialId = r.S();
      o.FZipPass = r.S();
    }
  }
  if (v < 6000) {
    o.FStackFlags |= 0x10;
    o.FSendFlags &= static_cast<std::uint16_t>(~0x200);
  }

  const std::int32_t count = r.I();
  // Each record takes at least two string lengths: a count beyond that is corrupt.
  if (count < 0 || count > r.Left() / 8) TBlockReader::Fail("filter count out of range");
  std::vector<TVantorExceptionFilter> filters;
  for (std::int32_t i = 0; i < count; ++i) {
    TVantorExceptionFilter f;
    f.Active = v >= 6000 ? r.B() : 1;
    f.ExceptionClassName = r.S();
    f.MessageText = r.S();
    if (v >= 6000) {
      f.MatchKind = r.B();
      f.DialogChoice = r.B();
      f.Handling = r.B();
      f.AfterAction = r.B();
    } else {
      f.MatchKind = 2;
      f.DialogChoice = f.MessageText.empty() ? 0 : 2;
      f.Handling = 0;
      f.AfterAction = 0;
    }
    filters.push_back(std::move(f));
  }
  o.FFilters->ClearFilters();
  for (const auto& f : filters) o.FFilters->Add(f);

  o.FMailBody = r.S();
  for (int i = 0; i < VCore::kCustomTextCount; ++i) {
    if (i == 68 && v < 6000) r.S();
    if (!TextAbsent(i, v)) o.FTexts[i] = r.S();
  }
  if (v >= 6000) o.FTextsLanguage = r.S();
  if (!freeze_message.empty()) o.StoreText(156, freeze_message);
}

}  // namespace

std::uint16_t StreamVersion() { return g_stream_version.load(); }
void SetStreamVersion(std::uint16_t version) { g_stream_version.store(version); }

std::uint16_t BlockVersionFromWord(std::uint16_t word) {
  return word >= 600 && word <= 602 ? static_cast<std::uint16_t>(word + 5400) : word;
}

bool IsCompatibleVersion(std::uint16_t version) {
  const int low = kCurrentStreamVersion / 100 * 100;
  return version >= low && version <= low + 100;
}

}  // namespace VCore

void TVantorModuleOptions::WriteToStream(TStream& stream) const {
  VCore::TBlockWriter w(stream);
  w.B(FLogEnabled);
  w.B(FHandleExceptions);
  w.B(FLogFlags);
  w.B(FAppendToLog);
  w.B(FWriteLogFile);
  w.B(FFirstTab);
  w.B(FHangCheck);
  w.D(static_cast<std::uint32_t>(FHangTimeoutSecs));
  w.S(FSmtpSender);
  w.S(FSmtpServer);
  w.W(FSmtpPortNo);
  w.S(FSmtpLogin);
  w.S(FSmtpPass);
  w.B(FTerminateAction);
  w.D(static_cast<std::uint32_t>(FMaxSavedReports < 1 ? 1 : FMaxSavedReports));
  w.D(static_cast<std::uint32_t>(FTerminateAfterCount));
  w.S(FMailRecipients);
  w.S(FMailSubjectText);
  w.B(FMailMode);
  for (std::uint8_t b : FDialogShowFlags) w.B(b);
  w.S(FLogFolder);
  w.B(FWebMode);
  w.S(FWebAddress);
  w.S(FWebLogin);
  w.S(FWebPass);
  w.D(static_cast<std::uint32_t>(FWebPortNo));
  w.S(FExtraFiles);
  w.W(FSendFlags);
  w.W(FDialogOptions);
  w.D(static_cast<std::uint32_t>(FDialogAutoCloseSecs));
  w.S(FSupportLink);
  w.S(FHtmlTemplate);
  w.B(FStackFlags);
  w.W(FBehaviourFlags);
  w.B(FLeakFlags);
  w.B(FCrashAction);
  w.D(static_cast<std::uint32_t>(FCrashCount));
  w.D(static_cast<std::uint32_t>(FCrashMinutes));
  w.B(FBuildFlags);
  w.B(FDialogKind);
  w.S(FProxyAddress);
  w.S(FProxyLogin);
  w.S(FProxyPass);
  w.W(FProxyPortNo);
  w.S(FTrackerLogin);
  w.S(FTrackerPass);
  w.S(FTrackerAssignee);
  w.S(FTrackerProjectName);
  w.S(FTrackerCategoryName);
  w.S(FTrackerTrialId);
  w.S(FZipPass);
  w.D(static_cast<std::uint32_t>(FFilters->Count()));
  for (int i = 0; i < FFilters->Count(); ++i) {
    const TVantorExceptionFilter& f = *FFilters->GetFilter(i);
    w.B(f.Active);
    w.S(f.ExceptionClassName);
    w.S(f.MessageText);
    w.B(f.MatchKind);
    w.B(f.DialogChoice);
    w.B(f.Handling);
    w.B(f.AfterAction);
  }
  w.S(FMailBody);
  for (const std::string& text : FTexts) w.S(text);
  w.S(FTextsLanguage);
}

void TVantorModuleOptions::ReadFromStream(TStream& stream) {
  LockNotify();
  try {
    // Read into a scratch object (of no module: it never announces) and take its settings only
    // when the whole block was read.
    auto scratch = Create<TVantorModuleOptions>("");
    scratch->CopySettings(this);
    VCore::TBlockReader reader(stream);
    VCore::ReadBlock(*scratch, reader, VCore::StreamVersion());
    CopySettings(scratch.get());
  } catch (...) {
    UnlockNotify();
    TriggerChanged();
    throw;
  }
  UnlockNotify();
  TriggerChanged();
}

#ifdef _WIN32

void TVantorModuleOptions::WriteToFile(const std::string& file_name) const {
  TFileStream stream(file_name, fmCreate | fmShareExclusive);
  WriteToStream(stream);
}

void TVantorModuleOptions::ReadFromFile(const std::string& file_name) {
  TFileStream stream(file_name, fmOpenRead | fmShareDenyWrite);
  ReadFromStream(stream);
}

#else

void TVantorModuleOptions::WriteToFile(const std::string& file_name) const {
  TMemoryStream stream;
  WriteToStream(stream);
  std::ofstream file(file_name, std::ios::binary | std::ios::trunc);
  if (!file) throw EFCreateError("Cannot create file \"" + file_name + "\"");
  file.write(reinterpret_cast<const char*>(stream.Memory()), stream.Size());
  if (!file) throw EWriteError("Stream write error");
}

void TVantorModuleOptions::ReadFromFile(const std::string& file_name) {
  std::ifstream file(file_name, std::ios::binary);
  if (!file) throw EFOpenError("Cannot open file \"" + file_name + "\"");
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  TMemoryStream stream;
  if (!bytes.empty()) stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  ReadFromStream(stream);
}

#endif
