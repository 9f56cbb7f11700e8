// libFuzzer target of the MX reply parser and the SMTP reply code: any bytes, bounded reads and
// no loops; a query that can be built reads back as its domain.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "VSocketData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string host = VSockets::ParseMxReply(bytes);
  if (host.size() > 255) std::abort();
  std::size_t pos = size ? data[0] : 1;
  const std::size_t start = pos;
  const std::string name = VSockets::ReadReplyName(bytes, pos);
  if (name.size() > 255 || pos <= start) std::abort();
  VSockets::ReplyCode(bytes);

  std::string domain(bytes);
  const std::string query = VSockets::BuildMxQuery(domain);
  if (!query.empty()) {
    if (!domain.empty() && domain.back() == '.') domain.pop_back();
    std::size_t at = 13;
    if (VSockets::ReadReplyName(query, at) != domain) std::abort();
  }
  return 0;
}
