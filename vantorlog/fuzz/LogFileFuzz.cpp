// libFuzzer target of the report log's loader and the XML converter: any bytes load without
// fault; a saved log loads back to the same reports; the XML form is plain ASCII (every other
// byte of a value is a character reference) and every element that opens is closed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Streams.h"
#include "VLogFile.h"
#include "VXmlLog.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Saved(const ExceptionLog::TLogFile& log) {
  TMemoryStream stream;
  log.SaveToStream(stream);
  return std::string(reinterpret_cast<const char*>(stream.Memory()),
                     static_cast<std::size_t>(stream.Size()));
}

void Load(ExceptionLog::TLogFile& log, const std::string& bytes) {
  TMemoryStream stream;
  if (!bytes.empty()) stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  log.LoadFromStream(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  ExceptionLog::TLogFile log;
  Load(log, bytes);
  for (int i = 0; i < log.ReportCount(); ++i)
    Check(log.Report(i).find(ExceptionLog::kReportMark) != std::string::npos);

  ExceptionLog::TLogFile again;
  Load(again, Saved(log));
  Check(again.ReportCount() == log.ReportCount());
  for (int i = 0; i < log.ReportCount(); ++i) Check(again.Report(i) == log.Report(i));

  const std::string xml = log.LogToXML();
  for (const char c : xml) Check((c >= 32 && c <= 126) || c == '\r' || c == '\n');
  int depth = 0;
  for (std::size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
    const std::size_t end = xml.find('>', at);
    Check(end != std::string::npos);
    if (xml[at + 1] == '/')
      --depth;
    else if (xml[end - 1] != '/')
      ++depth;
    Check(depth >= 0);
  }
  Check(depth == 0);

  if (log.ReportCount() > 0) {
    const int last = log.ReportCount() - 1;
    log.GetItemValue("2.7", last);
    log.FindReport({"2.7"}, {log.GetItemValue("2.7", last)}, 1);
    log.SetItemValue("2.8", "2", last, "Count");
    log.AddReport(log.Report(0), 2);
    log.LogToXML();
  }
  return 0;
}
