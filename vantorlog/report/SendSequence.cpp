#include "SendSequence.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "Classes.h"
#include "MailSending.h"
#include "ReportText.h"
#include "SendData.h"
#include "SendLine.h"
#include "SendTransports.h"
#include "Streams.h"
#include "SysUtils.h"
#include "Thread.h"
#include "VBugTrackers.h"
#include "VLogFile.h"
#include "VSendDialog.h"
#include "VWebErrorPage.h"
#include "VZip.h"
#include "core/ExceptionLog.h"
#include "core/VClassModel.h"
#include "core/VCore.h"
#include "core/VOptions.h"
#include "core/VThreads.h"
#include "core/VUnitVariable.h"

namespace ExceptionLog {

namespace {

// The shared state of the send line (one send at a time: the processing lock).
VCore::TUnitVariable<std::vector<std::string>> g_send_files_unit;
std::vector<std::string>& g_send_files = *g_send_files_unit;
bool g_closed_bug = false;
// "yyyymmddhhnnss" of the exception being sent.
VCore::TUnitVariable<std::string> g_exception_time_unit;
std::string& g_exception_time = *g_exception_time_unit;
// Its class, taken before a send thread copies the object.
VCore::TUnitVariable<std::string> g_class_text_unit;
std::string& g_class_text = *g_class_text_unit;
volatile LONG g_send_threads = 0;
volatile LONG g_pending_crash = 0;  // an order that waits for a send thread
TSendBoxHook g_box_hook = nullptr;

TVantorModuleOptions& Options() {
  TVantorModuleOptions* options = CurrentOptions();
  if (!options) throw Exception("No options.");
  return *options;
}

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

std::string NowStamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[16];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  return text;
}

std::string SendName(const std::string& path) {
  const TVantorModuleOptions* options = CurrentOptions();
  return ReportFileName(path, options ? options->FSendFlags : 0, ComputerName(),
                        g_exception_time.empty() ? NowStamp() : g_exception_time);
}

bool Exists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The library's paths are ANSI; the stream and zip writers take UTF-8.
void WriteReportCopy(const std::string& path, const std::string& text) {
  TFileStream stream(VCore::EncodeUtf8(path), fmCreate);
  if (!text.empty()) stream.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

int ShowBox(const std::string& text, const std::string& caption, UINT style) {
  if (g_box_hook) return g_box_hook(text.c_str(), caption.c_str(), style);
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
}

std::string LogFolder() {
  const std::string path = VCore::ExpandEnvRefs(Options().GetLogFileName());
  std::string placed;
  VCore::PrepareLogFile(path, false, false, &placed);
  return VCore::ExtractFileFolder(placed.empty() ? path : placed);
}

// ---- The send thread ----

// An object the send thread owns: the raising frame's object is gone once the processing has
// returned. A library exception keeps its message in the copy (the copy is an Exception).
void* CloneObjectShallow(void* object) {
  if (const auto* e = VCore::ObjectAs<Exception>(object)) return new Exception(*e);
  return nullptr;
}

void FreeObjectClone(void* clone) { delete static_cast<Exception*>(clone); }

class TSendThread : public TThread {
 public:
  TSendThread() : TThread(true) {
    const TVantorExceptionRecord& current = CurrentExceptionContext();
    context_ = current;
    if (current.Context) {
      cpu_ = *current.Context;
      context_.Context = &cpu_;
    }
    if (current.ExceptionRecord) {
      record_ = *current.ExceptionRecord;
      context_.ExceptionRecord = &record_;
    }
    clone_ = CloneObjectShallow(current.ExceptionObject);
    context_.ExceptionObject = clone_;
    FreeOnTerminate = true;
  }

 protected:
  void Execute() override {
    if (ThreadExceptionState* state = CurrentThreadState()) state->Processing = 1;
    EnterProcessingLock();
    try {
      // The events of the send line run in this thread: the faulting one waits no more.
      context_.ThreadID = GetCurrentThreadId();
      CurrentExceptionContext() = context_;
      SendBugReport();
      AfterSending();
      TerminateOrRestart();
      if (const LONG code = InterlockedExchange(&g_pending_crash, 0)) {
        InterlockedDecrement(&g_send_threads);
        ApplyCrashOperation(code);
      }
    } catch (...) {
    }
    CurrentExceptionContext() = TVantorExceptionRecord();
    FreeObjectClone(clone_);
    if (g_send_threads > 0) InterlockedDecrement(&g_send_threads);
    LeaveProcessingLock();
    ReleaseCurrentThreadState();
  }

 private:
  TVantorExceptionRecord context_;
  CONTEXT cpu_{};
  EXCEPTION_RECORD record_{};
  void* clone_ = nullptr;
};

}  // namespace

void SetSendBoxHook(TSendBoxHook hook) { g_box_hook = hook; }

void InstallSendHooks() {
  TSendHooks& hooks = SendHooks();
  hooks.ReportFileName = SendName;
  hooks.Warning = [](std::uint8_t code, const std::string& text) {
    ReportLibraryWarning(static_cast<TVantorLogErrorCode>(code), text);
  };
  hooks.CustomWebFieldsRequest = [](VWebTools::TFormFields& fields) {
    WebFieldsList().Clear();
    FireCustomWebFieldsRequest();
    for (int i = 0; i < WebFieldsList().Count(); ++i) {
      const std::string item = WebFieldsList().Get(i);
      const std::size_t eq = item.find('=');
      fields.emplace_back(item.substr(0, eq), eq == std::string::npos ? "" : item.substr(eq + 1));
    }
  };
  InstallSendDialogHooks();
}

bool SendThreadPending() { return g_send_threads > 0; }

void StartSending() {
  InstallSendHooks();
  g_exception_time = NowStamp();
  g_class_text = ExceptionClassText(CurrentExceptionContext().ExceptionObject);
  const TVantorModuleOptions* options = CurrentOptions();
  if (!options) return;
  if (ProcessingInRaisingThread() || !(options->FSendFlags & 0x80)) {
    SendBugReport();
    return;
  }
  InterlockedIncrement(&g_send_threads);
  try {
    auto* thread = new TSendThread();
    SetThreadPriority(thread->Handle(), THREAD_PRIORITY_HIGHEST);
    thread->Start();
  } catch (...) {
    // No thread: the send runs here, and the line's after-send steps follow it.
    InterlockedDecrement(&g_send_threads);
    SendBugReport();
  }
}

const std::vector<std::string>& SendFilesList() { return g_send_files; }

void CollectSendFiles(bool email) {
  const TVantorModuleOptions& options = Options();
  std::vector<std::string> files;
  AttachedFilesList(options, email, files);
  TStrings& list = ExceptionLog::AttachedFilesList();
  list.Clear();
  for (const std::string& f : files) list.Add(f);
  FireAttachedFilesRequest();
  files.clear();
  for (int i = 0; i < list.Count(); ++i)
    if (Exists(list.Get(i))) files.push_back(list.Get(i));
  const std::string zip = BugReportZipFileName();
  std::vector<std::string> utf8;
  for (const std::string& f : files) utf8.push_back(VCore::EncodeUtf8(f));
  if (!utf8.empty()) ZipFiles(VCore::EncodeUtf8(zip), options.FZipPass, utf8);
  g_send_files = {zip};
}

namespace {

// One e-mail attempt by the mode's sender.
bool EMailAttempt() {
  const TVantorModuleOptions& options = Options();
  std::string text = options.FMailBody;
  if (options.FAppendToLog) text += "\r\n\r\n\r\n" + ReportPieces().SendText;
  if (options.FMailMode == 2 || options.FMailMode == 3) {
    StartSendDialog(!(options.FSendFlags & 0x80));
    return SendSMTPReport(options.FMailMode == 3, options.FSmtpSender, options.FSmtpServer,
                          g_send_files, {}, text, options.FMailSubjectText, options.FMailRecipients,
                          options.FSmtpPass, options.FSmtpLogin,
                          options.FSmtpPortNo ? options.FSmtpPortNo : 25);
  }
  bool cancelled = false;
  TMailClientSettings settings = DefaultMailClientSettings();
  settings.cancelled = &cancelled;
  if (SendMailViaMAPI(options.FMailRecipients, options.FMailSubjectText, text, g_send_files, {},
                      settings))
    return true;
  // A cancelled compose window is the user's answer: the mail program is not asked again.
  return !cancelled && SendMailViaShell(options.FMailRecipients, options.FMailSubjectText,
                                        options.FMailBody, ReportPieces().Report, settings);
}

// The web target of the options (the port's low 16 bits) and the send-files list.
template <class TInputs>
TInputs WebInputs(const TVantorModuleOptions& options) {
  TInputs in;
  in.web_mode = options.FWebMode;
  in.address = options.FWebAddress;
  in.port = static_cast<std::uint16_t>(options.FWebPortNo & 0xFFFF);
  in.login = options.FWebLogin;
  in.password = options.FWebPass;
  in.proxy_address = options.FProxyAddress;
  in.proxy_port = options.FProxyPortNo;
  in.proxy_login = options.FProxyLogin;
  in.proxy_password = options.FProxyPass;
  in.files = g_send_files;
  return in;
}

// One web attempt by the mode's sender.
bool WebAttempt() {
  const TVantorModuleOptions& options = Options();
  StartSendDialog(!(options.FSendFlags & 0x80));
  if (options.FWebMode >= 1 && options.FWebMode <= 3) {
    const TWebSendInputs in = WebInputs<TWebSendInputs>(options);
    return options.FWebMode == 3 ? SendFTP(in) : SendHTTP(in);
  }
  if (options.FWebMode > 6) return false;
  TBugTrackerInputs in = WebInputs<TBugTrackerInputs>(options);
  in.tracker_login = options.FTrackerLogin;
  in.tracker_password = options.FTrackerPass;
  in.project = options.FTrackerProjectName;
  in.category = options.FTrackerCategoryName;
  in.assignee = options.FTrackerAssignee;
  in.trial_id = options.FTrackerTrialId;
  in.reproduce_steps = options.FReproduceSteps;
  in.version = OwnFileVersion();
  in.class_text = g_class_text;
  in.message = ExceptionMessageText();
  in.bug_id = BugID();
  in.os_type = WindowsVersionName();
  in.os_build = WindowsBuildText();
  in.custom_text = [&options](int id, const std::string& text) {
    const std::string t = options.GetCustomText(id);
    return t.empty() ? text : t;
  };
  return SendBugTracker(in, &g_closed_bug);
}

// The warning of an attempt that raised, with the channel's code and section.
void AttemptRaised(bool email, const std::string& message) {
  const TVantorModuleOptions& options = Options();
  TVantorLogErrorCode code = TVantorLogErrorCode::eeWebHTTPError;
  const char* section = "HTTP";
  if (email) {
    code = options.FMailMode == 1 ? TVantorLogErrorCode::eeEmailMAPIError
                                  : TVantorLogErrorCode::eeEmailSMTPError;
    section = options.FMailMode == 1 ? "MAPI" : "SMTP";
  } else if (options.FWebMode == 2) {
    code = TVantorLogErrorCode::eeWebHTTPSError;
    section = "HTTPS";
  } else if (options.FWebMode == 3) {
    code = TVantorLogErrorCode::eeWebFTPError;
    section = "FTP";
  } else if (options.FWebMode >= 4) {
    code = TVantorLogErrorCode::eeWebTrakerError;
    section = "BugTracker";
  }
  ReportLibraryWarning(code, std::string("[") + section + "] " + message);
}

TSendLineOps ChannelOps() {
  TSendLineOps ops;
  ops.action_event = [](int action, bool& flag) { FireActionNotify(action, flag); };
  ops.error_event = [](int error, bool& retry) {
    FireErrorNotify(static_cast<TVantorLogErrorCode>(error), retry);
  };
  ops.email_attempt = EMailAttempt;
  ops.web_attempt = WebAttempt;
  ops.attempt_raised = AttemptRaised;
  return ops;
}

}  // namespace

bool SendEMail() { return RunSendChannel(true, ChannelOps()); }
bool SendWeb() { return RunSendChannel(false, ChannelOps()); }

bool SendBugReport() {
  const TVantorModuleOptions& options = Options();
  g_closed_bug = false;
  g_send_files.clear();
  WebFieldsList().Clear();
  ClearLibraryWarning();
  const std::string report_copy =
      options.GetLogFileName().empty() ? std::string() : LogCopyFileName(options);
  const std::string xml_copy = XMLCopyFileName(options);
  // A CGI program's page was stored as it was written out, and stays: the server reads it.
  const bool cgi = IsCGIModule();
  std::string page;
  const std::string zip = BugReportZipFileName();

  TSendLineSettings settings;
  settings.mail_mode = options.FMailMode;
  settings.web_mode = options.FWebMode;
  settings.append_to_log = options.FAppendToLog != 0;
  settings.send_flags = options.FSendFlags;
  settings.behaviour_flags = options.FBehaviourFlags;
  TSendLineOps ops = ChannelOps();
  ops.write_companions = [&] {
    const std::string& send_text = ReportPieces().SendText;
    if (!report_copy.empty()) {
      try {
        std::string text = send_text;
        if (text.size() < 6 || text.compare(text.size() - 6, 6, "\r\n\r\n\r\n") != 0)
          text += "\r\n\r\n\r\n";
        WriteReportCopy(report_copy, NormaliseLineBreaks(text));
      } catch (...) {
      }
    }
    if (!cgi && IsWebModule()) {
      SaveLastHTMLPage(options, LastHtmlPageText());
      page = SavedHTMLPageFileName(options);
    }
    SaveLogAsXML(options, send_text);
  };
  ops.collect_files = CollectSendFiles;
  ops.copy_report_to_clipboard = [] { CopyTextToClipboard(ReportPieces().Report); };
  ops.closed_bug_shown = [] { return g_closed_bug; };
  ops.result_box = [&options](bool sent) {
    ShowBox(options.GetCustomText(sent ? kSentText : kNotSentText), options.GetCustomText(0),
            sent ? kSentBoxStyle : kNotSentBoxStyle);
  };
  ops.keep_archive = [&zip] {
    if (!Exists(zip)) return;
    const std::string kept = KeptZipFileName();
    if (MoveFileA(zip.c_str(), kept.c_str()))
      PruneKeptZips(VCore::ExtractFileFolder(kept), VCore::ExtractFileName(kept));
  };
  ops.delete_temporaries = [&] {
    for (const std::string* f : {&zip, &xml_copy, &std::as_const(page), &report_copy})
      if (!f->empty()) ForceDeleteFile(*f);
    if (!page.empty()) SetHTMLPageSaved(false);
  };
  return RunSendLine(settings, ops);
}

std::string KeptZipFileName() {
  const std::string folder = VCore::IncludeTrailingSlash(LogFolder());
  const std::string name = SendName("BugReport.zip");
  std::string path = folder + name;
  for (int n = 2; Exists(path) && n < 10000; ++n) path = folder + NumberedFileName(name, n);
  return path;
}

void PruneKeptZips(const std::string& folder, const std::string& just_kept) {
  const std::string base = VCore::IncludeTrailingSlash(folder);
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((base + "*.zip").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        lstrcmpiA(found.cFileName, just_kept.c_str()) != 0)
      names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  const std::size_t keep = just_kept.empty() ? kMaxKeptZips : kMaxKeptZips - 1;
  for (const std::string& name : KeptZipsToPrune(names, keep)) ForceDeleteFile(base + name);
}

void AfterSending() {
  const TVantorModuleOptions& options = Options();
  const std::string shot = ScreenshotFileName(options);
  if (!shot.empty()) ForceDeleteFile(shot);
  SetScreenshotTaken(false);
  if (VCore::IsIdeHost() || options.FCrashAction == 0) return;
  if (CrashRuleDue(CrashTimes(), options.FCrashCount, options.FCrashMinutes))
    ApplyCrashOperation(options.FCrashAction);
}

void TerminateOrRestart() {
  if (!DialogState().Terminate) return;
  const TVantorModuleOptions* options = CurrentOptions();
  RestartOrTerminate(options && options->FTerminateAction == 2);
}

void ApplyCrashOperation(int code) {
  if (code != 1 && code != 2) return;
  if (!IsLibraryActive()) return;
  // A send still due sends first; its thread then applies the order.
  if (SendThreadPending() && !ProcessingInRaisingThread()) {
    InterlockedCompareExchange(&g_pending_crash, code, 0);
    return;
  }
  SetProcessEnding();
  RestartOrTerminate(code == 2);
}

}  // namespace ExceptionLog
