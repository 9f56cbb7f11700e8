// Writes the senders' texts for mime_check.py.
// Usage: mime_writer mail <out> <subject> <text file> <attachment>...
//        mime_writer upload <out> <boundary> <field=value>... -- <file>...
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SendData.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string NameOf(const std::string& path) {
  const std::size_t p = path.find_last_of("/\\");
  return p == std::string::npos ? path : path.substr(p + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string mode = argv[1];
  std::string out;
  if (mode == "mail" && argc >= 5) {
    ExceptionLog::TMailMessage m;
    m.date = "Tue, 3 Mar 2009 14:05:09 +0530";
    // VL_MIME_SENDER and VL_MIME_CHARSET: the sender text and the charset of the 8-bit texts;
    // the envelope sender goes to <out>.envelope.
    const char* sender = std::getenv("VL_MIME_SENDER");
    const char* charset = std::getenv("VL_MIME_CHARSET");
    const ExceptionLog::TMailSender from =
        ExceptionLog::MailSender(sender ? sender : "bugs@example.org", "Bug Owner");
    m.from = from.from;
    if (charset) m.charset = charset;
    std::ofstream(std::string(argv[2]) + ".envelope", std::ios::binary) << from.envelope;
    m.subject = argv[3];
    m.recipient = "desk@example.org";
    m.message_id = 42;
    m.text = ReadAll(argv[4]);
    for (int i = 5; i < argc; ++i)
      m.attachments.push_back({argv[i], NameOf(argv[i]), ReadAll(argv[i])});
    out = ExceptionLog::ComposeMailMessage(m);
  } else if (mode == "upload") {
    VWebTools::TFormFields fields;
    std::vector<VWebTools::TFormFile> files;
    int i = 4;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
      const std::string f = argv[i];
      const std::size_t eq = f.find('=');
      fields.emplace_back(f.substr(0, eq), eq == std::string::npos ? "" : f.substr(eq + 1));
    }
    for (++i; i < argc; ++i) {
      std::ifstream probe(argv[i], std::ios::binary);
      files.push_back({NameOf(argv[i]), argv[i], static_cast<bool>(probe), ReadAll(argv[i])});
    }
    out = VWebTools::UploadFilesBody(argv[3], fields, files);
  } else {
    return 2;
  }
  std::ofstream(argv[2], std::ios::binary) << out;
  return 0;
}
