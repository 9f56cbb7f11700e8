#include "VOptions.h"

#include "SysUtils.h"
#include "VTextUtils.h"
#ifdef _WIN32
#include "VCore.h"
#endif

const char* const kDefaultHtmlTemplate =
    "<html>\r\n  <head>\r\n  </head>\r\n  <body TopMargin=10 LeftMargin=10>\r\n    <table "
    "width=\"100%\" border=\"0\">\r\n      <tr>\r\n        <td nowrap>\r\n          <font "
    "face=\"Lucida Console, Courier\" size=\"2\">\r\n            <%HTML_TAG%>\r\n          "
    "</font>\r\n        </td>\r\n      </tr>\r\n    </table>\r\n  </body>\r\n</html>";

namespace {

// Unlocks and announces when a bulk operation ends, also by an exception.
class TNotifyScope {
 public:
  explicit TNotifyScope(TVantorModuleOptions& options) : options_(options) {
    options_.LockNotify();
  }
  ~TNotifyScope() {
    options_.UnlockNotify();
    options_.TriggerChanged();
  }
  TNotifyScope(const TNotifyScope&) = delete;
  TNotifyScope& operator=(const TNotifyScope&) = delete;

 private:
  TVantorModuleOptions& options_;
};

}  // namespace

TVantorModuleOptions::TVantorModuleOptions(const std::string& module_file_name)
    : FModuleFileName(module_file_name),
      FModuleInstance(VCore::ModuleHandleOf(module_file_name)),
      FFilters(std::make_unique<TVantorExceptionsFilters>(this)) {}

TVantorModuleOptions::~TVantorModuleOptions() {
  LockNotify();
  FFilters.reset();
}

void TVantorModuleOptions::TriggerChanged() {
  if (FUpdateCount <= 0 && FModuleInstance != 0 && FModuleInstance == VCore::ThisModuleHandle())
    NotifyChanged();
}

void TVantorModuleOptions::SetLibraryActive(bool value) {
  FLibraryActive = value ? 1 : 0;
  TriggerChanged();
}

void TVantorModuleOptions::SetHangCheck(bool value) {
  FHangCheck = value ? 1 : 0;
  TriggerChanged();
}

void TVantorModuleOptions::LoadDefaults() {
  TNotifyScope scope(*this);
  for (int i = 0; i < VCore::kCustomTextCount; ++i) FTexts[i] = VCore::DefaultText(i);
  FTextsLanguage = "English";
  FSmtpSender = kDefaultSmtpSender;
  FSmtpServer.clear();
  FSmtpLogin.clear();
  FSmtpPass.clear();
  FSmtpPortNo = 25;
  FProxyAddress.clear();
  FProxyLogin.clear();
  FProxyPass.clear();
  FProxyPortNo = 8080;
  FTrackerLogin.clear();
  FTrackerPass.clear();
  FTrackerAssignee.clear();
  FTrackerProjectName.clear();
  FTrackerCategoryName.clear();
  FTrackerTrialId.clear();
  FZipPass.clear();
  FPreBuildCommand.clear();
  FPostBuildOkCommand.clear();
  FPostBuildFailCommand.clear();
  FBuildFlags = 1;
  FTerminateAction = 2;
  FHangCheck = 0;
  FHangTimeoutSecs = 60;
  FDialogShowFlags.fill(0xFF);
  FDialogKind = 2;
  FLogEnabled = 0;
  FHandleExceptions = 1;
  FAppendToLog = 0;
  FWriteLogFile = 1;
  FLogFlags = 48;
  FSendFlags = 81;
  FFirstTab = 0;
  FMaxSavedReports = 32;
  FTerminateAfterCount = 3;
  FLogFolder.clear();
  FMailRecipients.clear();
  FMailSubjectText.clear();
  FMailBody.clear();
  FMailMode = 0;
  FWebMode = 0;
  FExtraFiles.clear();
  FDialogOptions = 399;
  FDialogAutoCloseSecs = 0;
  FSupportLink.clear();
  FHtmlTemplate = kDefaultHtmlTemplate;
  FCrashAction = 2;
  FCrashCount = 10;
  FCrashMinutes = 1;
  FStackFlags = 15;
  FBehaviourFlags = 88;
  FLeakFlags = 30;
  FWebAddress.clear();
  FWebPortNo = 0;
  FWebPass.clear();
  FWebLogin.clear();
  FFilters->ClearFilters();
  FReproduceSteps.clear();
  FUserEmail.clear();
  FLibraryActive = 1;
}

