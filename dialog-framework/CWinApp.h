// Application object: start-up, registry profile, message boxes and the exception hook.
#pragma once

#include <windows.h>

#include <exception>

#include "CString.h"
#include "CWnd.h"

class CWinApp {
 public:
  CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  // Start virtual: FALSE ends the program (after ExitInstance).
  virtual BOOL InitInstance() { return TRUE; }
  virtual int ExitInstance() { return 0; }

  // Profile under HKCU\Software\<key>\<profile name>\<section>.
  void SetRegistryKey(const wchar_t* key);
  const CString& GetRegistryKey() const { return m_registryKey; }
  // The application name (executable's base name) names the profile.
  void SetProfileName(const wchar_t* name) { m_profileName = name; }
  const CString& GetProfileName() const { return m_profileName; }
  UINT GetProfileInt(const wchar_t* section, const wchar_t* entry, int defaultValue);
  BOOL WriteProfileInt(const wchar_t* section, const wchar_t* entry, int value);
  CString GetProfileString(const wchar_t* section, const wchar_t* entry,
                           const wchar_t* defaultValue = L"");
  BOOL WriteProfileString(const wchar_t* section, const wchar_t* entry, const wchar_t* value);

  // Every message box of the program; a test's application may answer without showing one.
  virtual int DoMessageBox(const wchar_t* text, UINT type);
  // The handler hook: an exception that reached a window, dialog or timer procedure.
  virtual LRESULT ProcessWndProcException(std::exception_ptr e, const MSG* msg);

  CWnd* m_pMainWnd = nullptr;
  HINSTANCE m_hInstance = nullptr;
  CString m_appName;  // executable's base name

 private:
  HKEY OpenSectionKey(const wchar_t* section, bool create);
  CString m_registryKey;
  CString m_profileName;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
int AfxMessageBox(const wchar_t* text, UINT type = MB_OK);
// Loads the rich edit 2.0 library ("RichEdit20W" window class).
BOOL AfxInitRichEdit2();
// Runs the application object: InitInstance, then ExitInstance.
int AfxWinMain(HINSTANCE instance);
