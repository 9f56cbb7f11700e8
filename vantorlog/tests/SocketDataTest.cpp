// DNS messages and SMTP reply codes of the socket layer. Every reply is written here byte by
// byte after RFC 1035 (header, question, resource records, compression pointers).
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "VSocketData.h"

namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// Header of a reply to the library's query: id "AA", response + recursion desired/available.
std::string Header(int answers, int authority = 0) {
  return B({0x41, 0x41, 0x81, 0x80, 0, 1, 0, answers, 0, authority, 0, 0});
}
// example.com, at offset 12 of every reply below.
const std::string kQuestion = B({7}) + "example" + B({3}) + "com" + B({0, 0, 0x0F, 0, 1});
// An answer owned by the question's name (pointer to 12), type MX, class IN, TTL 3600.
std::string MxAnswer(int preference, const std::string& exchange) {
  const int length = static_cast<int>(exchange.size()) + 2;
  return B({0xC0, 0x0C, 0, 0x0F, 0, 1, 0, 0, 0x0E, 0x10, length >> 8, length & 0xFF,
            preference >> 8, preference & 0xFF}) +
         exchange;
}
const std::string kMailCompressed = B({4}) + "mail" + B({0xC0, 0x0C});

TEST(DnsQueryTest, QueryBytesFollowTheWireLayout) {
  const std::string example = B({0x41, 0x41, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 2}) + "mx" +
                              B({7}) + "example" + B({3}) + "com" + B({0, 0, 0x0F, 0, 1});
  const std::string label63(63, 'a');
  const std::string long_name = label63 + "." + label63 + "." + label63 + "." + label63;
  const struct {
    std::string domain;
    std::string query;
  } cases[] = {
      {"mx.example.com", example},
      {"mx.example.com.", example},  // a fully qualified name: same question
      {"x", B({0x41, 0x41, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 0x0F, 0, 1})},
      {label63,
       B({0x41, 0x41, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 63}) + label63 + B({0, 0, 0x0F, 0, 1})},
      {"", ""},
      {".", ""},
      {"a..b", ""},
      {".a", ""},
      {label63 + "a.com", ""},  // 64-byte label: a length byte cannot say it
      {long_name, ""},          // 257 bytes on the wire
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain);
    EXPECT_EQ(VSockets::BuildMxQuery(c.domain), c.query);
  }
  // 253 characters, 255 bytes on the wire: the longest name.
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  EXPECT_EQ(VSockets::BuildMxQuery(longest).size(), 12u + 255u + 4u);
}