void TVantorModuleOptions::CopySettings(const TVantorModuleOptions* other) {
  if (!other) throw EConvertError(kCopyNilText);
  if (other == this) return;
  TNotifyScope scope(*this);
  FFilters->CopyFilters(*other->FFilters);
  FTexts = other->FTexts;
  FTextsLanguage = other->FTextsLanguage;
  SetSmtpSender(other->FSmtpSender);
  SetSmtpServer(other->FSmtpServer);
  SetSmtpLogin(other->FSmtpLogin);
  SetSmtpPass(other->FSmtpPass);
  SetSmtpPortNo(other->FSmtpPortNo);
  SetProxyAddress(other->FProxyAddress);
  SetProxyLogin(other->FProxyLogin);
  SetProxyPass(other->FProxyPass);
  SetProxyPortNo(other->FProxyPortNo);
  SetTrackerLogin(other->FTrackerLogin);
  SetTrackerPass(other->FTrackerPass);
  SetTrackerAssignee(other->FTrackerAssignee);
  SetTrackerProjectName(other->FTrackerProjectName);
  SetTrackerCategoryName(other->FTrackerCategoryName);
  SetTrackerTrialId(other->FTrackerTrialId);
  SetZipPass(other->FZipPass);
  SetPreBuildCommand(other->FPreBuildCommand);
  SetPostBuildOkCommand(other->FPostBuildOkCommand);
  SetPostBuildFailCommand(other->FPostBuildFailCommand);
  SetBuildFlags(other->FBuildFlags);
  SetTerminateAction(other->FTerminateAction);
  SetHangCheck(other->FHangCheck != 0);
  SetHangTimeoutSecs(other->FHangTimeoutSecs);
  SetDialogShowFlags(other->FDialogShowFlags);
  SetDialogKind(other->FDialogKind);
  SetLogEnabled(other->FLogEnabled != 0);
  SetHandleExceptions(other->FHandleExceptions != 0);
  SetAppendToLog(other->FAppendToLog != 0);
  SetWriteLogFile(other->FWriteLogFile != 0);
  SetLogFlags(other->FLogFlags);
  SetSendFlags(other->FSendFlags);
  SetFirstTab(other->FFirstTab);
  SetMaxSavedReports(other->FMaxSavedReports);
  SetTerminateAfterCount(other->FTerminateAfterCount);
  SetLogFolder(other->FLogFolder);
  SetMailRecipients(other->FMailRecipients);
  SetMailSubjectText(other->FMailSubjectText);
  SetMailBody(other->FMailBody);
  SetMailMode(other->FMailMode);
  SetWebMode(other->FWebMode);
  SetExtraFiles(other->FExtraFiles);
  SetDialogOptions(other->FDialogOptions);
  SetDialogAutoCloseSecs(other->FDialogAutoCloseSecs);
  SetSupportLink(other->FSupportLink);
  SetHtmlTemplate(other->FHtmlTemplate);
  SetCrashAction(other->FCrashAction);
  SetCrashCount(other->FCrashCount);
  SetCrashMinutes(other->FCrashMinutes);
  SetStackFlags(other->FStackFlags);
  SetBehaviourFlags(other->FBehaviourFlags);
  SetWebAddress(other->FWebAddress);
  SetWebPortNo(other->FWebPortNo);
  SetWebPass(other->FWebPass);
  SetWebLogin(other->FWebLogin);
  FLeakFlags = other->FLeakFlags;
  FReproduceSteps = other->FReproduceSteps;
  FUserEmail = other->FUserEmail;
}

std::string TVantorModuleOptions::GetCustomText(int index) const {
  if (index < 0 || index >= VCore::kCustomTextCount) return {};
  return VCore::ExpandEnvRefs(FTexts[index]);
}

void TVantorModuleOptions::StoreText(int index, const std::string& text) {
  if (index < 0 || index >= VCore::kCustomTextCount) return;
  FTexts[index] = text;
  TriggerChanged();
}

std::string TVantorModuleOptions::ResolveLogPath(const std::string& file_name) const {
  std::string path = VCore::LogPathFor(FLogFolder, file_name);
#ifdef _WIN32
  VCore::EnsureFolder(VCore::ExtractFileFolder(path));
  std::string placed;
  if (VCore::PrepareLogFile(path, true, false, &placed)) path = placed;
#endif
  return path;
}

std::string TVantorModuleOptions::GetLogFileName(const std::string& file_name) const {
  std::string name = file_name.empty() ? VCore::StripVsHost(FModuleFileName) : file_name;
  std::string path = ResolveLogPath(VCore::ChangeFileExt(name, ".vlf"));
  if (FLogFlags & 0x08) path = VCore::InsertComputerName(path, VCore::ComputerNameText());
  return path;
}

