// The options of one module: what is caught, what the dialogs show, where the log goes, how
// reports are sent, the customizable texts and the exception filters.
//
// Fields are read directly; changes go through the setters, which announce themselves
// (TriggerChanged) unless a LockNotify is open. Objects are made by Create<T>(), which
// constructs and then loads the defaults, so that a derived class's NotifyChanged sees the
// first announcement.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Streams.h"
#include "VFilters.h"
#include "VSystem.h"
#include "VTexts.h"

using TCustomizedTexts = std::array<std::string, VCore::kCustomTextCount>;
using TDialogShowFlags = std::array<std::uint8_t, 6>;  // bit k = byte k / 8, bit k % 8

class TVantorModuleOptions {
 public:
  template <class T = TVantorModuleOptions>
  static std::unique_ptr<T> Create(const std::string& module_file_name) {
    std::unique_ptr<T> options(new T(module_file_name));
    options->LoadDefaults();
    options->FUpdateCount = 0;
    return options;
  }
  virtual ~TVantorModuleOptions();
  TVantorModuleOptions(const TVantorModuleOptions&) = delete;
  TVantorModuleOptions& operator=(const TVantorModuleOptions&) = delete;

  // Virtual operations, in slot order.
  virtual void SetLibraryActive(bool value);
  virtual void SetHangCheck(bool value);
  // Raises EConvertError for nullptr; copying onto itself does nothing.
  virtual void CopySettings(const TVantorModuleOptions* other);
  virtual void LoadDefaults();
  virtual void WriteToStream(TStream& stream) const;
  virtual void WriteToFile(const std::string& file_name) const;
  // Reads a block of the stream version in force (VCore::StreamVersion). A short or corrupt
  // block raises EReadError and leaves every setting as it was.
  virtual void ReadFromStream(TStream& stream);
  virtual void ReadFromFile(const std::string& file_name);
  virtual void NotifyChanged() {}
  virtual void SyncShared() {}

  void LockNotify() { ++FUpdateCount; }
  void UnlockNotify() { --FUpdateCount; }
  // Calls NotifyChanged when no lock is open and these are the options of the module this
  // library copy runs in.
  void TriggerChanged();

  // Text index with %NAME% references expanded; "" outside 0-157.
  std::string GetCustomText(int index) const;
  void StoreText(int index, const std::string& text);

  // The module's log file (file_name empty: the module's own name), placed by PrepareLogFile.
  std::string ResolveLogPath(const std::string& file_name) const;
  std::string GetLogFileName(const std::string& file_name = "") const;

  bool ShowFlag(int k) const { return (FDialogShowFlags[k / 8] >> (k % 8)) & 1; }

  // Setters.
  void SetModuleFileName(const std::string& v);
  void SetModuleInstance(VCore::TModuleHandle v);
  void SetHandleExceptions(bool v);
  void SetLogEnabled(bool v);
  void SetAppendToLog(bool v);
  void SetWriteLogFile(bool v);
  void SetLogFlags(std::uint8_t v);
  void SetLogFolder(const std::string& v);
  void SetMaxSavedReports(std::int32_t v);  // below 1 stores 1
  void SetTerminateAfterCount(std::int32_t v);
  void SetFirstTab(std::uint8_t v);
  void SetHangTimeoutSecs(std::int32_t v);
  void SetMailRecipients(const std::string& v);
  void SetMailSubjectText(const std::string& v);
  void SetMailBody(const std::string& v);
  void SetMailMode(std::uint8_t v);
  void SetSmtpSender(const std::string& v);
  void SetSmtpServer(const std::string& v);
  void SetSmtpPortNo(std::uint16_t v);
  void SetSmtpLogin(const std::string& v);
  void SetSmtpPass(const std::string& v);
  void SetTerminateAction(std::uint8_t v);
  void SetDialogShowFlags(const TDialogShowFlags& v);
  void SetDialogKind(std::uint8_t v);
  void SetDialogOptions(std::uint16_t v);
  void SetDialogAutoCloseSecs(std::int32_t v);
  void SetWebMode(std::uint8_t v);
  void SetWebAddress(const std::string& v);
  void SetWebLogin(const std::string& v);
  void SetWebPass(const std::string& v);
  void SetWebPortNo(std::int32_t v);
  void SetExtraFiles(const std::string& v);
  void SetSendFlags(std::uint16_t v);
  void SetSupportLink(const std::string& v);
  void SetHtmlTemplate(const std::string& v);
  void SetStackFlags(std::uint8_t v);
  void SetBehaviourFlags(std::uint16_t v);
  void SetCrashAction(std::uint8_t v);
  void SetCrashCount(std::int32_t v);
  void SetCrashMinutes(std::int32_t v);
  void SetProxyAddress(const std::string& v);
  void SetProxyLogin(const std::string& v);
  void SetProxyPass(const std::string& v);
  void SetProxyPortNo(std::uint16_t v);
  void SetTrackerLogin(const std::string& v);
  void SetTrackerPass(const std::string& v);
  void SetTrackerAssignee(const std::string& v);
  void SetTrackerProjectName(const std::string& v);
  void SetTrackerCategoryName(const std::string& v);
  void SetTrackerTrialId(const std::string& v);
  void SetZipPass(const std::string& v);
  void SetBuildFlags(std::uint8_t v);
  void SetPreBuildCommand(const std::string& v);
  void SetPostBuildOkCommand(const std::string& v);
  void SetPostBuildFailCommand(const std::string& v);
  void SetReproduceSteps(const std::string& v);
  void SetTextsLanguage(const std::string& v);

