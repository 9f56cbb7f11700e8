// The send progress dialog driven through the senders' hooks. The test program is linked as a
// GUI program: the dialog only appears in one.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "ScreenPicture.h"
#include "SendTransports.h"
#include "VSendDialog.h"
#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"
#include "core/VOptions.h"

namespace {

using ExceptionLog::SendDialogState;
using ExceptionLog::SendHooks;

std::string StatusText(HWND dialog) {
  char text[256] = {};
  SendMessageA(GetDlgItem(dialog, ExceptionLog::kSendStatusId), WM_GETTEXT, sizeof text,
               reinterpret_cast<LPARAM>(text));
  return text;
}
int BarPosition(HWND dialog) {
  return static_cast<int>(
      SendMessageA(GetDlgItem(dialog, ExceptionLog::kSendProgressId), PBM_GETPOS, 0, 0));
}
std::string Caption(HWND dialog) {
  char text[64] = {};
  GetWindowTextA(dialog, text, sizeof text);
  return text;
}

class SendDialog : public testing::Test {
 protected:
  void SetUp() override {
    saved_hooks_ = SendHooks();
    options_ = TVantorModuleOptions::Create("");
    options_->FSendFlags = 0x01;
    options_->FMailMode = 1;
    ExceptionLog::SetCurrentOptions(options_.get());
    ExceptionLog::SetProcessingInRaisingThread(false);
  }
  void TearDown() override {
    ExceptionLog::CloseSendDialog();
    ExceptionLog::SetCurrentOptions(nullptr);
    ExceptionLog::SetProcessingInRaisingThread(false);
    SendHooks() = saved_hooks_;
  }
  // Starts the dialog in its thread; the thread handle to wait on.
  HANDLE StartInThread(bool placement) {
    ExceptionLog::StartSendDialog(placement);
    EXPECT_TRUE(SendDialogState().focused);
    EXPECT_NE(SendDialogState().window, nullptr);
    EXPECT_NE(SendDialogState().thread_id, GetCurrentThreadId());
    return OpenThread(SYNCHRONIZE, FALSE, SendDialogState().thread_id);
  }
  // Closes through the senders' hook; the window goes and its thread ends.
  void CloseAndJoin(HANDLE thread) {
    ASSERT_NE(thread, nullptr);
    const HWND dialog = SendDialogState().window;
    SendHooks().CloseDialog();
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(SendDialogState().window, nullptr);
    EXPECT_FALSE(SendHooks().DialogUp());
  }
  ExceptionLog::TSendHooks saved_hooks_;
  std::unique_ptr<TVantorModuleOptions> options_;
};

TEST_F(SendDialog, SendersDriveTheStatusAndTheBarOfTheDialogThread) {
  ASSERT_TRUE(ExceptionLog::IsGUIProgram());
  const HANDLE thread = StartInThread(true);
  const HWND dialog = SendDialogState().window;
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Caption(dialog), "Send.");
  EXPECT_EQ(StatusText(dialog), "...");
  EXPECT_EQ(GetWindowThreadProcessId(dialog, nullptr), SendDialogState().thread_id);
  ASSERT_TRUE(SendHooks().DialogUp());

  // What the SMTP sender does for the second of three recipients.
  SendHooks().SetRecipientCount(3);
  SendHooks().SetRecipientNumber(2);
  SendHooks().Status(114, "Connecting with server...", true);
  EXPECT_EQ(StatusText(dialog), "Message 2/3: Connecting with server...");
  SendHooks().SocketSent(300, 400);
  EXPECT_EQ(BarPosition(dialog), 75);
  // Kept among the artefacts: the envelope, the status line and the bar as a user sees them.
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  const std::filesystem::path shots =
      std::filesystem::absolute(std::filesystem::path(VL_OUTPUT) / "dialog-screenshots");
  std::filesystem::create_directories(shots);
  EXPECT_TRUE(screen_picture::SaveWindowPng(dialog, (shots / "send-progress.png").string()));

