// libFuzzer target of the .cfg parser, the A-drive size and the file check: any text, with an
// image length that the text's own sizes add up to (so that parsing goes past the size check)
// and one byte more.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "QvsConfig.h"
#include "QvsFileCheck.h"
#include "QvsFrames.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::uint64_t RoughSizeSum(std::string_view text) {
  std::uint64_t sum = 0;
  for (std::size_t at = text.find("FILE_SIZE : "); at != std::string_view::npos;
       at = text.find("FILE_SIZE : ", at + 1)) {
    std::uint64_t v = 0;
    for (std::size_t i = at + 12, n = 0;
         i < text.size() && n < 10 && text[i] >= '0' && text[i] <= '9'; ++i, ++n)
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
    sum += v;
  }
  return sum;
}

// Odd bytes fail, as a code page without them would.
bool OddFails(std::string_view in, std::string& out) {
  out.clear();
  for (char c : in) {
    if (static_cast<unsigned char>(c) == 0x81) return false;
    out += c;
    if (static_cast<unsigned char>(c) >= 0xF0) out += c;  // grows in conversion
  }
  return true;
}

void Parse(std::string_view text, std::uint64_t length) {
  qvs::QvsPlan plan;
  qvs::QvsConfigResult r = qvs::ParseQvsConfig(text, length, OddFails, plan);
  if (!r.ok()) {
    Check(!r.message.empty() && plan.files.empty() && plan.directories.empty());
    return;
  }
  Check(!plan.directories.empty());
  qvs::QvsFrame frame;
  for (const qvs::QvsDirectory& d : plan.directories) Check(qvs::MakeDirFrame(d.name, frame));
  std::uint64_t end = 0;
  for (const qvs::QvsFile& f : plan.files) {
    Check(f.offset == end && qvs::AddFileFrame(f.name, f.size, frame));
    end += f.size;
  }
  Check(end == length && end == plan.imageLength);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::uint64_t sum = RoughSizeSum(text);
  Parse(text, sum);
  Parse(text, sum + 1);
  qvs::QvsDriveSize drive;
  qvs::ComputeQvsDriveSize(text, drive);
  qvs::QvsFileCheckResult check = qvs::QvsFileCheck(text, text.substr(size / 2));
  qvs::QvsFileCheckLog(check, "a.cfg", "a.qvs");
  return 0;
}
