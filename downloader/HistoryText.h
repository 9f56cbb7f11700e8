// Texts of the download history file, as bytes of the ANSI code page.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

enum HistoryEntryType {
  kHistoryBin = 1,
  kHistoryQvs = 2,
  kHistoryFormat = 3,
  kHistoryErase = 4,
  kHistoryDump = 5,
  kHistoryShow = 6,
};

// Written before a run's first entry.
extern const char kHistoryHeader[];
// "%m-%d  %H:%M:%S " of a local time.
std::string HistoryTime(const std::tm& local);
// One entry: number, time, and for the types that name them the path and the sector indices
// whose flag is set (in rising order). Empty for a type that makes no entry.
std::string HistoryEntry(int type, int number, const std::string& time, const std::string& path,
                         std::span<const std::uint32_t> sectorFlags);

// Texts of the History and Del_History buttons for the log box.
extern const wchar_t kHistoryShowBegin[];
extern const wchar_t kHistoryShowEnd[];
extern const wchar_t kHistoryNone[];
extern const wchar_t kHistoryDeletedLog[];
extern const wchar_t kHistoryNoFile[];
// "%M:%S" of an elapsed time in seconds.
std::string ElapsedMinSec(std::int64_t seconds);