  // Fields, in declaration order.
  std::int32_t FUpdateCount = 0;
  std::string FSmtpSender;
  std::string FSmtpServer;
  std::string FSmtpLogin;
  std::string FSmtpPass;
  std::uint16_t FSmtpPortNo = 0;
  std::string FProxyAddress;
  std::string FProxyLogin;
  std::string FProxyPass;
  std::uint16_t FProxyPortNo = 0;
  std::string FTrackerLogin;
  std::string FTrackerPass;
  std::string FTrackerAssignee;
  std::string FTrackerProjectName;
  std::string FTrackerCategoryName;
  std::string FTrackerTrialId;
  std::string FZipPass;
  std::string FPreBuildCommand;
  std::string FPostBuildOkCommand;
  std::string FPostBuildFailCommand;
  std::uint8_t FBuildFlags = 0;
  std::uint8_t FTerminateAction = 0;
  std::uint8_t FHangCheck = 0;
  std::int32_t FHangTimeoutSecs = 0;
  std::string FModuleFileName;
  VCore::TModuleHandle FModuleInstance = 0;
  TDialogShowFlags FDialogShowFlags{};
  std::uint8_t FDialogKind = 0;
  std::unique_ptr<TVantorExceptionsFilters> FFilters;
  TCustomizedTexts FTexts;
  std::string FTextsLanguage;
  std::uint8_t FLogEnabled = 0;
  std::uint8_t FHandleExceptions = 0;
  std::uint8_t FAppendToLog = 0;
  std::uint8_t FWriteLogFile = 0;
  std::uint8_t FLogFlags = 0;
  std::uint16_t FSendFlags = 0;
  std::uint8_t FFirstTab = 0;
  std::int32_t FMaxSavedReports = 1;
  std::int32_t FTerminateAfterCount = 0;
  std::string FLogFolder;
  std::string FMailRecipients;
  std::string FMailSubjectText;
  std::string FMailBody;
  std::uint8_t FMailMode = 0;
  std::uint8_t FWebMode = 0;
  std::string FExtraFiles;
  std::uint16_t FDialogOptions = 0;
  std::int32_t FDialogAutoCloseSecs = 0;
  std::string FSupportLink;
  std::string FHtmlTemplate;
  std::uint8_t FCrashAction = 0;
  std::int32_t FCrashCount = 0;
  std::int32_t FCrashMinutes = 0;
  std::uint8_t FStackFlags = 0;
  std::uint16_t FBehaviourFlags = 0;
  std::uint8_t FLeakFlags = 0;
  std::string FWebAddress;
  std::int32_t FWebPortNo = 0;
  std::string FWebPass;
  std::string FWebLogin;
  std::string FReproduceSteps;
  std::string FUserEmail;  // the address typed in the short dialog; never streamed
  std::uint8_t FLibraryActive = 1;

 protected:
  explicit TVantorModuleOptions(const std::string& module_file_name);
};

// Defaults that other parts of the library compare against.
inline constexpr char kDefaultSmtpSender[] = "vantorlog@localhost";
extern const char* const kDefaultHtmlTemplate;
inline constexpr char kCopyNilText[] = "Impossible to assign nil as TVantorModuleOptions.";
