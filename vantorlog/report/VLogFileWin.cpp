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
#include "VUnitVariable.h"
#include "core/ExceptionLog.h"

namespace ExceptionLog {

TLogFile::TLogFile(const std::string& file_name, bool read_only) : read_only_(read_only) {
  if (file_name.empty()) return;
  std::string placed;
  VCore::PrepareLogFile(file_name, false, read_only, &placed);
  file_name_ = placed.empty() ? file_name : placed;
  if (!FileExists(VCore::EncodeUtf8(file_name_))) return;
  file_stream_ = std::make_unique<TFileStream>(
      VCore::EncodeUtf8(file_name_),
      static_cast<std::uint16_t>((read_only ? fmOpenRead : fmOpenReadWrite) | fmShareDenyNone));
  LoadFromStream(*file_stream_);
}

void TLogFile::SaveAsXML(const std::string& file_name) const {
  const std::string text = LogToXML();
  TFileStream stream(VCore::EncodeUtf8(file_name), fmCreate);
  stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

void TLogFile::Save() {
  if (file_name_.empty()) return;
  if (!file_stream_)
    file_stream_ = std::make_unique<TFileStream>(VCore::EncodeUtf8(file_name_), fmCreate);
  file_stream_->SetPosition(0);
  SaveToStream(*file_stream_);
  file_stream_->SetSize(file_stream_->Position());
}

namespace {

struct TLogGlue {
  std::unique_ptr<TLogFile> log;
  std::string path;
  bool duplicate = false;
  bool screenshot_taken = false;
  bool page_saved = false;
};

TLogGlue& Glue() {
  // Never destroyed: the leak report is logged after static destruction.
  static VCore::TUnitVariable<TLogGlue> glue;
  return *glue;
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
      log.RaiseReportCount(index);
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
  const bool vetoed = !save_allowed;
  bool retry = false;
  do {
    ClearLibraryWarning();
    // A retry starts again from the file: the report added by the failed attempt goes with
    // the log object.
    CloseLogFile();
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
      FireErrorNotify(static_cast<TVantorLogErrorCode>(kErrorLogSaveFailed), retry);
    // Only a failed save is tried again; a save the handler refused stays refused.
    if (retry && vetoed) retry = false;
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

void SetScreenshotTaken(bool taken) { Glue().screenshot_taken = taken; }
void SetHTMLPageSaved(bool saved) { Glue().page_saved = saved; }

std::string TakenScreenshotFileName(const TVantorModuleOptions& options) {
  return Glue().screenshot_taken ? ScreenshotFileName(options) : std::string();
}

std::string SavedHTMLPageFileName(const TVantorModuleOptions& options) {
  return Glue().page_saved ? LastHTMLPageFileName(options) : std::string();
}

void SaveLastHTMLPage(const TVantorModuleOptions& options, const std::string& page) {
  const std::string name = LastHTMLPageFileName(options);
  if (name.empty()) return;
  try {
    std::string text;
    std::size_t from = 0;
    const std::string normal = NormaliseLineBreaks(page);
    while (from < normal.size()) {
      std::size_t at = normal.find("\r\n", from);
      if (at == std::string::npos) at = normal.size();
      text += normal.substr(from, at - from) + "\r\n";
      from = at + 2;
    }
    TFileStream stream(VCore::EncodeUtf8(name), fmCreate);
    if (!text.empty()) stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
    SetHTMLPageSaved(true);
  } catch (...) {
  }
}

std::string LoadTextFile(const std::string& file_name) {
  if (file_name.empty() || !FileExists(VCore::EncodeUtf8(file_name))) return {};
  try {
    TFileStream stream(VCore::EncodeUtf8(file_name), fmOpenRead | fmShareDenyNone);
    std::string text;
    char buffer[65536];
    for (std::int32_t n; (n = stream.Read(buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    // Lines joined with CR LF: no line break after the last one.
    text = NormaliseLineBreaks(text);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
      text.resize(text.size() - 2);
    return text;
  } catch (...) {
    return {};
  }
}

void AttachedFilesList(const TVantorModuleOptions& options, bool for_zip,
                       std::vector<std::string>& list) {
  list = VCore::SplitByChars(options.FExtraFiles, ";");
  if (!(for_zip && options.FAppendToLog)) list.push_back(LogCopyFileName(options));
  for (const std::string& name :
       {TakenScreenshotFileName(options), SavedHTMLPageFileName(options), XMLCopyFileName(options)})
    if (!name.empty()) list.push_back(name);
}

void SaveLogAsXML(const TVantorModuleOptions& options, const std::string& send_text) {
  const std::string xml_name = XMLCopyFileName(options);
  if (xml_name.empty()) return;
  try {
    const std::string copy = LogCopyFileName(options);
    std::unique_ptr<TLogFile> log;
    if (copy.empty()) {
      log = std::make_unique<TLogFile>();
      log->AddReport(send_text, -1);
    } else {
      log = std::make_unique<TLogFile>(copy, true);
    }
    std::string password;
    FirePasswordRequest(nullptr, password);
    log->XMLPassword = password;
    log->SaveAsXML(xml_name);
  } catch (...) {
    LogWarning();
  }
}

}  // namespace ExceptionLog