TEST(DnsQueryTest, DomainIsTheTextAfterTheFirstAt) {
  const struct {
    const char* address;
    const char* domain;
  } cases[] = {{"user@example.com", "example.com"},
               {"example.com", "example.com"},
               {"a@b@c.org", "b@c.org"},
               {"user@", ""},
               {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(VSockets::DomainOfAddress(c.address), c.domain);
}

TEST(DnsReplyTest, ExchangeOfWellFormedReplies) {
  const std::string full_name = B({4}) + "mail" + B({5}) + "other" + B({3}) + "net" + B({0});
  // RDATA without a preference: read from the preference position itself.
  const std::string bare = B({0xC0, 0x0C, 0, 0x0F, 0, 1, 0, 0, 0, 60, 0, 16}) + B({4}) + "mail" +
                           B({5}) + "other" + B({3}) + "net" + B({0});
  const struct {
    const char* what;
    std::string reply;
    std::string host;
  } cases[] = {
      {"compressed", Header(1) + kQuestion + MxAnswer(10, kMailCompressed), "mail.example.com"},
      {"plain", Header(1) + kQuestion + MxAnswer(5, full_name), "mail.other.net"},
      {"first answer wins over a better preference",
       Header(2) + kQuestion + MxAnswer(20, B({6}) + "backup" + B({0xC0, 0x0C})) +
           MxAnswer(10, B({7}) + "primary" + B({0xC0, 0x0C})),
       "backup.example.com"},
      {"an unreadable first exchange is skipped",
       Header(2) + kQuestion + MxAnswer(20, B({0xFF, 0xFF})) +
           MxAnswer(10, B({3}) + "one" + B({0xC0, 0x0C})),
       "one.example.com"},
      {"no preference", Header(1) + kQuestion + bare, "mail.other.net"},
      {"only the counted answers", Header(0) + kQuestion + MxAnswer(10, kMailCompressed), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(VSockets::ParseMxReply(c.reply), c.host);
  }
}

TEST(DnsReplyTest, MalformedRepliesGiveNoHost) {
  // Authority section of a "no such domain" reply: its SOA must not pass for an exchange.
  const std::string soa = B({0xC0, 0x0C, 0, 6, 0, 1, 0, 0, 0, 60, 0, 22}) + B({3}) + "ns1" +
                          B({0xC0, 0x0C}) + B({0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4});
  const struct {
    const char* what;
    std::string reply;
  } cases[] = {
      {"empty", ""},
      {"header only, cut", Header(1).substr(0, 11)},
      {"header only", Header(1)},
      {"no answer, SOA in authority",
       B({0x41, 0x41, 0x81, 0x83, 0, 1, 0, 0, 0, 1, 0, 0}) + kQuestion + soa},
      // The exchange lies at offset 43 (0x2B).
      {"pointer to itself", Header(1) + kQuestion + MxAnswer(10, B({0xC0, 0x2B}))},
      {"label then pointer back to it",
       Header(1) + kQuestion + MxAnswer(10, B({1}) + "a" + B({0xC0, 0x2B}))},
      {"forward pointer", Header(1) + kQuestion + MxAnswer(10, B({0xC0, 0x2D, 0xC0, 0x2B}))},
      {"pointer past the end", Header(1) + kQuestion + MxAnswer(10, B({0xC3, 0xFF}))},
      {"label past the end", Header(1) + kQuestion + MxAnswer(10, B({60}) + "mail")},
      {"record length past the end",
       Header(1) + kQuestion + B({0xC0, 0x0C, 0, 0x0F, 0, 1, 0, 0, 0, 60, 0xFF, 0xFF, 0, 10})},
      {"many answers counted, none there", Header(255) + kQuestion},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(VSockets::ParseMxReply(c.reply), "");
  }
}

TEST(DnsReplyTest, TruncationAtEveryByteGivesNoHost) {
  const std::string reply = Header(1) + kQuestion + MxAnswer(10, kMailCompressed);
  ASSERT_EQ(VSockets::ParseMxReply(reply), "mail.example.com");
  for (std::size_t n = 0; n < reply.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(VSockets::ParseMxReply(reply.substr(0, n)), "");
  }
}

TEST(DnsReplyTest, NamesAndThePositionAfterThem) {
  // 1-based positions: the question's name at 13, an answer's exchange after it.
  const std::string reply = Header(1) + kQuestion + MxAnswer(10, kMailCompressed);
  std::size_t pos = 13;
  EXPECT_EQ(VSockets::ReadReplyName(reply, pos), "example.com");
  EXPECT_EQ(pos, 26u);  // past the root byte
  pos = 13 + 17;        // the answer's owner: one pointer
  EXPECT_EQ(VSockets::ReadReplyName(reply, pos), "example.com");
  EXPECT_EQ(pos, 32u);  // past the pointer's second byte
  pos = 13 + 17 + 14;   // the exchange: a label, then a pointer
  EXPECT_EQ(VSockets::ReadReplyName(reply, pos), "mail.example.com");
  EXPECT_EQ(pos, reply.size() + 1);
  for (std::size_t bad : {std::size_t{0}, reply.size() + 1, reply.size() + 100}) {
    pos = bad;
    EXPECT_EQ(VSockets::ReadReplyName(reply, pos), "");
  }
  // Two pointers to each other (offsets 29 and 31), entered at either.
  const std::string loop = Header(0) + kQuestion + B({0xC0, 31, 0xC0, 29});
  for (std::size_t start : {30, 32}) {
    pos = start;
    EXPECT_EQ(VSockets::ReadReplyName(loop, pos), "") << start;
  }
  // 300 one-byte labels: longer than any name.
  std::string many;
  for (int i = 0; i < 300; ++i) many += B({1, 'z'});
  many += B({0});
  pos = 1;
  EXPECT_EQ(VSockets::ReadReplyName(many, pos), "");
}

TEST(SmtpReplyTest, CodeFromTheLeadingDigits) {
  const struct {
    const char* reply;
    int code;
  } cases[] = {{"250 ok\r\n", 250},
               {"250-first\r\n250 second\r\n", 250},
               {"354End data", 354},
               {"2", 2},
               {"hello 250", -1},
               {" 250", -1},
               {"", -1},
               {"1234567890 too many digits", -1}};
  for (const auto& c : cases) EXPECT_EQ(VSockets::ReplyCode(c.reply), c.code) << c.reply;
  EXPECT_TRUE(VSockets::ReplyAccepted("251 forwarding\r\n", {250, 251}));
  EXPECT_FALSE(VSockets::ReplyAccepted("252 maybe\r\n", {250, 251}));
  EXPECT_FALSE(VSockets::ReplyAccepted("ok\r\n", {250}));
  EXPECT_FALSE(VSockets::ReplyAccepted("250 ok\r\n", {}));
}

TEST(SocketTextTest, ErrorTextCarriesTheLogOnce) {
  EXPECT_EQ(VSockets::ErrorText("Socket timeout.", "Connected to 1.2.3.4 port 25\r\n"),
            "Socket timeout.\r\nSocket log:\r\nConnected to 1.2.3.4 port 25\r\n");
  EXPECT_EQ(VSockets::ErrorText("C\r\n220 hi\r\n", "220 hi\r\n"), "C\r\n220 hi\r\n");
  EXPECT_EQ(VSockets::ErrorText("Socket timeout.", ""), "Socket timeout.");
}

TEST(SocketTextTest, LookupTriesWaitLongerEachTime) {
  // The SMTP sender's 30000 ms: 10050, 10150 and 10250 ms.
  EXPECT_EQ(VSockets::LookupTryTimeout(30000, 0), 10050);
  EXPECT_EQ(VSockets::LookupTryTimeout(30000, 1), 10150);
  EXPECT_EQ(VSockets::LookupTryTimeout(30000, 2), 10250);
  EXPECT_EQ(VSockets::LookupTryTimeout(0, 0), 50);
}

TEST(SocketTextTest, DnsServersSkipEmptyAndZeroAddresses) {
  using V = std::vector<std::string>;
  EXPECT_EQ(VSockets::DnsServerList({" 10.0.0.1 ", "0.0.0.0", "", " 0.0.0.0 ", "10.0.0.2"}),
            (V{"10.0.0.1", "10.0.0.2", VSockets::kFallbackDnsServer}));
  EXPECT_EQ(VSockets::DnsServerList({"0.0.0.0"}), (V{VSockets::kFallbackDnsServer}));
  EXPECT_EQ(VSockets::DnsServerList({}), (V{VSockets::kFallbackDnsServer}));
}

}  // namespace
