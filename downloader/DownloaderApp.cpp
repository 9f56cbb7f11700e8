#include "DownloaderApp.h"

#include "DownloaderDlg.h"

CDownloaderApp theApp;

BOOL CDownloaderApp::InitInstance() {
  // Control containment and 3-D controls are what Win32 dialogs do by themselves.
  AfxInitRichEdit2();
  SetRegistryKey(L"KESTA Tools");
  OpenHistoryFile();
  {
    CDownloaderDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
  }
  CloseHistoryFile();
  return FALSE;
}
