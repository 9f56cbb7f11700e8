// The send progress dialog (template VL_SERVER): the phase of the transfer and a progress bar,
// in a thread of its own or modeless in the raising thread. The senders drive it through
// SendHooks(), which StartSendDialog points at it.
#pragma once

#include <windows.h>

#include <string>

#include "Thread.h"

namespace ExceptionLog {

inline constexpr char kSendDialogTemplate[] = "VL_Server";
inline constexpr int kSendStatusId = 100;
inline constexpr int kSendProgressId = 101;
inline constexpr UINT kCloseSendDialogMessage = WM_USER + 1234;

// Module-wide state, zeroed as one block when a send dialog is started. The sending thread and
// the dialog's thread share it without a lock; the sender talks to the window by SendMessageA.
struct TSendDialogState {
  HWND window;
  int current_number;
  int total_number;
  int progress_position;
  volatile bool focused;
  DWORD thread_id;  // the dialog's thread (0 in place)
};
TSendDialogState& SendDialogState();

// Set by the window's first paint; cleared while ShowSendDialog runs and when it returns. Also
// set when StartSendDialog shows no dialog.
bool SendDialogShown();
void SetSendDialogShown(bool shown);

// Set while the exception is processed in the raising thread: the dialog is modeless there.
void SetProcessingInRaisingThread(bool in_place);
bool ProcessingInRaisingThread();

class TSendDialogThread : public TThread {
 public:
  explicit TSendDialogThread(bool placement);

 protected:
  void Execute() override;

 private:
  bool placement_;
};

// placement true: centred and kept in front; false: in the work area's bottom-right corner.
// Without send flag 0x01, without a mail or web mode, or outside a GUI program: no dialog.
// Returns once the dialog has the focus (or could not be shown).
void StartSendDialog(bool placement);
void ShowSendDialog(bool placement);
INT_PTR CALLBACK SendDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The driving operations; each does nothing while the dialog window is null and pumps the
// calling thread's messages before and after.
void SetSendStatus(const std::string& text);  // plain text
void SetSendPhase(int text_id, const std::string& default_text, bool counted);
void SetSendProgress(int position);  // never below the last position
void AddSendProgress(int delta);
void ResetSendProgress();
void CloseSendDialog();
// Points SendHooks() at the driving operations.
void InstallSendDialogHooks();

}  // namespace ExceptionLog
