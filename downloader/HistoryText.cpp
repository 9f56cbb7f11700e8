#include "HistoryText.h"

#include <cstdio>

const char kHistoryHeader[] = "  \r\n ************* DownLoader Start! ************* \r\n";

const wchar_t kHistoryShowBegin[] =
    L":::::::::::::::::::::::::::::::::::::::::::::: Download History "
    L"::::::::::::::::::::::::::::::::::::::::::::::\r\n";
const wchar_t kHistoryShowEnd[] =
    L":::::::::::::::::::::::::::::::::::::::::::: Download History End "
    L"::::::::::::::::::::::::::::::::::::::::::::\r\n";
const wchar_t kHistoryNone[] = L"No  recorded execution !!\r\n";
const wchar_t kHistoryDeletedLog[] =
    L"\r\n:::::::::::::::::::::::::::::::::::::::::::::: History File Deleted "
    L"::::::::::::::::::::::::::::::::::::::::::::::\r\n";
const wchar_t kHistoryNoFile[] = L"No History file!!\r\n";

std::string HistoryTime(const std::tm& local) {
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof(buf), "%m-%d  %H:%M:%S ", &local);
  return std::string(buf, n);
}

namespace {

std::string Numbered(const char* format, int number, const std::string& time) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), format, number, time.c_str());
  return buf;
}

void AppendSectors(std::string& out, std::span<const std::uint32_t> flags) {
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i]) out += " " + std::to_string(i);
  }
}

}  // namespace

std::string HistoryEntry(int type, int number, const std::string& time, const std::string& path,
                         std::span<const std::uint32_t> sectorFlags) {
  std::string out;
  switch (type) {
    case kHistoryBin:
      return Numbered("%d. %s  Download Bin file ", number, time) + path + "\r\n";
    case kHistoryQvs:
      return Numbered("%d. %s  Download Qvs file  ", number, time) + path + "\r\n";
    case kHistoryFormat:
      return Numbered("%d. %s  NANDFormat Completed\r\n", number, time);
    case kHistoryErase:
      out = Numbered("%d. %s  Nor erase Sector Number:", number, time);
      AppendSectors(out, sectorFlags);
      return out + "\r\n";
    case kHistoryDump:
      out = Numbered("%d. %s  Nor dump file => ", number, time) + path + " " +
            "  And Nor dump sector => ";
      AppendSectors(out, sectorFlags);
      return out + "\r\n";
    default:
      return out;
  }
}

std::string ElapsedMinSec(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%02d:%02d", static_cast<int>((seconds / 60) % 60),
                static_cast<int>(seconds % 60));
  return buf;
}
