// The socket layer against real peers on 127.0.0.1: scripted line servers that check what the
// client sends and answer with chosen replies, and DNS responders that build their replies
// with Python's struct (peers/socket_peers.py, which runs this program).
#include <gtest/gtest.h>
#include <windows.h>
#include <winsock.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "VSockets.h"
#include "peer_control.h"

namespace {

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buffer[8];
      wsprintfA(buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
std::string Send(const std::string& text) { return "{\"send\":" + Json(text) + "}"; }
std::string Expect(const std::string& line) { return "{\"expect\":" + Json(line) + "}"; }
std::string Read(int n) { return "{\"read\":" + std::to_string(n) + "}"; }
std::string Pause(double s) { return "{\"sleep\":" + std::to_string(s) + "}"; }
std::string Hold(double s) { return "{\"hold\":" + std::to_string(s) + "}"; }
std::string Flood(double s) { return "{\"flood\":" + std::to_string(s) + "}"; }
std::string Drip(double s, double gap) {
  return "{\"drip\":[" + std::to_string(s) + "," + std::to_string(gap) + "]}";
}
std::string CloseNow() { return "{\"close\":true}"; }
std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::vector<std::string> SplitAt(const std::string& text, char c) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(c, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

struct PeerReport {
  int mismatches = -1;
  std::string received;
  std::vector<std::string> queries;  // hex
  std::string mismatch_text;
};

// The requests to the peer process (socket_peers.py) on its control connection.
class Peers : public PeerControl {
 public:
  Peers() : PeerControl("VL_SOCKET_PEERS") {}

  std::uint16_t Tcp(const std::vector<std::string>& script) {
    return static_cast<std::uint16_t>(
        std::stoi(Request("{\"op\":\"tcp\",\"script\":" + List(script) + "}")));
  }
  std::uint16_t Udp(const std::vector<std::string>& replies) {
    return static_cast<std::uint16_t>(
        std::stoi(Request("{\"op\":\"udp\",\"replies\":" + List(replies) + "}")));
  }
  std::uint16_t ClosedPort() {
    return static_cast<std::uint16_t>(std::stoi(Request("{\"op\":\"closed\"}")));
  }
  PeerReport Report(std::uint16_t port) {
    const auto fields =
        SplitAt(Request("{\"op\":\"report\",\"port\":" + std::to_string(port) + "}"), '\t');
    PeerReport r;
    if (fields.size() != 4) return r;
    r.mismatches = std::stoi(fields[0]);
    r.received = FromHex(fields[1]);
    if (!fields[2].empty()) r.queries = SplitAt(fields[2], ',');
    r.mismatch_text = fields[3];
    return r;
  }
};

class SocketPeersTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(peers.Ready()) << "run through peers/socket_peers.py"; }
  std::string ConnectedLine(std::uint16_t port) {
    return "Connected to 127.0.0.1 port " + std::to_string(port) + "\r\n";
  }
  Peers peers;
};

// The error text of a call, and whether it was the socket error.
template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const EVantorSocketError& e) {
    return e.Message();
  }
  return "(no error)";
}

using SmtpClientTest = SocketPeersTest;

TEST_F(SmtpClientTest, ConversationIsLoggedAndAcceptedCodesPass) {
  const std::uint16_t port = peers.Tcp(
      {Send("220 ready\r\n"), Expect("HELO host\r\n"), Send("250 hello\r\n"), Expect("RSET\r\n"),
       Send("250 reset\r\n"), Expect("RCPT TO:<a@b.org>\r\n"), Send("251 forwarded\r\n"),
       Expect("EHLO host\r\n"), Send("250-first\r\n"), Pause(0.3), Send("250 last\r\n")});
  {
    TVantorClientSMTP smtp("127.0.0.1", 5000, true, port);
    smtp.Connect();
    EXPECT_TRUE(smtp.Connected());
    EXPECT_FALSE(smtp.SendCommand("", {250}));  // nothing goes out
    EXPECT_TRUE(smtp.SendCommand("HELO host", {250}));
    EXPECT_TRUE(smtp.SendCommand("RSET\r\n", {250}));  // its CR LF is not doubled
    EXPECT_TRUE(smtp.SendCommand("RCPT TO:<a@b.org>", {250, 251}));
    // A multi-line reply in two pieces: the first line's code counts, both lines are read.
    EXPECT_TRUE(smtp.SendCommand("EHLO host", {250}));
    EXPECT_EQ(smtp.Log(), ConnectedLine(port) +
                              "220 ready\r\nHELO host\r\n250 hello\r\nRSET\r\n250 reset\r\n"
                              "RCPT TO:<a@b.org>\r\n251 forwarded\r\nEHLO host\r\n"
                              "250-first\r\n250 last\r\n");
  }
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.mismatch_text;
  EXPECT_EQ(r.received, "HELO host\r\nRSET\r\nRCPT TO:<a@b.org>\r\nEHLO host\r\n");
}