  // The web uploads' progress: phases and the bar, which never moves back.
  ExceptionLog::OnWebProgress(0, 0, 0);
  EXPECT_EQ(StatusText(dialog), "Connecting with server...");
  EXPECT_EQ(BarPosition(dialog), 75);
  SendHooks().ResetProgress();
  EXPECT_EQ(BarPosition(dialog), 0);
  ExceptionLog::OnWebProgress(2, 200, 80);
  EXPECT_EQ(StatusText(dialog), "Sending message...");
  EXPECT_EQ(BarPosition(dialog), 40);
  SendHooks().SetProgress(30);
  EXPECT_EQ(BarPosition(dialog), 40);
  SendHooks().AddProgress(5);
  EXPECT_EQ(BarPosition(dialog), 45);
  ExceptionLog::SetSendStatus("plain");
  EXPECT_EQ(StatusText(dialog), "plain");

  // A customised text replaces the default one.
  options_->StoreText(116, "Uploading");
  SendHooks().Status(116, "Sending message...", false);
  EXPECT_EQ(StatusText(dialog), "Uploading");
  EXPECT_TRUE(ExceptionLog::SendDialogShown());
  CloseAndJoin(thread);
}

TEST_F(SendDialog, Placement) {
  RECT area{};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  // Centred: in front by the top-most style only when the options ask for it (else the
  // stay-in-front timer keeps it before the process's older windows); the corner never.
  struct Case {
    bool centred;
    std::uint16_t dialog_options;
  };
  for (const Case& c : {Case{true, 399 | 0x20}, Case{true, 399}, Case{false, 399 | 0x20}}) {
    const bool centred = c.centred;
    SCOPED_TRACE(centred ? "centred" : "corner");
    options_->FDialogOptions = c.dialog_options;
    const HANDLE thread = StartInThread(centred);
    const HWND dialog = SendDialogState().window;
    ASSERT_NE(dialog, nullptr);
    RECT r{};
    GetWindowRect(dialog, &r);
    const bool topmost = (GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (centred) {
      EXPECT_LE(std::abs((r.left + r.right) - (area.left + area.right)), 1);
      EXPECT_LE(std::abs((r.top + r.bottom) - (area.top + area.bottom)), 1);
      EXPECT_EQ(topmost, (c.dialog_options & 0x20) != 0);
    } else {
      EXPECT_EQ(r.right, area.right);
      EXPECT_EQ(r.bottom, area.bottom);
      EXPECT_FALSE(topmost);
    }
    CloseAndJoin(thread);
  }
}

TEST_F(SendDialog, NoDialogWithoutTheFlagOrAMode) {
  struct Case {
    const char* name;
    std::uint16_t flags;
    std::uint8_t mail_mode, web_mode;
  };
  for (const Case& c : {Case{"flag 0x01 clear", 0x80, 1, 1}, Case{"no mode", 0x01, 0, 0}}) {
    SCOPED_TRACE(c.name);
    options_->FSendFlags = c.flags;
    options_->FMailMode = c.mail_mode;
    options_->FWebMode = c.web_mode;
    ExceptionLog::SetSendDialogShown(false);
    ExceptionLog::StartSendDialog(true);
    EXPECT_EQ(SendDialogState().window, nullptr);
    EXPECT_TRUE(ExceptionLog::SendDialogShown());
    // The driving operations do nothing.
    ExceptionLog::SetSendProgress(50);
    ExceptionLog::SetSendPhase(114, "Connecting with server...", true);
    ExceptionLog::CloseSendDialog();
    EXPECT_EQ(SendDialogState().progress_position, 0);
  }
}

TEST_F(SendDialog, ModelessInTheRaisingThread) {
  ExceptionLog::SetProcessingInRaisingThread(true);
  ExceptionLog::StartSendDialog(false);
  const HWND dialog = SendDialogState().window;
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(GetWindowThreadProcessId(dialog, nullptr), GetCurrentThreadId());
  EXPECT_TRUE(SendDialogState().focused);
  SendHooks().SetProgress(60);
  EXPECT_EQ(BarPosition(dialog), 60);
  SendHooks().Status(115, "Connected with server.", false);
  EXPECT_EQ(StatusText(dialog), "Connected with server.");
  SendHooks().CloseDialog();
  SendHooks().DestroyModelessDialog();
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(SendDialogState().window, nullptr);
}

}  // namespace
