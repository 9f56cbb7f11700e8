// Texts and helpers that several parts of the main dialog share.
#pragma once

#include <cstdint>
#include <string>

#include "Afx.h"

namespace dlg_shared {

inline constexpr wchar_t kSection[] = L"Setting";
inline constexpr wchar_t kFilterA[] =
    L"cla file (*.cla)|*.cla|bin file (*.bin)|*.bin|all files (*.*)|*.*||";
inline constexpr wchar_t kFilterB[] =
    L"bin file (*.bin)|*.bin|cla file (*.cla)|*.cla|all files (*.*)|*.*||";
inline constexpr wchar_t kFilterQ[] = L"qvs file (*.qvs)|*.qvs||";
inline constexpr wchar_t kFailBin[] = L"Fail to open bin file!";
inline constexpr wchar_t kFailOgm[] = L"Fail to open OGM file!";
inline constexpr wchar_t kDownloadCompleted[] = L"Download completed!";

// Between the ANSI code page (files, names) and the wide texts of the controls.
std::string ToAnsi(const CString& text);
std::wstring FromAnsi(const std::string& text);
// Seconds of the local clock.
std::int64_t Now();
// The whole file; false when it cannot be opened or read to its end.
bool ReadWholeFile(const CString& path, std::string& out);

}  // namespace dlg_shared
