#include "AboutDlg.h"

#define DASHES L"----------------------------------------\r\n"

const wchar_t* const CAboutDlg::kVersionHistory[7] = {
    DASHES L"** v0.5 Lite  2008-03-14\r\n" DASHES
    L"0. Slave chip PNX5231 through the master's line switch\r\n"
    L"1. BIN + QVS download in one run\r\n"
    L"2. Drive selection A:, B:, C: for QVS requests\r\n",
    DASHES L"** v0.4  2007-12-03\r\n" DASHES
    L"0. QVS explorer: folder dump and NAND full dump with resume\r\n"
    L"1. QVS file check of the .cfg against the image\r\n",
    DASHES L"** v0.3  2007-10-22\r\n" DASHES
    L"0. NOR sector dump with 8 KB blocks and sums\r\n"
    L"1. Download history file\r\n",
    DASHES L"** v0.2  2007-09-10\r\n" DASHES
    L"0. QVS image download with its .cfg text\r\n"
    L"1. Automatic NAND format before a QVS download\r\n",
    DASHES L"** v0.1c  2007-08-01\r\n" DASHES L"0. CRC-32 buttons for the image files\r\n",
    DASHES L"** v0.1b  2007-07-16\r\n" DASHES
    L"0. NOR sector selection dialog for erase\r\n",
    DASHES L"** v0.1  2007-06-25\r\n" DASHES
    L"0. First release: boot, flash ID and binary download to NOR\r\n",
};

BOOL CAboutDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SetDlgItemText(IDC_VERSION_TEXT, kVersionHistory[0]);
  return TRUE;
}
