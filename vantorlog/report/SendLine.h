// The order of the send line, without system calls: the channels with their events and retry
// loops, the result box, the clipboard, the kept archive and the removal of the temporary
// files. The Win32 side (SendSequence.cpp) supplies the operations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ExceptionLog {

// Codes of the ExceptionActionNotify and ExceptionErrorNotify events of the send line (plain
// numbers of the events, not library warning codes).
inline constexpr int kActionBeforeEMail = 4;
inline constexpr int kActionAfterEMail = 5;
inline constexpr int kActionBeforeWeb = 6;
inline constexpr int kActionAfterWeb = 7;
inline constexpr int kErrorEMailFailed = 5;
inline constexpr int kErrorWebFailed = 7;

struct TSendLineSettings {
  std::uint8_t mail_mode = 0;  // FMailMode
  std::uint8_t web_mode = 0;   // FWebMode
  bool append_to_log = false;  // FAppendToLog
  std::uint16_t send_flags = 0;
  std::uint16_t behaviour_flags = 0;
};

// Every operation may raise (the Win32 ones can); unset ones do nothing.
struct TSendLineOps {
  std::function<void()> write_companions;  // the report copy, the last page, the XML copy
  std::function<void(bool email)> collect_files;
  std::function<void(int action, bool& flag)> action_event;
  std::function<void(int error, bool& retry)> error_event;
  // One attempt of a channel; true when it sent.
  std::function<bool()> email_attempt;
  std::function<bool()> web_attempt;
  // What an attempt raised: the channel's warning.
  std::function<void(bool email, const std::string& message)> attempt_raised;
  std::function<void()> copy_report_to_clipboard;
  std::function<bool()> closed_bug_shown;  // a tracker already told the user
  std::function<void(bool sent)> result_box;
  std::function<void()> keep_archive;
  // Runs last, also when a step raised.
  std::function<void()> delete_temporaries;
};

// One channel: the before event (a handler may skip it), attempts until the error event asks
// for no retry, the after event. True when the last attempt sent.
bool RunSendChannel(bool email, const TSendLineOps& ops);
// The whole line; true when every configured channel sent. The e-mail goes first; the web
// reuses its archive unless the report text is appended to the mail.
bool RunSendLine(const TSendLineSettings& settings, const TSendLineOps& ops);

}  // namespace ExceptionLog
