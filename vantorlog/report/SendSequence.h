// The send line: the report's files packed into one archive and sent by e-mail and then to the
// web, with the notification events and their retries; the outcome box, the clipboard and the
// kept archive on failure; the temporary files removed; then the crash-rate rule and the user's
// terminate or restart choice. It runs in place in the processing, or (send flag 0x80) in a
// TSendThread once the processing has returned.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "SendLine.h"

namespace ExceptionLog {

// Result box texts (custom text ids) and styles.
inline constexpr int kSentText = 144;
inline constexpr int kNotSentText = 145;
inline constexpr UINT kSentBoxStyle = 0x242040;
inline constexpr UINT kNotSentBoxStyle = 0x242010;

// At most this many kept archives stay in the log folder.
inline constexpr std::size_t kMaxKeptZips = 10;

// Points the senders' hooks at the library: their warnings become the library warning, files
// are sent under the report file names, the custom web fields come from the
// CustomWebFieldsRequest event, and the send dialog shows the progress.
void InstallSendHooks();

// The processing line's send step: SendBugReport in place, or a TSendThread that runs it with
// the after-send steps once the processing lock is free.
void StartSending();
// True from the start of a send thread until it has ended (its after-send steps included).
bool SendThreadPending();

// The whole sequence; true when every configured channel sent.
bool SendBugReport();
// Builds the send-files list: the report's files, edited by the AttachedFilesRequest event,
// packed into the temporary "BugReport.zip", which the list then names alone.
void CollectSendFiles(bool email);
const std::vector<std::string>& SendFilesList();
bool SendEMail();
bool SendWeb();

// The temporary screenshot deleted; the crash-rate rule applied.
void AfterSending();
// The user's terminate choice of the dialog: restart (terminate action 2) or terminate.
void TerminateOrRestart();
// Orders terminate (1) or restart (2) when the library is active. While a send thread is
// pending the order waits for the end of its sending.
void ApplyCrashOperation(int code);

// The log folder + the report file name of "BugReport.zip"; a name that exists already gets a
// number, so a kept archive is never replaced.
std::string KeptZipFileName();
// Deletes the library's kept archives in the folder that sort first by name until 10 remain;
// the one just kept is never among them.
void PruneKeptZips(const std::string& folder, const std::string& just_kept = "");

// The result box (MessageBoxA without owner); tests replace it (nullptr: MessageBoxA).
using TSendBoxHook = int (*)(const char* text, const char* caption, UINT style);
void SetSendBoxHook(TSendBoxHook hook);

}  // namespace ExceptionLog
