#include "VSocketData.h"

#include "VTextUtils.h"

namespace VSockets {

namespace {

constexpr std::size_t kMaxNameLength = 255;

unsigned ByteAt(std::string_view text, std::size_t pos) {  // 1-based, pos <= size
  return static_cast<unsigned char>(text[pos - 1]);
}

}  // namespace

std::string DomainOfAddress(std::string_view address) {
  const std::size_t at = address.find('@');
  return std::string(at == std::string_view::npos ? address : address.substr(at + 1));
}

std::string BuildMxQuery(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  if (domain.empty()) return {};
  std::string name;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = domain.find('.', start);
    const std::string_view label =
        domain.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty() || label.size() > 63) return {};
    name += static_cast<char>(label.size());
    name += label;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  name += '\0';
  if (name.size() > kMaxNameLength) return {};
  std::string query("AA\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  query += name;
  query.append("\x00\x0F\x00\x01", 4);
  return query;
}

std::string ReadReplyName(std::string_view reply, std::size_t& pos) {
  const std::size_t size = reply.size();
  std::string name;
  std::size_t resume = 0;   // the pointer's second byte, once one was followed
  std::size_t floor = pos;  // a pointer must lead before every part read so far
  bool ok = false;
  for (;;) {
    if (pos == 0 || pos > size) break;
    unsigned length = ByteAt(reply, pos);
    bool bad = false;
    while (length >= 192) {
      if (pos + 1 > size) {
        bad = true;
        break;
      }
      const std::size_t target = ((length & 0x3F) * 256u + ByteAt(reply, pos + 1)) + 1;
      if (resume == 0) resume = pos + 1;
      if (target >= floor) {
        bad = true;
        break;
      }
      floor = pos = target;
      length = ByteAt(reply, pos);
    }
    if (bad || pos >= size || pos + length > size) break;
    if (length == 0) {  // the root: an empty name
      ok = true;
      break;
    }
    name.append(reply.substr(pos, length));
    name += '.';
    if (name.size() > kMaxNameLength) break;
    pos += length + 1;
    if (pos > size || ByteAt(reply, pos) == 0) {
      ok = true;
      break;
    }
  }
  if (!ok) name.clear();
  if (!name.empty()) name.pop_back();
  if (resume != 0) pos = resume;
  pos += 1;
  return name;
}

std::string ParseMxReply(std::string_view reply) {
  if (reply.size() < 12) return {};
  const unsigned answers = ByteAt(reply, 7) * 256u + ByteAt(reply, 8);
  std::size_t pos = 13;
  ReadReplyName(reply, pos);  // the question
  pos += 6;                   // its type and class, and the first answer's compressed owner
  for (unsigned i = 0; i < answers; ++i) {
    if (pos + 9 > reply.size()) break;
    const std::size_t data_length = ByteAt(reply, pos + 8) * 256u + ByteAt(reply, pos + 9);
    if (pos + 9 + data_length > reply.size()) break;  // cut short
    const std::string_view record = reply.substr(0, pos + 9 + data_length);
    std::size_t at = pos + 12;
    std::string host = ReadReplyName(record, at);
    if (host.empty()) {
      at = pos + 10;
      host = ReadReplyName(record, at);
    }
    if (!host.empty()) return host;
    pos += data_length + 12;
  }
  return {};
}

int ReplyCode(std::string_view reply) {
  int value = 0, digits = 0;
  for (const char c : reply) {
    if (c < '0' || c > '9') break;
    if (++digits > 9) return -1;
    value = value * 10 + (c - '0');
  }
  return digits > 0 ? value : -1;
}

bool ReplyAccepted(std::string_view reply, const std::vector<int>& codes) {
  const int code = ReplyCode(reply);
  if (code < 0) return false;
  for (const int c : codes)
    if (c == code) return true;
  return false;
}

std::string ErrorText(std::string_view text, std::string_view log) {
  std::string result(text);
  if (!log.empty() && text.find(log) == std::string_view::npos) {
    result += "\r\nSocket log:\r\n";
    result += log;
  }
  return result;
}

std::vector<std::string> DnsServerList(const std::vector<std::string>& system_servers) {
  std::vector<std::string> servers;
  auto add = [&servers](std::string_view text) {
    std::string server = VCore::Trim(text);
    if (!server.empty() && server != "0.0.0.0") servers.push_back(std::move(server));
  };
  for (const std::string& s : system_servers) add(s);
  add(kFallbackDnsServer);
  return servers;
}

}  // namespace VSockets