TEST_F(SmtpClientTest, RefusedRepliesRaiseWithTheLog) {
  const struct {
    const char* what;
    std::string greeting;
    std::string reply;
    std::vector<int> codes;
  } cases[] = {
      {"wrong code", "220 ready\r\n", "550 no such user\r\n", {250}},
      {"reply starting with a letter", "220 ready\r\n", "ok 250\r\n", {250}},
      {"250 not among the codes", "220 ready\r\n", "250 ok\r\n", {354}},
      {"greeting not 220", "554 go away\r\n", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> script{Send(c.greeting)};
    if (!c.reply.empty())
      script.insert(script.end(), {Expect("MAIL FROM:<x@y>\r\n"), Send(c.reply)});
    const std::uint16_t port = peers.Tcp(script);
    TVantorClientSMTP smtp("127.0.0.1", 5000, true, port);
    std::string expected = ConnectedLine(port) + c.greeting;
    std::string error;
    if (c.reply.empty()) {
      error = ErrorOf([&] { smtp.Connect(); });
    } else {
      smtp.Connect();
      error = ErrorOf([&] { smtp.SendCommand("MAIL FROM:<x@y>", c.codes); });
      expected += "MAIL FROM:<x@y>\r\n" + c.reply;
    }
    // The whole conversation is the message, once.
    EXPECT_EQ(error, expected);
  }
}

TEST_F(SmtpClientTest, SilentOrClosingServersEndInAnErrorNotAHang) {
  const std::uint16_t silent = peers.Tcp({Hold(8)});
  {
    TVantorClientSMTP smtp("127.0.0.1", 700, true, silent);
    const DWORD start = GetTickCount();
    EXPECT_EQ(ErrorOf([&] { smtp.Connect(); }),
              "Socket timeout.\r\nSocket log:\r\n" + ConnectedLine(silent));
    EXPECT_GE(GetTickCount() - start, 690u);  // the timeout fired, not something earlier
  }
  const std::uint16_t mute = peers.Tcp({Send("220 ready\r\n"), Expect("HELO host\r\n"), Hold(8)});
  {
    TVantorClientSMTP smtp("127.0.0.1", 700, true, mute);
    smtp.Connect();
    EXPECT_EQ(
        ErrorOf([&] { smtp.SendCommand("HELO host", {250}); }),
        "Socket timeout.\r\nSocket log:\r\n" + ConnectedLine(mute) + "220 ready\r\nHELO host\r\n");
  }
  // Closing before the greeting, and right after it.
  const std::uint16_t gone = peers.Tcp({CloseNow()});
  {
    TVantorClientSMTP smtp("127.0.0.1", 700, true, gone);
    EXPECT_EQ(ErrorOf([&] { smtp.Connect(); }),
              "Socket timeout.\r\nSocket log:\r\n" + ConnectedLine(gone));
  }
  const std::uint16_t early = peers.Tcp({Send("220 ready\r\n"), CloseNow()});
  {
    TVantorClientSMTP smtp("127.0.0.1", 700, true, early);
    smtp.Connect();
    Sleep(200);
    const std::string error = ErrorOf([&] {
      smtp.SendCommand("HELO host", {250});
      smtp.SendCommand("RSET", {250});
    });
    // Either the send fails or no reply comes; the conversation so far is in the text.
    EXPECT_NE(error, "(no error)");
    EXPECT_NE(error.find(ConnectedLine(early) + "220 ready\r\n"), std::string::npos) << error;
  }
}

TEST_F(SmtpClientTest, EndlessPeersEndTheReadAndBlockedSendsFail) {
  // A server that never stops sending: one read ends after the timeout, at most a mebibyte.
  const std::uint16_t flood = peers.Tcp({Flood(30)});
  {
    TVantorClientSocket client("127.0.0.1", 1000, true, flood);
    client.Connect();
    const std::string text = client.ReceiveOrFail();
    EXPECT_FALSE(text.empty());
    EXPECT_LE(text.size(), TVantorClientSocket::kMaxReceive);
    EXPECT_EQ(text.find_first_not_of('f'), std::string::npos);
  }
  // One byte every 300 ms: still ends after the timeout.
  const std::uint16_t drip = peers.Tcp({Drip(30, 0.3)});
  {
    TVantorClientSocket client("127.0.0.1", 1000, true, drip);
    client.Connect();
    const std::string text = client.ReceiveWithin();
    EXPECT_GE(text.size(), 1u);
    EXPECT_LE(text.size(), 10u);
  }
  // A server that reads nothing: the send fails after the timeout instead of blocking.
  const std::uint16_t deaf = peers.Tcp({Send("220 ready\r\n"), Pause(30)});
  {
    TVantorClientSMTP smtp("127.0.0.1", 1000, true, deaf);
    smtp.Connect();
    const std::string big(64 << 20, 'b');
    const std::string error = ErrorOf([&] { EXPECT_LT(smtp.SendText(big), 64 << 20); });
    EXPECT_EQ(error.rfind("Error into \"send\": \"", 0), 0u) << error.substr(0, 200);
    EXPECT_NE(error.find(ConnectedLine(deaf) + "220 ready\r\n"), std::string::npos);
    EXPECT_FALSE(smtp.Connected());
  }
}

TEST_F(SmtpClientTest, RefusedConnectionRaisesConnectionError) {
  TVantorClientSMTP smtp("127.0.0.1", 700, true, peers.ClosedPort());
  const std::string error = ErrorOf([&] { smtp.Connect(); });
  EXPECT_EQ(error.rfind("Connection error: \"", 0), 0u) << error;
  EXPECT_FALSE(smtp.Connected());
}

TEST_F(SmtpClientTest, OnErrorSeesTheErrorFirstAndQuietErrorsAbort) {
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet);
    const std::uint16_t port =
        peers.Tcp({Send("220 ready\r\n"), Expect("HELO host\r\n"), Send("500 what\r\n")});
    TVantorClientSMTP smtp("127.0.0.1", 5000, true, port);
    std::vector<std::pair<int, std::string>> seen;
    smtp.OnError = [&](TVantorClientSocket& sender, int code, const std::string& text) {
      EXPECT_EQ(&sender, &smtp);
      seen.emplace_back(code, text);
    };
    smtp.QuietErrors = quiet;
    smtp.Connect();
    std::string kind;
    try {
      smtp.SendCommand("HELO host", {250});
    } catch (const EVantorSocketError& e) {
      kind = "socket error: " + e.Message();
    } catch (const EAbort&) {
      kind = "abort";
    }
    const std::string text = ConnectedLine(port) + "220 ready\r\nHELO host\r\n500 what\r\n";
    EXPECT_EQ(kind, quiet ? "abort" : "socket error: " + text);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, -1);
    EXPECT_EQ(seen[0].second, text);
  }
}

