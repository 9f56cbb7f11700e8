// About box: the newest of the version-history texts.
#pragma once

#include "Afx.h"
#include "resource.h"

class CAboutDlg : public CDialog {
 public:
  explicit CAboutDlg(CWnd* parent = nullptr) : CDialog(IDD_ABOUTBOX, parent) {}
  BOOL OnInitDialog() override;
  // Release notes, newest first.
  static const wchar_t* const kVersionHistory[7];
};
