#include "CFileDialog.h"

#include <cwchar>

#include "CWinApp.h"

std::wstring ConvertFilterString(const wchar_t* filter) {
  std::wstring out = filter ? filter : L"";
  if (out.empty()) return std::wstring(2, L'\0');
  if (out.back() != L'|') out += L'|';
  for (auto& c : out) {
    if (c == L'|') c = L'\0';
  }
  if (out.size() < 2 || out[out.size() - 2] != L'\0') out += L'\0';
  return out;
}

CFileDialog::CFileDialog(BOOL open, const wchar_t* defExt, const wchar_t* fileName, DWORD flags,
                         const wchar_t* filter, CWnd* parent)
    : m_open(open) {
  if (filter) m_filter = ConvertFilterString(filter);
  if (defExt) m_defExt = defExt[0] == L'.' ? defExt + 1 : defExt;
  m_file.assign(32768, L'\0');
  if (fileName) wcsncpy(m_file.data(), fileName, m_file.size() - 1);
  m_ofn.lStructSize = sizeof(m_ofn);
  m_ofn.hwndOwner = parent ? parent->m_hWnd : nullptr;
  m_ofn.hInstance = AfxGetResourceHandle();
  m_ofn.lpstrFilter = m_filter.empty() ? nullptr : m_filter.c_str();
  m_ofn.nFilterIndex = 1;
  m_ofn.lpstrDefExt = m_defExt.empty() ? nullptr : m_defExt.c_str();
  m_ofn.Flags = flags | OFN_EXPLORER | OFN_ENABLESIZING;
}

INT_PTR CFileDialog::DoModal() {
  m_ofn.lpstrFile = m_file.data();
  m_ofn.nMaxFile = static_cast<DWORD>(m_file.size());
  if (!m_ofn.hwndOwner && AfxGetApp() && AfxGetApp()->m_pMainWnd)
    m_ofn.hwndOwner = AfxGetApp()->m_pMainWnd->m_hWnd;
  BOOL ok = m_open ? GetOpenFileNameW(&m_ofn) : GetSaveFileNameW(&m_ofn);
  if (!ok) {
    m_file.assign(m_file.size(), L'\0');
    return IDCANCEL;
  }
  return IDOK;
}

CString CFileDialog::GetFileName() const {
  CString p = GetPathName();
  int slash = p.ReverseFind(L'\\');
  return slash >= 0 ? p.Mid(slash + 1) : p;
}