TEST_F(SmtpClientTest, TextGoesOutInChunksWithProgress) {
  std::string text;
  for (int i = 0; i < 2500; ++i) text += static_cast<char>('a' + i % 26);
  const std::uint16_t port = peers.Tcp({Send("220 ready\r\n"), Read(2500)});
  {
    TVantorClientSMTP smtp("127.0.0.1", 5000, true, port);
    std::vector<std::pair<int, int>> progress;
    smtp.OnSent = [&](TVantorClientSocket&, int sent, int total) {
      progress.emplace_back(sent, total);
    };
    smtp.Connect();
    EXPECT_EQ(smtp.SendText(text), 2500);
    EXPECT_EQ(progress,
              (std::vector<std::pair<int, int>>{{1024, 2500}, {2048, 2500}, {2500, 2500}}));
    EXPECT_EQ(smtp.Log(), ConnectedLine(port) + "220 ready\r\n");  // raw sends are not logged
  }
  const PeerReport r = peers.Report(port);
  EXPECT_EQ(r.mismatches, 0) << r.mismatch_text;
  EXPECT_EQ(r.received, text);
}

TEST_F(SmtpClientTest, CloseClearsTheStateAndAClosedSocketCannotCloseAgain) {
  const std::uint16_t port = peers.Tcp({Send("220 ready\r\n")});
  TVantorClientSMTP smtp("127.0.0.1", 5000, true, port);
  EXPECT_EQ(smtp.SendText("unsent"), 0);  // not connected: nothing goes out
  smtp.Connect();
  smtp.Close();
  EXPECT_FALSE(smtp.Connected());
  EXPECT_EQ(smtp.Handle(), INVALID_SOCKET);
  EXPECT_EQ(smtp.Log(), "");
  EXPECT_EQ(smtp.Address().sin_family, AF_INET);
  EXPECT_EQ(smtp.Address().sin_port, 0);
  const std::string error = ErrorOf([&] { smtp.Close(); });
  EXPECT_EQ(error.rfind("Cannot close the socket: \"", 0), 0u) << error;
}