void TVantorModuleOptions::SetModuleInstance(VCore::TModuleHandle v) {
  FModuleInstance = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetMaxSavedReports(std::int32_t v) {
  FMaxSavedReports = v < 1 ? 1 : v;
  TriggerChanged();
}

void TVantorModuleOptions::SetDialogShowFlags(const TDialogShowFlags& v) {
  FDialogShowFlags = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetModuleFileName(const std::string& v) {
  FModuleFileName = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetHandleExceptions(bool v) {
  FHandleExceptions = v ? 1 : 0;
  TriggerChanged();
}

void TVantorModuleOptions::SetLogEnabled(bool v) {
  FLogEnabled = v ? 1 : 0;
  TriggerChanged();
}

void TVantorModuleOptions::SetAppendToLog(bool v) {
  FAppendToLog = v ? 1 : 0;
  TriggerChanged();
}

void TVantorModuleOptions::SetWriteLogFile(bool v) {
  FWriteLogFile = v ? 1 : 0;
  TriggerChanged();
}

void TVantorModuleOptions::SetLogFlags(std::uint8_t v) {
  FLogFlags = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetLogFolder(const std::string& v) {
  FLogFolder = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTerminateAfterCount(std::int32_t v) {
  FTerminateAfterCount = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetFirstTab(std::uint8_t v) {
  FFirstTab = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetHangTimeoutSecs(std::int32_t v) {
  FHangTimeoutSecs = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetMailRecipients(const std::string& v) {
  FMailRecipients = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetMailSubjectText(const std::string& v) {
  FMailSubjectText = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetMailBody(const std::string& v) {
  FMailBody = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetMailMode(std::uint8_t v) {
  FMailMode = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSmtpSender(const std::string& v) {
  FSmtpSender = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSmtpServer(const std::string& v) {
  FSmtpServer = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSmtpPortNo(std::uint16_t v) {
  FSmtpPortNo = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSmtpLogin(const std::string& v) {
  FSmtpLogin = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSmtpPass(const std::string& v) {
  FSmtpPass = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTerminateAction(std::uint8_t v) {
  FTerminateAction = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetDialogKind(std::uint8_t v) {
  FDialogKind = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetDialogOptions(std::uint16_t v) {
  FDialogOptions = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetDialogAutoCloseSecs(std::int32_t v) {
  FDialogAutoCloseSecs = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetWebMode(std::uint8_t v) {
  FWebMode = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetWebAddress(const std::string& v) {
  FWebAddress = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetWebLogin(const std::string& v) {
  FWebLogin = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetWebPass(const std::string& v) {
  FWebPass = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetWebPortNo(std::int32_t v) {
  FWebPortNo = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetExtraFiles(const std::string& v) {
  FExtraFiles = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSendFlags(std::uint16_t v) {
  FSendFlags = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetSupportLink(const std::string& v) {
  FSupportLink = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetHtmlTemplate(const std::string& v) {
  FHtmlTemplate = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetStackFlags(std::uint8_t v) {
  FStackFlags = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetBehaviourFlags(std::uint16_t v) {
  FBehaviourFlags = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetCrashAction(std::uint8_t v) {
  FCrashAction = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetCrashCount(std::int32_t v) {
  FCrashCount = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetCrashMinutes(std::int32_t v) {
  FCrashMinutes = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetProxyAddress(const std::string& v) {
  FProxyAddress = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetProxyLogin(const std::string& v) {
  FProxyLogin = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetProxyPass(const std::string& v) {
  FProxyPass = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetProxyPortNo(std::uint16_t v) {
  FProxyPortNo = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTrackerLogin(const std::string& v) {
  FTrackerLogin = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTrackerPass(const std::string& v) {
  FTrackerPass = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTrackerAssignee(const std::string& v) {
  FTrackerAssignee = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTrackerProjectName(const std::string& v) {
  FTrackerProjectName = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTrackerCategoryName(const std::string& v) {
  FTrackerCategoryName = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTrackerTrialId(const std::string& v) {
  FTrackerTrialId = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetZipPass(const std::string& v) {
  FZipPass = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetBuildFlags(std::uint8_t v) {
  FBuildFlags = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetPreBuildCommand(const std::string& v) {
  FPreBuildCommand = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetPostBuildOkCommand(const std::string& v) {
  FPostBuildOkCommand = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetPostBuildFailCommand(const std::string& v) {
  FPostBuildFailCommand = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetReproduceSteps(const std::string& v) {
  FReproduceSteps = v;
  TriggerChanged();
}

void TVantorModuleOptions::SetTextsLanguage(const std::string& v) {
  FTextsLanguage = v;
  TriggerChanged();
}
