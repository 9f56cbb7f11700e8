// The downloader's application object: runs the main dialog once.
#pragma once

#include "Afx.h"

class CDownloaderApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

extern CDownloaderApp theApp;
