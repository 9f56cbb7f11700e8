// The report log (.vlf): the stored reports of a module, each report text followed by three
// CR LF pairs; the file joins them with one more CR LF. A report is recognised by the end of a
// dash line followed by a table row ("-\r\n|"), which its call-stack table always holds.
//
// The text work is pure; the file and the save step of the processing line are Win32
// (VLogFileWin.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Streams.h"

class TVantorModuleOptions;

namespace ExceptionLog {

inline constexpr char kReportMark[] = "-\r\n|";
inline constexpr char kReportEnd[] = "\r\n\r\n\r\n";

// A CR not followed by LF and an LF not preceded by CR become CR LF; an LF as the very first
// character stays.
std::string NormaliseLineBreaks(const std::string& text);

class TLogFile {
 public:
  // An empty log that is never loaded.
  TLogFile() = default;
#ifdef _WIN32
  // The name is placed by VCore::PrepareLogFile; an existing file is opened (deny none) and
  // loaded. Raises the stream's errors when it cannot be opened.
  TLogFile(const std::string& file_name, bool read_only);
#endif
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // Replaces the reports by those in the bytes from the stream's position to its end (up to
  // the first zero byte).
  void LoadFromStream(TStream& stream);
  // Appends the reports found in the text.
  void SplitReports(const std::string& text);
  void SaveToStream(TStream& stream) const;
#ifdef _WIN32
  // Writes the file from its start (creating it when needed) and truncates it there.
  void Save();
#endif
  // Keeps at most max_count reports with the new one (-1: all).
  void AddReport(const std::string& report, int max_count);
  int ReportCount() const { return static_cast<int>(reports_.size()); }
  const std::string& Report(int index) const { return reports_[static_cast<std::size_t>(index)]; }
  // Every stored report followed by CR LF.
  std::string GetText() const;
  // Index of the last report in which one of the pairs (item id, value) matches; -1: none.
  int FindReport(const std::vector<std::string>& ids, const std::vector<std::string>& values,
                 int pair_count) const;
  std::string GetItemValue(const std::string& item_id, int index) const;
  void SetItemValue(const std::string& item_id, const std::string& value, int index,
                    const std::string& caption);

  // The duplicate count of a stored report: item 2.8 + 1 (a value that is not a number counts as
  // 1), written back with the caption "Count"; returns the new count.
  int RaiseReportCount(int index);

  // XML form (VXmlLog.cpp).
  std::string ReportVersion(int index) const;
  std::string ReportToXML(int index) const;
  std::string LogToXML() const;
  // Raises the stream's errors when the file cannot be written.
  void SaveAsXML(const std::string& file_name) const;

  const std::string& FileName() const { return file_name_; }
  std::string XMLPassword;

 private:
  std::string file_name_;
  std::unique_ptr<TStream> file_stream_;
  std::vector<std::string> reports_;
  bool read_only_ = false;
};

#ifdef _WIN32
// ---- The log glue of the processing line ----

// Opens the log of the options' log path (environment references expanded); a log open for
// another path is freed first.
TLogFile& OpenLogFile(const TVantorModuleOptions& options);
void CloseLogFile();
// Set by CheckDuplicateError: the current report is already stored.
bool IsDuplicateError();
// With FLogFlags 0x01: looks up the stored report whose item 2.7 is the bug ID and, when found
// and count_up, raises its item 2.8 and saves the log. Without the flag the duplicate flag is
// cleared.
void CheckDuplicateError(const TVantorModuleOptions& options, const std::string& bug_id,
                         bool count_up);
// The save step: adds the report (unless it is a duplicate) keeping FMaxSavedReports, makes
// send_text the whole log with FSendFlags 0x04, writes the file with FWriteLogFile. A failure
// becomes the library warning eeLogError; the ExceptionErrorNotify event may ask for a retry.
void SaveReportToLog(const TVantorModuleOptions& options, const std::string& report,
                     std::string& send_text);

// The ExceptionErrorNotify code of a failed save (a plain number of the event).
inline constexpr int kErrorLogSaveFailed = 3;

// Companion files of a report, in the system's temporary folder.
std::string LogCopyFileName(const TVantorModuleOptions& options);
std::string BugReportZipFileName();
std::string ScreenshotFileName(const TVantorModuleOptions& options);    // FSendFlags 0x10
std::string LastHTMLPageFileName(const TVantorModuleOptions& options);  // FSendFlags 0x40
std::string XMLCopyFileName(const TVantorModuleOptions& options);       // FSendFlags 0x08
std::string TempOptionsFileName(std::uint32_t process_id, std::uintptr_t module_handle);
// The screenshot and the last HTML page only when this report took or saved one.
void SetScreenshotTaken(bool taken);
void SetHTMLPageSaved(bool saved);
std::string TakenScreenshotFileName(const TVantorModuleOptions& options);
std::string SavedHTMLPageFileName(const TVantorModuleOptions& options);
// Writes the page as lines (CR LF after each) to the last-page file; errors are ignored.
void SaveLastHTMLPage(const TVantorModuleOptions& options, const std::string& page);
// The file's lines joined with CR LF; empty for an empty name or a file that cannot be read.
std::string LoadTextFile(const std::string& file_name);
// FExtraFiles split at ";", then the log copy (unless for_zip with FAppendToLog), the taken
// screenshot, the saved page and the XML copy.
void AttachedFilesList(const TVantorModuleOptions& options, bool for_zip,
                       std::vector<std::string>& list);
// Writes the XML copy (FSendFlags 0x08) of the log copy, or of send_text alone when there is no
// log copy, with the password of the PasswordRequest event. A failure is the warning
// eeLogError.
void SaveLogAsXML(const TVantorModuleOptions& options, const std::string& send_text);
#endif

// The file name without folder, with "__" + computer name (FSendFlags 0x200) and then "__" +
// the exception time "yyyymmddhhnnss" (FSendFlags 0x100) before the extension.
std::string ReportFileName(const std::string& file_name, std::uint16_t send_flags,
                           const std::string& computer_name, const std::string& exception_time);

}  // namespace ExceptionLog
