// Text helpers of the library: splitting and replacing, HTML escaping, time and size texts,
// environment references, log-file name rules, the Windows version name and the rich-text
// pages of the detailed dialog. Pure text: no system calls except the environment lookup.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace VCore {

// Splits at any of the characters; items trimmed unless no_trim, empty items only when
// keep_empty.
std::vector<std::string> SplitByChars(std::string_view text, std::string_view chars,
                                      bool keep_empty = false, bool no_trim = false);
// Splits into runs of text and single delimiter characters, in order.
std::vector<std::string> SplitKeepingDelims(std::string_view text, std::string_view delims);
// 1-based position of sub at or after the 1-based start; 0 when absent.
std::size_t PosFrom(std::string_view text, std::string_view sub, std::size_t start);
std::string ReplaceAll(std::string_view text, std::string_view old_text, std::string_view new_text);
std::string Trim(std::string_view text);
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

// Each reference %NAME% (letters, digits, "_") becomes the variable's value; other percent
// signs stay; inserted values are not scanned again.
using TEnvLookup = std::function<std::string(const std::string&)>;
std::string ExpandEnvRefs(std::string_view text);
std::string ExpandEnvRefs(std::string_view text, const TEnvLookup& lookup);

std::string HtmlEscape(std::string_view text);
// "1 day, 12 hours, 0 seconds" from a span in days.
std::string ElapsedTimeText(double days);
// "the bytes / 1024, rounded" + " Kb"; empty for 0.
std::string SizeInKbText(std::uint64_t bytes);
std::string NumberOrUnknown(std::int64_t n);
std::string PriorityClassName(std::uint32_t priority_class);

struct TDateTimeParts {
  int year, month, day, hour, minute, second;
  int day_of_week;  // 0 Sunday .. 6 Saturday
};
// "Tue, 3 Mar 2009 14:05:09 +0530": the zone keeps its minutes.
std::string Rfc822DateText(const TDateTimeParts& local, int utc_offset_minutes);

// Paths and log files.
std::string IncludeTrailingSlash(std::string_view path);
std::string ExcludeTrailingSlash(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ExtractFileFolder(std::string_view path);  // with its trailing "\"
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string StripVsHost(std::string_view text);
// The log file: FLogFolder itself when it ends in ".vlf" (any case); else that folder (or the
// file name's own when empty) + the file name without its folder.
std::string LogPathFor(std::string_view log_folder, std::string_view file_name);
// Characters a file name cannot hold become "_".
std::string SanitizeComputerName(std::string_view name);
// "_" + computer name before the extension.
std::string InsertComputerName(std::string_view path, std::string_view computer_name);
// "1.2.x" from "1.2.3.4".
std::string ShortVersionText(std::string_view version);

// The system's version as GetVersionEx reports it.
struct TWindowsVersion {
  std::uint32_t platform_id;  // 1 the 9x platform, 2 NT
  std::uint32_t major, minor, build;
  std::string csd;  // service text; for 9x its first letter tells OSR 2 / SE
  bool wow64;
};
std::string WindowsVersionName(const TWindowsVersion& v);
std::string WindowsBuildText(const TWindowsVersion& v);

// Rich-text pages.
std::string RtfEscapeLines(std::string_view text);
std::string RtfPageHeader(int charset, std::string_view font_face);
std::string GeneralPageRtf(std::string_view report, int charset, std::string_view font_face,
                           int point_size);

}  // namespace VCore
