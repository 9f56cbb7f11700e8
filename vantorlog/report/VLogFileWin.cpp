// Report log on disk and the log glue of the processing line: open and close, the duplicate
// test, the save step, and the names of a report's companion files.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "SysUtils.h"
#include "VCore.h"
#include "VLogFile.h"
#include "VOptions.h"
#include "VSystem.h"
#include "core/ExceptionLog.h"

namespace ExceptionLog {

TLogFile::TLogFile(const std::string& file_name, bool read_only) : read_only_(read_only) {
  if (file_name.empty()) return;
  std::string placed;
  VCore::PrepareLogFile(file_name, false, read_only, &placed);
  file_name_ = placed.empty() ? file_name : placed;
  if (!FileExists(file_name_)) return;
  file_stream_ = std::make_unique<TFileStream>(
      file_name_,
      static_cast<std::uint16_t>((read_only ? fmOpenRead : fmOpenReadWrite) | fmShareDenyNone));
  LoadFromStream(*file_stream_);
}

void TLogFile::Save() {
  if (file_name_.empty()) return;
  if (!file_stream_) file_stream_ = std::make_unique<TFileStream>(file_name_, fmCreate);
  file_stream_->SetPosition(0);
  SaveToStream(*file_stream_);
  file_stream_->SetSize(file_stream_->Position());
}

namespace {

struct TLogGlue {
  std::unique_ptr<TLogFile> log;
  std::string path;
  bool duplicate = false;
};

TLogGlue& Glue() {
  static TLogGlue glue;
  return glue;
}

std::string Temp(const std::string& name) {
  return VCore::IncludeTrailingSlash(VCore::TemporaryFolder()) + name;
}

// The failure being handled as the warning "[Log] message".
void LogWarning() {
  std::string message = "General 'Log' error.";
  try {
    throw;
  } catch (const Exception& e) {
    message = "[Log] " + e.Message();
  } catch (const std::exception& e) {
    message = std::string("[Log] ") + e.what();
  } catch (...) {
  }
  ReportLibraryWarning(TVantorLogErrorCode::eeLogError, message);
}

}  // namespace

TLogFile& OpenLogFile(const TVantorModuleOptions& options) {
  TLogGlue& g = Glue();
  const std::string path = VCore::ExpandEnvRefs(options.GetLogFileName());
  if (g.log && path != g.path) g.log.reset();
  if (!g.log) {
    g.path = path;
    g.log = std::make_unique<TLogFile>(path, false);
  }
  return *g.log;
}

void CloseLogFile() { Glue().log.reset(); }

bool IsDuplicateError() { return Glue().duplicate; }

void CheckDuplicateError(const TVantorModuleOptions& options, const std::string& bug_id,
                         bool count_up) {
  TLogGlue& g = Glue();
  if (!(options.FLogFlags & 0x01)) {
    g.duplicate = false;
    return;
  }
  try {
    TLogFile& log = OpenLogFile(options);
    const int index = log.FindReport({"2.7"}, {bug_id}, 1);
    g.duplicate = index >= 0;
    if (g.duplicate && count_up) {
      int count = 1;
      const std::string text = log.GetItemValue("2.8", index);
      char* end = nullptr;
      const long n = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
      if (!text.empty() && end && *end == '\0') count = static_cast<int>(n);
      log.SetItemValue("2.8", std::to_string(count + 1), index, "Count");
      log.Save();
    }
  } catch (...) {
    LogWarning();
  }
  CloseLogFile();
}

void SaveReportToLog(const TVantorModuleOptions& options, const std::string& report,
                     std::string& send_text) {
  bool save_allowed = true;
  ClearLibraryWarning();
  if (options.FWriteLogFile) FireActionNotify(2, save_allowed);
  bool retry = false;
  do {
    ClearLibraryWarning();
    try {
      TLogFile& log = OpenLogFile(options);
      if (!IsDuplicateError()) {
        log.AddReport(report, options.FMaxSavedReports);
        if (options.FSendFlags & 0x04) send_text = log.GetText();
        if (save_allowed && options.FWriteLogFile) log.Save();
      }
    } catch (...) {
      LogWarning();
      save_allowed = false;
    }
    retry = false;
    if (options.FWriteLogFile && !save_allowed)
      FireErrorNotify(TVantorLogErrorCode::eeLogError, retry);
    if (retry) save_allowed = true;
  } while (retry);
  CloseLogFile();
  if (options.FWriteLogFile) {
    bool argument = true;
    FireActionNotify(3, argument);
  }
}

std::string LogCopyFileName(const TVantorModuleOptions& options) {
  return Temp(VCore::ExtractFileName(options.GetLogFileName()));
}

std::string BugReportZipFileName() { return Temp("BugReport.zip"); }

std::string ScreenshotFileName(const TVantorModuleOptions& options) {
  return (options.FSendFlags & 0x10) ? Temp("Screenshot.png") : std::string();
}

std::string LastHTMLPageFileName(const TVantorModuleOptions& options) {
  return (options.FSendFlags & 0x40) ? Temp("LastHTMLPage.html") : std::string();
}

std::string XMLCopyFileName(const TVantorModuleOptions& options) {
  if (!(options.FSendFlags & 0x08)) return {};
  return Temp(VCore::ChangeFileExt(VCore::ExtractFileName(options.GetLogFileName()), ".xml"));
}

std::string TempOptionsFileName(std::uint32_t process_id, std::uintptr_t module_handle) {
  char name[32];
  std::snprintf(name, sizeof name, "%08X%08X.bin", static_cast<unsigned>(process_id),
                static_cast<unsigned>(module_handle));
  return Temp(name);
}

}  // namespace ExceptionLog
