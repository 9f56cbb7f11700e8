#include "CWinApp.h"

#include <commctrl.h>

#include <string>

namespace {

CWinApp* g_app = nullptr;

CString ExeBaseName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  CString s(path);
  int slash = s.ReverseFind(L'\\');
  if (slash >= 0) s = s.Mid(slash + 1);
  int dot = s.ReverseFind(L'.');
  if (dot > 0) s = s.Left(dot);
  return s;
}

CString Utf8What(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return CString::FromUtf8(ex.what());
  } catch (...) {
    return CString(L"Unknown exception");
  }
}

}  // namespace

CWinApp::CWinApp() {
  g_app = this;
  m_hInstance = GetModuleHandleW(nullptr);
  m_appName = ExeBaseName();
  m_profileName = m_appName;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetResourceHandle() { return GetModuleHandleW(nullptr); }

const wchar_t* AfxGetAppName() { return g_app ? g_app->m_appName.GetString() : L""; }

void CWinApp::SetRegistryKey(const wchar_t* key) { m_registryKey = key; }

HKEY CWinApp::OpenSectionKey(const wchar_t* section, bool create) {
  if (m_registryKey.IsEmpty()) return nullptr;
  CString path = CString(L"Software\\") + m_registryKey + L"\\" + m_profileName + L"\\" + section;
  HKEY key = nullptr;
  LONG rc = create ? RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_WRITE, nullptr, &key, nullptr)
                   : RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key);
  return rc == ERROR_SUCCESS ? key : nullptr;
}

UINT CWinApp::GetProfileInt(const wchar_t* section, const wchar_t* entry, int defaultValue) {
  HKEY key = OpenSectionKey(section, false);
  if (!key) return static_cast<UINT>(defaultValue);
  DWORD type = 0, value = 0, size = sizeof(value);
  LONG rc = RegQueryValueExW(key, entry, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value))
    return static_cast<UINT>(defaultValue);
  return value;
}

BOOL CWinApp::WriteProfileInt(const wchar_t* section, const wchar_t* entry, int value) {
  HKEY key = OpenSectionKey(section, true);
  if (!key) return FALSE;
  DWORD v = static_cast<DWORD>(value);
  LONG rc = RegSetValueExW(key, entry, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof(v));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

CString CWinApp::GetProfileString(const wchar_t* section, const wchar_t* entry,
                                  const wchar_t* defaultValue) {
  HKEY key = OpenSectionKey(section, false);
  if (!key) return CString(defaultValue);
  DWORD type = 0, size = 0;
  LONG rc = RegQueryValueExW(key, entry, nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    RegCloseKey(key);
    return CString(defaultValue);
  }
  std::wstring buf(size / sizeof(wchar_t) + 1, L'\0');
  rc = RegQueryValueExW(key, entry, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return CString(defaultValue);
  buf.resize(wcsnlen(buf.c_str(), buf.size()));
  return CString(std::move(buf));
}

BOOL CWinApp::WriteProfileString(const wchar_t* section, const wchar_t* entry,
                                 const wchar_t* value) {
  HKEY key = OpenSectionKey(section, true);
  if (!key) return FALSE;
  LONG rc;
  if (!value) {
    rc = RegDeleteValueW(key, entry);
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  } else {
    DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
    rc = RegSetValueExW(key, entry, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  }
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

int CWinApp::DoMessageBox(const wchar_t* text, UINT type) {
  HWND owner = m_pMainWnd ? m_pMainWnd->m_hWnd : nullptr;
  if (owner && !IsWindowEnabled(owner)) owner = GetActiveWindow();
  return ::MessageBoxW(owner, text, m_appName, type);
}

LRESULT CWinApp::ProcessWndProcException(std::exception_ptr e, const MSG*) {
  DoMessageBox(Utf8What(e), MB_OK | MB_ICONSTOP);
  return 0;
}

int AfxMessageBox(const wchar_t* text, UINT type) {
  if (CWinApp* app = AfxGetApp()) return app->DoMessageBox(text, type);
  return ::MessageBoxW(nullptr, text, L"", type);
}

LRESULT HandleCallbackException(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  std::exception_ptr e = std::current_exception();
  MSG m{};
  m.hwnd = hwnd;
  m.message = msg;
  m.wParam = w;
  m.lParam = l;
  // The hook itself must not throw back into Win32.
  try {
    if (CWinApp* app = AfxGetApp()) return app->ProcessWndProcException(e, &m);
  } catch (...) {
  }
  OutputDebugStringW(L"unhandled exception in a window procedure\n");
  return 0;
}

BOOL AfxInitRichEdit2() {
  static HMODULE lib = LoadLibraryW(L"riched20.dll");
  return lib != nullptr;
}

int AfxWinMain(HINSTANCE instance) {
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  app->m_hInstance = instance;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  int rc = 0;
  try {
    if (!app->InitInstance()) rc = app->ExitInstance();
  } catch (...) {
    app->ProcessWndProcException(std::current_exception(), nullptr);
    rc = -1;
  }
  return rc;
}