using LookupMxTest = SocketPeersTest;

// The query for example.com, by hand: "AA", RD, one question, example.com, MX, IN.
const char kExampleComQuery[] = "414101000001000000000000076578616d706c6503636f6d00000f0001";

TEST_F(LookupMxTest, FirstAnswerOfTheFirstServerThatAnswers) {
  const std::uint16_t answers =
      peers.Udp({"{\"mx\":[[20,\"backup.example.com\"],[10,\"mail.example.com\"]],"
                 "\"compress\":true}"});
  EXPECT_EQ(VSockets::LookupMX("user@example.com", 300, {{"127.0.0.1", answers}}),
            "backup.example.com");
  EXPECT_EQ(peers.Report(answers).queries, std::vector<std::string>{kExampleComQuery});

  // A silent server is asked three times, then the next one.
  const std::uint16_t silent = peers.Udp({"{\"silent\":true}"});
  const std::uint16_t plain = peers.Udp({"{\"mx\":[[5,\"mx.other.net\"]]}"});
  const DWORD start = GetTickCount();
  EXPECT_EQ(VSockets::LookupMX("example.com", 150, {{"127.0.0.1", silent}, {"127.0.0.1", plain}}),
            "mx.other.net");
  EXPECT_GE(GetTickCount() - start, 590u);  // the silent tries waited 100, 200 and 300 ms
  EXPECT_EQ(peers.Report(silent).queries, std::vector<std::string>(3, kExampleComQuery));
  EXPECT_EQ(peers.Report(plain).queries, std::vector<std::string>{kExampleComQuery});
}

TEST_F(LookupMxTest, NoUsableAnswerFromAnyServerRaises) {
  // No answer records ("no such domain"), a cut header, and silence.
  const std::uint16_t none =
      peers.Udp({"{\"raw\":\"414181830001000000000000076578616d706c6503636f6d00000f0001\"}"});
  const std::uint16_t cut = peers.Udp({"{\"raw\":\"41418180\"}"});
  const std::uint16_t silent = peers.Udp({"{\"silent\":true}"});
  EXPECT_EQ(ErrorOf([&] {
              VSockets::LookupMX("someone@example.com", 150,
                                 {{"127.0.0.1", none}, {"127.0.0.1", cut}, {"127.0.0.1", silent}});
            }),
            "Cannot resolve the \"example.com\" MX record.");
  for (const std::uint16_t port : {none, cut, silent})
    EXPECT_EQ(peers.Report(port).queries.size(), 3u) << port;
}

TEST_F(LookupMxTest, ADomainThatCannotBeAskedSendsNothing) {
  const std::uint16_t server = peers.Udp({"{\"mx\":[[5,\"mx.other.net\"]]}"});
  EXPECT_EQ(ErrorOf([&] {
              VSockets::LookupMX("user@a..b", 150, {{"127.0.0.1", server}});
            }),
            "Cannot resolve the \"a..b\" MX record.");
  EXPECT_TRUE(peers.Report(server).queries.empty());
}

TEST(DnsServersTest, SystemServersEndWithTheFallback) {
  // Reads the system's list only; nothing is sent to it.
  const std::vector<std::string> servers = VSockets::DnsServers();
  ASSERT_FALSE(servers.empty());
  EXPECT_EQ(servers.back(), VSockets::kFallbackDnsServer);
  for (const std::string& s : servers) {
    EXPECT_NE(s, "0.0.0.0");
    EXPECT_FALSE(s.empty());
  }
}

TEST(VSocketsUnitTest, WinSockStartsOnceAndStops) {
  const ExceptionLog::TUnitEntry unit = VSockets::UnitEntry();
  EXPECT_EQ(unit.name, "VSockets");
  unit.init();
  EXPECT_TRUE(VSockets::StartWinSock());
  unit.done();
  EXPECT_TRUE(VSockets::StartWinSock());  // a new start after the shut-down
}

}  // namespace
