// The test program's side of peers/web_peers.py: requests as JSON lines on its control
// connection, and the texts those requests carry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "peer_control.h"

inline std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buffer[8];
      wsprintfA(buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
inline std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}
inline std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

struct PeerReport {
  int mismatches = -1;
  std::string text;
};

// The requests to web_peers.py on its control connection.
class Peers : public PeerControl {
 public:
  Peers() : PeerControl("VL_WEB_PEERS") {}
  std::uint16_t Make(const std::string& json) {
    return static_cast<std::uint16_t>(std::stoi(Request(json)));
  }
  PeerReport Report(std::uint16_t port) {
    const std::string answer = Request("{\"op\":\"report\",\"port\":" + std::to_string(port) + "}");
    PeerReport r;
    const std::size_t tab = answer.find('\t');
    if (tab == std::string::npos) return r;
    r.mismatches = std::stoi(answer.substr(0, tab));
    r.text = answer.substr(tab + 1);
    return r;
  }
};
