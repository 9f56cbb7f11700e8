// libFuzzer target of what the senders read from a server: SMTP reply codes and the error text
// with its log, the HTTP status text, Refresh and Location headers and request paths of the
// uploads, the FTP remote name and the web address split. Any bytes; results are checked
// against what the reply itself says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "SendData.h"
#include "VSocketData.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The code of a reply read independently: its leading digits, -1 without one or past nine.
long LeadingCode(std::string_view reply) {
  std::size_t n = 0;
  while (n < reply.size() && reply[n] >= '0' && reply[n] <= '9') ++n;
  if (n == 0 || n > 9) return -1;
  return std::stol(std::string(reply.substr(0, n)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  const std::size_t half = size / 2;
  const std::string_view head = reply.substr(0, half), tail = reply.substr(half);

  const int code = VSockets::ReplyCode(reply);
  Check(code == LeadingCode(reply));
  Check(VSockets::ReplyAccepted(reply, {code}) == (code >= 0));
  Check(!VSockets::ReplyAccepted(reply, {}));
  const std::string error = VSockets::ErrorText(head, tail);
  Check(error.find(tail) != std::string::npos && error.compare(0, head.size(), head) == 0);

  const std::int32_t status = VWebTools::UploadStatusResult(reply);
  Check(status == 0x7FFFFFFF || status >= 0);
  const VWebTools::TRequestPath path = VWebTools::SplitRequestPath(reply);
  Check(path.folder + path.document + path.query == reply);
  Check(path.document.find('/') == std::string::npos);
  const std::string redirect = VWebTools::RedirectPath(head, tail);
  Check(redirect.size() >= tail.size() &&
        redirect.compare(redirect.size() - tail.size(), tail.size(), tail) == 0);
  Check(VWebTools::RefreshUrl(reply).size() <= size);
  const std::string remote = VWebTools::FtpRemoteName(head, tail);
  Check(remote.size() <= size + 1);

  VWebTools::TWebAddress address;
  if (VWebTools::SplitWebAddress(reply, &address))
    Check(address.host.size() + address.path.size() + address.user.size() +
              address.password.size() <=
          size + 1);
  const std::string flat = ExceptionLog::FlattenControlChars(reply);
  for (const char c : flat) Check(static_cast<unsigned char>(c) >= 32);
  return 0;
}
