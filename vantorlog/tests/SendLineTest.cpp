// The order of the send line with recording operations: which channel runs when, the events
// and retries around each attempt, the result of both, the box, the clipboard, the kept
// archive, and the removal of the temporary files whatever happens.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SendLine.h"
#include "SysUtils.h"

namespace {

using ExceptionLog::RunSendChannel;
using ExceptionLog::RunSendLine;
using ExceptionLog::TSendLineOps;
using ExceptionLog::TSendLineSettings;
using Trace = std::vector<std::string>;

// Attempt results: 'y' sent, 'n' not sent, 'x' raises; one letter per attempt.
struct Script {
  std::string email = "y", web = "y";
  int veto = -1;    // the action whose handler clears the flag
  int retries = 0;  // how many times the error handler asks for another attempt
  bool closed_bug = false;
  bool collect_raises = false;
};

TSendLineOps Recorder(Trace& t, Script& s) {
  TSendLineOps ops;
  ops.write_companions = [&t] { t.push_back("companions"); };
  ops.collect_files = [&t, &s](bool email) {
    t.push_back(email ? "collect e-mail" : "collect web");
    if (s.collect_raises) throw std::runtime_error("disk full");
  };
  ops.action_event = [&t, &s](int action, bool& flag) {
    t.push_back("action " + std::to_string(action) + (flag ? " 1" : " 0"));
    if (action == s.veto) flag = false;
  };
  ops.error_event = [&t, &s](int error, bool& retry) {
    t.push_back("error " + std::to_string(error));
    retry = s.retries-- > 0;
  };
  const auto attempt = [&t](std::string& script, const char* name) {
    const char c = script.empty() ? 'n' : script[0];
    if (!script.empty()) script.erase(0, 1);
    t.push_back(std::string(name) + " " + c);
    if (c == 'x') throw Exception("connection refused");
    return c == 'y';
  };
  ops.email_attempt = [&s, attempt] { return attempt(s.email, "send e-mail"); };
  ops.web_attempt = [&s, attempt] { return attempt(s.web, "send web"); };
  ops.attempt_raised = [&t](bool email, const std::string& message) {
    t.push_back(std::string(email ? "warning e-mail " : "warning web ") + message);
  };
  ops.copy_report_to_clipboard = [&t] { t.push_back("clipboard"); };
  ops.closed_bug_shown = [&s] { return s.closed_bug; };
  ops.result_box = [&t](bool sent) { t.push_back(sent ? "box sent" : "box not sent"); };
  ops.keep_archive = [&t] { t.push_back("keep"); };
  ops.delete_temporaries = [&t] { t.push_back("delete"); };
  return ops;
}

TSendLineSettings Settings(int mail, int web, bool append, int send_flags, int behaviour) {
  TSendLineSettings s;
  s.mail_mode = static_cast<std::uint8_t>(mail);
  s.web_mode = static_cast<std::uint8_t>(web);
  s.append_to_log = append;
  s.send_flags = static_cast<std::uint16_t>(send_flags);
  s.behaviour_flags = static_cast<std::uint16_t>(behaviour);
  return s;
}

TEST(SendLineTest, ChannelsEventsAndOutcome) {
  const struct {
    const char* what;
    TSendLineSettings settings;
    Script script;
    bool sent;
    Trace trace;
  } cases[] = {
      {"both channels share the e-mail's archive",
       Settings(2, 1, false, 0x02, 0x30),
       {},
       true,
       {"companions", "collect e-mail", "action 4 1", "send e-mail y", "action 5 1", "action 6 1",
        "send web y", "action 7 1", "box sent", "delete"}},
      {"the report appended to the mail: the web packs its own",
       Settings(2, 1, true, 0, 0),
       {},
       true,
       {"companions", "collect e-mail", "action 4 1", "send e-mail y", "action 5 1", "collect web",
        "action 6 1", "send web y", "action 7 1", "delete"}},
      {"web only",
       Settings(0, 3, false, 0x02, 0),
       {},
       true,
       {"companions", "collect web", "action 6 1", "send web y", "action 7 1", "box sent",
        "delete"}},
      {"the e-mail fails, the web is still tried: failure",
       Settings(2, 1, false, 0x02, 0x30),
       {"n", "y"},
       false,
       {"companions", "collect e-mail", "action 4 1", "send e-mail n", "error 5", "action 5 0",
        "action 6 1", "send web y", "action 7 1", "clipboard", "box not sent", "keep", "delete"}},
      {"a handler skips the e-mail: no attempt, no after event, failure",
       Settings(1, 0, false, 0x02, 0x20),
       {"y", "y", 4},
       false,
       {"companions", "collect e-mail", "action 4 1", "box not sent", "keep", "delete"}},
      {"a raising attempt is a failed one with its warning",
       Settings(0, 6, false, 0x02, 0),
       {"y", "x"},
       false,
       {"companions", "collect web", "action 6 1", "send web x", "warning web connection refused",
        "error 7", "action 7 0", "box not sent", "delete"}},
      {"a closed bug was told already: no box",
       Settings(0, 6, false, 0x02, 0),
       {"y", "y", -1, 0, true},
       true,
       {"companions", "collect web", "action 6 1", "send web y", "action 7 1", "delete"}},
      {"nothing configured",
       Settings(0, 0, false, 0x02, 0x30),
       {},
       true,
       {"companions", "box sent", "delete"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Trace trace;
    Script script = c.script;
    EXPECT_EQ(RunSendLine(c.settings, Recorder(trace, script)), c.sent);
    EXPECT_EQ(trace, c.trace);
  }
}

TEST(SendLineTest, RetriesRunUntilTheHandlerStopsAsking) {
  Trace trace;
  Script script{"xny"};
  script.retries = 5;
  EXPECT_TRUE(RunSendChannel(true, Recorder(trace, script)));
  EXPECT_EQ(trace, (Trace{"action 4 1", "send e-mail x", "warning e-mail connection refused",
                          "error 5", "send e-mail n", "error 5", "send e-mail y", "action 5 1"}));
  // No retry asked: one attempt, the failure stands.
  trace.clear();
  script = Script{"ny"};
  EXPECT_FALSE(RunSendChannel(true, Recorder(trace, script)));
  EXPECT_EQ(trace, (Trace{"action 4 1", "send e-mail n", "error 5", "action 5 0"}));
}

TEST(SendLineTest, TemporaryFilesGoAlsoWhenAStepRaises) {
  Trace trace;
  Script script;
  script.collect_raises = true;
  EXPECT_THROW(RunSendLine(Settings(2, 1, false, 0x02, 0), Recorder(trace, script)),
               std::runtime_error);
  EXPECT_EQ(trace, (Trace{"companions", "collect e-mail", "delete"}));
}

}  // namespace
