// Message texts of the socket layer, without system calls: the DNS MX query and the parsing of
// its reply, SMTP reply codes, the error text with the conversation log and the DNS server list.
// A reply from the network is untrusted: every read is bounded, compression pointers cannot
// loop, and a malformed reply gives no host.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace VSockets {

// Asked after the system's DNS servers.
inline constexpr char kFallbackDnsServer[] = "8.8.8.8";
inline constexpr int kDnsPort = 53;

// The domain of an e-mail address: the text after the first "@", the whole text without one.
std::string DomainOfAddress(std::string_view address);

// The MX query for a domain (identifier "AA", recursion desired, one question of type MX,
// class IN). A trailing dot is allowed; an empty domain, an empty label, a label over 63 bytes
// or a name over 255 bytes cannot be asked: the result is empty.
std::string BuildMxQuery(std::string_view domain);

// Reads a name at the 1-based position pos of a reply, following compression pointers, and
// moves pos past the name (past the first pointer when one was followed). The name's labels are
// joined with "."; a name that runs past the reply, a pointer that does not lead back before
// the part of the name already read, or a name over 255 bytes gives "".
std::string ReadReplyName(std::string_view reply, std::size_t& pos);

// The mail exchanger of an MX reply: the first of its answers whose exchange name can be read
// (preferences are not compared) among the answers the header counts; "" when there is none
// or the reply is cut short inside a record.
std::string ParseMxReply(std::string_view reply);

// Time a lookup try waits for its reply: the base (timeout + 150) div 3, plus 100 ms per try.
inline int LookupTryTimeout(int timeout_ms, int attempt) {
  return attempt * 100 + (timeout_ms + 150) / 3;
}

// The number formed by the leading decimal digits of a reply; -1 without a leading digit (or
// with more digits than any code has).
int ReplyCode(std::string_view reply);
bool ReplyAccepted(std::string_view reply, const std::vector<int>& codes);

// An error's text: the log is appended under "Socket log:" unless the text already holds it.
std::string ErrorText(std::string_view text, std::string_view log);

// The servers to ask: the system's, trimmed, without empty texts and "0.0.0.0", then the
// fallback server.
std::vector<std::string> DnsServerList(const std::vector<std::string>& system_servers);

}  // namespace VSockets
