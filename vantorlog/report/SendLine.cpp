#include "SendLine.h"

#include <exception>

#include "SysUtils.h"

namespace ExceptionLog {

namespace {

// The message of the exception being handled.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "General error.";
  }
}

}  // namespace

bool RunSendChannel(bool email, const TSendLineOps& ops) {
  const int before = email ? kActionBeforeEMail : kActionBeforeWeb;
  const int after = email ? kActionAfterEMail : kActionAfterWeb;
  const int error = email ? kErrorEMailFailed : kErrorWebFailed;
  bool flag = true;
  if (ops.action_event) ops.action_event(before, flag);
  if (!flag) return false;
  const std::function<bool()>& attempt = email ? ops.email_attempt : ops.web_attempt;
  bool sent = false;
  bool retry = false;
  do {
    sent = false;
    // A failure that raises is one failed attempt, as one that returns false.
    try {
      sent = attempt && attempt();
    } catch (...) {
      sent = false;
      if (ops.attempt_raised) ops.attempt_raised(email, CurrentMessage());
    }
    retry = false;
    if (!sent && ops.error_event) ops.error_event(error, retry);
  } while (retry);
  bool result = sent;
  if (ops.action_event) ops.action_event(after, result);
  return sent;
}

bool RunSendLine(const TSendLineSettings& settings, const TSendLineOps& ops) {
  struct TCleanup {
    const TSendLineOps& ops;
    ~TCleanup() {
      if (!ops.delete_temporaries) return;
      try {
        ops.delete_temporaries();
      } catch (...) {
      }
    }
  } cleanup{ops};
  if (ops.write_companions) ops.write_companions();
  bool ok = true;
  if (settings.mail_mode != 0) {
    if (ops.collect_files) ops.collect_files(true);
    ok = RunSendChannel(true, ops);
  }
  if (settings.web_mode != 0) {
    if ((settings.mail_mode == 0 || settings.append_to_log) && ops.collect_files)
      ops.collect_files(false);
    // The web is tried also after a failed e-mail; the result is both.
    ok = RunSendChannel(false, ops) && ok;
  }
  if (!ok && (settings.behaviour_flags & 0x10) && ops.copy_report_to_clipboard)
    ops.copy_report_to_clipboard();
  if ((settings.send_flags & 0x02) && !(ops.closed_bug_shown && ops.closed_bug_shown()) &&
      ops.result_box)
    ops.result_box(ok);
  if (!ok && (settings.behaviour_flags & 0x20) && ops.keep_archive) ops.keep_archive();
  return ok;
}

}  // namespace ExceptionLog
