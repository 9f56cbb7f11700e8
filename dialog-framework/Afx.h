// The dialog framework in one include.
#pragma once

#include "CCheckListBox.h"
#include "CDialog.h"
#include "CFile.h"
#include "CFileDialog.h"
#include "CString.h"
#include "CTime.h"
#include "CToolTipCtrl.h"
#include "CWinApp.h"
#include "CWnd.h"
#include "Controls.h"
