// Open and save dialogs with filters written "name|pattern|name|pattern||".
#pragma once

// clang-format off
#include <windows.h>
#include <commdlg.h>
// clang-format on

#include <string>

#include "CString.h"
#include "CWnd.h"

// "a|b||" -> "a\0b\0\0" (a missing final bar is supplied).
std::wstring ConvertFilterString(const wchar_t* filter);

class CFileDialog {
 public:
  CFileDialog(BOOL open, const wchar_t* defExt = nullptr, const wchar_t* fileName = nullptr,
              DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const wchar_t* filter = nullptr,
              CWnd* parent = nullptr);
  virtual ~CFileDialog() = default;
  // IDOK when a file was chosen, else IDCANCEL.
  virtual INT_PTR DoModal();
  CString GetPathName() const { return CString(m_file.c_str()); }
  CString GetFileName() const;

  OPENFILENAMEW m_ofn{};

 private:
  BOOL m_open;
  std::wstring m_filter;
  std::wstring m_defExt;
  std::wstring m_file;
};
