#include "QVSExplorerDlg.h"

// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include <algorithm>

#include "DownloaderDlg.h"
#include "HistoryText.h"
#include "KestaFrames.h"
#include "QvsFrames.h"
#include "SerialComm.h"

namespace {

const wchar_t kHexFilter[] = L"Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
const wchar_t kNandFilter[] = L"Save File (*.hex)|*.hex|All Files (*.*)|*.*||";
const wchar_t kSearchingIn[] = L"\r\nSearching the files (in '%s')... ";

std::int64_t Now() { return CTime::GetCurrentTime().GetTime(); }

CString Formatted(const wchar_t* fmt, const wchar_t* s) {
  CString out;
  out.Format(fmt, s);
  return out;
}

// The file name of a PC path.
CString BaseName(const CString& path) {
  int slash = std::max(path.ReverseFind(L'\\'), path.ReverseFind(L'/'));
  return slash < 0 ? path : path.Mid(slash + 1);
}

// The companion of a dump file: its name up to the last "." and ".tmp".
CString TempCompanion(const CString& path) {
  int dot = path.ReverseFind(L'.');
  int slash = std::max(path.ReverseFind(L'\\'), path.ReverseFind(L'/'));
  return (dot > slash ? path.Left(dot) : path) + L".tmp";
}

}  // namespace

BEGIN_MESSAGE_MAP(CQVSExplorerDlg, CDialog)
ON_MESSAGE(WM_COMM_RECEIVE, OnCommReceive)
ON_MESSAGE(WM_CONTEXTMENU, OnContextMenu)
ON_WM_DESTROY()
ON_NOTIFY_EX_RANGE(TVN_SELCHANGEDW, IDC_QVSX_TREE, IDC_QVSX_TREE, OnSelchangedTree)
ON_BN_CLICKED(ID_QVSX_DUMP, OnDumpFile)
ON_BN_CLICKED(ID_QVSX_DELETE, OnDeleteFile)
ON_BN_CLICKED(ID_QVSX_STATUS, OnFileStatus)
ON_BN_CLICKED(ID_QVSX_ADD, OnAddFile)
ON_BN_CLICKED(ID_QVSX_FOLDER_DUMP, OnFolderDump)
ON_BN_CLICKED(IDC_QVSX_NAND_DUMP, OnNandFullDump)
ON_BN_CLICKED(IDC_QVSX_DUMP_CONTINUE, OnDumpContinue)
END_MESSAGE_MAP()

CQVSExplorerDlg::CQVSExplorerDlg(CWnd* parent, std::uint16_t secondDeviceId)
    : CDialog(IDD_QVS_EXPLORER, parent), m_SecondDeviceId(secondDeviceId) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
}

CQVSExplorerDlg::~CQVSExplorerDlg() { CloseFiles(); }

BOOL CQVSExplorerDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_FileList.SubclassDlgItem(IDC_QVSX_FILES, this);
  m_Log.SubclassDlgItem(IDC_QVSX_LOG, this);
  m_Progress.SubclassDlgItem(IDC_QVSX_PROGRESS, this);
  ::SendMessageW(m_Log, EM_SETLIMITTEXT, 0, 0);  // a NAND dump logs more than 30000 characters

  m_hSavedReplyWnd = g_hReplyWnd.load();
  g_hReplyWnd = m_hWnd;

  TVINSERTSTRUCTW ins{};
  ins.hParent = TVI_ROOT;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT;
  ins.item.pszText = const_cast<wchar_t*>(L"/");
  m_hCurrentItem = reinterpret_cast<HTREEITEM>(
      ::SendMessageW(Tree(), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins)));
  m_strCurrentPath = L"/";
  m_bReadTargetOpen = m_bAddSourceOpen = m_bNandFileOpen = FALSE;
  m_nFileCount = m_nMaxWidth = 0;
  m_nDone = 0;
  m_nExitCount = 0;
  // Browsing starts once the root is listed.
  EnableBrowsing(FALSE);
  m_nState = 19;
  SendByte(qvsx::kLinkSync);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Helpers.

void CQVSExplorerDlg::Send(const void* bytes, std::size_t count) {
  g_MasterComm.Write(bytes, static_cast<DWORD>(count));
}

void CQVSExplorerDlg::SendByte(std::uint8_t b) { Send(&b, 1); }

void CQVSExplorerDlg::AppendLog(const wchar_t* text) {
  int end = m_Log.GetWindowTextLength();
  m_Log.SetSel(end, end);
  m_Log.ReplaceSel(text);
  ::SendMessageW(m_Log, EM_SCROLLCARET, 0, 0);
}

void CQVSExplorerDlg::EnableBrowsing(BOOL enable) {
  ::EnableWindow(Tree(), enable);
  m_FileList.EnableWindow(enable);
  ::EnableWindow(GetDlgItemHwnd(IDC_QVSX_NAND_DUMP), enable);
}

// A failed reply: its log line, idle, the controls enabled again.
void CQVSExplorerDlg::Fail(const wchar_t* fmt, unsigned value) {
  CString line;
  line.Format(fmt, value);
  AppendLog(line);
  m_nState = kExplorerIdle;
  EnableBrowsing(TRUE);
}

void CQVSExplorerDlg::CloseFiles() {
  if (m_bReadTargetOpen) m_ReadTarget.Close();
  if (m_bAddSourceOpen) m_AddSource.Close();
  if (m_bNandFileOpen) m_NandFile.Close();
  m_bReadTargetOpen = m_bAddSourceOpen = m_bNandFileOpen = FALSE;
}

void CQVSExplorerDlg::Close() {
  CloseFiles();
  if (g_hReplyWnd.load() == m_hWnd) g_hReplyWnd = m_hSavedReplyWnd;
  m_nState = 0;
  EndDialog(IDOK);
}

bool CQVSExplorerDlg::ToPhoneName(const CString& name, std::string& utf8) {
  utf8 = name.ToUtf8();
  if (utf8.empty() || utf8.size() + 1 > qvsx::kMaxNameBytes) {
    AppendLog(L"MultibyteToUTF8 ERROR");
    return false;
  }
  return true;
}

bool CQVSExplorerDlg::FromPhoneName(const std::string& utf8, CString& name) {
  name.Empty();
  if (utf8.size() + 1 > qvsx::kMaxNameBytes) {
    AppendLog(L"MultibyteToUTF8 ERROR");
    return false;
  }
  if (utf8.empty()) return true;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                              static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) {
    AppendLog(L"MultibyteToUTF8 ERROR");
    return false;
  }
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  name = CString(std::move(wide));
  return true;
}

CString CQVSExplorerDlg::ItemText(HTREEITEM item) const {
  wchar_t text[512] = {};
  TVITEMW tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = 511;
  ::SendMessageW(Tree(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
  return CString(text);
}

CString CQVSExplorerDlg::SelectedFile() const {
  int sel = m_FileList.GetCurSel();
  return sel < 0 ? CString() : m_FileList.GetText(sel);
}

BOOL CQVSExplorerDlg::OnSelchangedTree(UINT, NMHDR* hdr, LRESULT*) {
  if (m_nState != kExplorerIdle) return FALSE;  // one exchange at a time
  auto* nm = reinterpret_cast<NMTREEVIEWW*>(hdr);
  HTREEITEM item = nm->itemNew.hItem;
  if (!item) return FALSE;
  CString path;
  HWND tree = Tree();
  for (HTREEITEM i = item, parent;
       (parent = reinterpret_cast<HTREEITEM>(::SendMessageW(
            tree, TVM_GETNEXTITEM, TVGN_PARENT, reinterpret_cast<LPARAM>(i)))) != nullptr;
       i = parent)
    path = ItemText(i) + L"/" + path;
  path = L"/" + path;
  m_strCurrentPath = path;
  m_Log.SetWindowText(Formatted(L"\r\nSearching the files (in '%s')... \r\n", path));
  std::string utf8 = path.ToUtf8();
  std::vector<std::uint8_t> frame;
  if (!qvsx::ListDirFrame(utf8, frame)) {
    CString line;
    line.Format(L"**UTF8 length error(%d) **\r\n", static_cast<int>(utf8.size()));
    AppendLog(line);
    m_nState = kExplorerIdle;
    return FALSE;
  }
  EnableBrowsing(FALSE);
  Send(frame.data(), frame.size());
  m_FileList.ResetContent();
  m_nFileCount = m_nMaxWidth = 0;
  m_FileList.SetHorizontalExtent(0);
  m_hCurrentItem = item;
  m_bHasChildren =
      ::SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)) != 0;
  m_nState = 63;
  return FALSE;
}

void CQVSExplorerDlg::ListCurrentDirectory() {
  std::vector<std::uint8_t> frame;
  if (!qvsx::ListDirFrame(m_strCurrentPath.ToUtf8(), frame)) qvsx::ListDirFrame("/", frame);
  Send(frame.data(), frame.size());
  m_FileList.ResetContent();
  m_nFileCount = m_nMaxWidth = 0;
  m_FileList.SetHorizontalExtent(0);
  m_bHasChildren = ::SendMessageW(Tree(), TVM_GETNEXTITEM, TVGN_CHILD,
                                  reinterpret_cast<LPARAM>(m_hCurrentItem)) != 0;
  m_nState = 63;
}

void CQVSExplorerDlg::OnRecord() {
  std::span<const std::uint8_t> record = m_Record.Record();
  std::uint8_t kind = record.empty() ? 0 : record[0];
  if (kind != qvsx::kRecordFile && kind != qvsx::kRecordDirectory) {
    AppendLog(L"error!\r\n");
    return;
  }
  qvsx::DirRecord r;
  std::string error;
  CString name;
  if (!qvsx::ParseDirRecord(record, r, error)) {
    AppendLog(Formatted(L"**Bad directory record (%s) **\r\n", CString::FromUtf8(error)));
    return;
  }
  if (!FromPhoneName(r.name, name)) return;
  if (kind == qvsx::kRecordFile) {
    m_FileList.AddString(name);
    ++m_nFileCount;
    AppendLog(name + L"\r\n");
    HDC dc = ::GetDC(m_FileList);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(m_FileList.SendMessage(WM_GETFONT)));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, name, name.GetLength(), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(m_FileList, dc);
    if (size.cx > m_nMaxWidth) {
      m_nMaxWidth = size.cx;
      m_FileList.SetHorizontalExtent(m_nMaxWidth);
    }
  } else if (!name.IsEmpty() && name.GetAt(0) != L'.' && !m_bHasChildren) {
    TVINSERTSTRUCTW ins{};
    ins.hParent = m_hCurrentItem;
    ins.hInsertAfter = TVI_LAST;
    ins.item.mask = TVIF_TEXT;
    ins.item.pszText = const_cast<wchar_t*>(name.GetString());
    ::SendMessageW(Tree(), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins));
    ::SendMessageW(Tree(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(m_hCurrentItem));
  }
}

// ---------------------------------------------------------------------------------------------
// The state machine.

LRESULT CQVSExplorerDlg::OnCommReceive(WPARAM, LPARAM) {
  if (m_bInReceive) {  // a message box inside a step: the outer call goes on afterwards
    m_bReceiveMissed = true;
    return 0;
  }
  m_bInReceive = true;
  m_bReceiveMissed = false;
  std::uint8_t b;
  // Only the bytes queued before this message; later ones come with messages of their own.
  for (int n = g_MasterComm.m_QueueRead.GetCount();
       n > 0 && m_nState != 0 && g_MasterComm.m_QueueRead.Get(b); --n)
    Step(b);
  m_bInReceive = false;
  // Those that came while a message box ran had their messages taken by the guard.
  if (m_bReceiveMissed && m_nState != 0 && g_MasterComm.m_QueueRead.GetCount() > 0)
    PostMessage(WM_COMM_RECEIVE);
  return 0;
}

void CQVSExplorerDlg::Step(std::uint8_t b) {
  switch (m_nState) {
    case 19:
      AppendLog(L"\r\n** Mounting QVS system... ");
      SendByte(qvsx::kMount);
      m_ExpectedReply = qvsx::kMount;
      m_nState = 25;
      break;
    case 25:
      if (b != qvsx::kMount) {
        Fail(L"Fail! (0x%X)\r\n", b);
        break;
      }
      AppendLog(L"OK!\r\n");
      AppendLog(L"Searching the files... ");
      m_hCurrentItem =
          reinterpret_cast<HTREEITEM>(::SendMessageW(Tree(), TVM_GETNEXTITEM, TVGN_ROOT, 0));
      m_strCurrentPath = L"/";
      ListCurrentDirectory();
      break;
    case 63:
      m_Record.Start(b);
      m_nState = 64;
      break;
    case 64:
      if (m_Record.Put(b)) {
        SendByte(m_Record.Record()[0]);
        OnRecord();
        m_nState = 65;
      }
      break;
    case 65:
      if (b == qvsx::kListMore) {
        m_nState = 63;
      } else if (b == qvsx::kListEnd) {
        EnableBrowsing(TRUE);
        AppendLog(L"\r\n Read directory OK!\r\n");
        m_nState = kExplorerIdle;
      } else if (b == qvsx::kListError) {
        EnableBrowsing(TRUE);
        AppendLog(L"ERROR in reading File name!\r\n");
        m_nState = kExplorerIdle;
      } else {
        Fail(L"Unknown FILE name receive error!(%x)\r\n", b);
      }
      break;
    case 34:
      if (b != qvsx::kUnmount) {
        CString line;
        line.Format(L"Fail!(0x%X)\r\n", b);
        AppendLog(line);
      }
      Close();
      break;
    case 37:
    case 39:
      if (b == qvsx::kFileSize) {
        m_nSizeCount = 0;
        m_nState = m_nState == 37 ? 38 : 40;
      } else {
        Fail(L"File size read Fail! (0x%X)\r\n", b);
      }
      break;
    case 38:
    case 40:
      m_SizeBytes[m_nSizeCount++] = b;
      if (m_nSizeCount == 4) OnFileSizeKnown();
      break;
    case 41:
    case 42:
      if (m_nChunkCount < m_nChunkLength)
        m_Chunk[m_nChunkCount++] = b;
      else
        OnChunkSum(b);
      break;
    case 43:
      if (b == qvsx::kDelete) {
        AppendLog(L"OK!\r\n");
        AppendLog(Formatted(kSearchingIn, m_strCurrentPath));
        ListCurrentDirectory();
      } else {
        Fail(L"Delete Fail! (0x%X)\r\n", b);
      }
      break;
    case 44:
      if (b == m_ExpectedReply) {
        CString line;
        line.Format(L"Add READY OK! (0x%X)\r\n", b);
        AppendLog(line);
        SendNextBlock();
      } else {
        if (m_bAddSourceOpen) m_AddSource.Close();
        m_bAddSourceOpen = FALSE;
        Fail(L"Add Fail! (0x%X)\r\n", b);
      }
      break;
    case 45:
      // After the last block (shorter than 8192 bytes, or empty) only 0xDF completes the
      // file, even when that block's sum happens to be 0xDF too.
      if (m_bLastBlock && b == qvs::kQvsFileDone) {
        if (m_bAddSourceOpen) m_AddSource.Close();
        m_bAddSourceOpen = FALSE;
        AppendLog(L"Add complete");
        AppendLog(Formatted(kSearchingIn, m_strCurrentPath));
        ListCurrentDirectory();
      } else if (!m_bLastBlock && b == m_ExpectedReply) {
        CString line;
        line.Format(L"Add continue OK! (0x%X)\r\n", b);
        AppendLog(line);
        SendNextBlock();
      } else {
        if (m_bAddSourceOpen) m_AddSource.Close();
        m_bAddSourceOpen = FALSE;
        Fail(L"Add Fail! (0x%X)\r\n", b);
      }
      break;
    case 47:
      if (b == qvsx::kFileStatusReply) {
        m_nStatusCount = 0;
        m_nState = 48;
      } else {
        Fail(L"Fail! (0x%X)\r\n", b);
      }
      break;
    case 48:
      m_Status[m_nStatusCount++] = b;
      if (m_nStatusCount == static_cast<int>(qvsx::kFileStatusLength)) {
        AppendLog(CString::FromUtf8(qvsx::FileStatusText(m_Status)));
        m_nState = kExplorerIdle;
        EnableBrowsing(TRUE);
      }
      break;
    case 50:
    case 53:
      if (b == qvsx::kNandGo) {
        OnNandGo();
      } else {
        if (m_bNandFileOpen) m_NandFile.Close();
        m_bNandFileOpen = FALSE;
        Fail(L" DUMP ERROR Fail!(0x%X)\r\n", b);
      }
      break;
    case 51:
      if (m_nChunkCount < m_Unit.size())
        m_Unit[m_nChunkCount++] = b;
      else
        OnUnitSum(b);
      break;
    case 52:
      if (b == qvsx::kNandEnd) {
        FinishNandDump();
      } else {
        if (m_bNandFileOpen) m_NandFile.Close();
        m_bNandFileOpen = FALSE;
        AppendLog(L"** NAND FULL DUMP ERROR! **\r\n");
        m_nState = kExplorerIdle;
        EnableBrowsing(TRUE);
      }
      break;
    default:  // 71 and anything else: ignored
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Reading a file or a folder.

bool CQVSExplorerDlg::RequestRead(const CString& name, int nextState) {
  std::string utf8;
  std::vector<std::uint8_t> frame;
  if (!ToPhoneName(PhonePath(name), utf8) || !qvsx::NameFrame(qvsx::kReadFile, utf8, frame))
    return false;
  m_strTargetName = name;
  AppendLog(Formatted(L"\r\n Reading the file '%s'... ", PhonePath(name)));
  Send(frame.data(), frame.size());
  m_nState = nextState;
  return true;
}

void CQVSExplorerDlg::OnDumpFile() {
  if (m_nState != kExplorerIdle) return;
  CString name = SelectedFile();
  if (name.IsEmpty()) return;
  EnableBrowsing(FALSE);
  if (!RequestRead(name, 37)) {
    AppendLog(Formatted(L"**File name is too long(%s) **\r\n", PhonePath(name)));
    m_nState = kExplorerIdle;
    EnableBrowsing(TRUE);
  }
}

void CQVSExplorerDlg::OnFolderDump() {
  if (m_nState != kExplorerIdle || m_FileList.GetCount() == 0) return;
  CString folder;
  if (!ChooseFolder(L"dump받을 디렉토리를 선택하세요", folder)) return;
  m_strFolder = folder + L"\\";
  m_nFolderIndex = m_FileList.GetCount() - 1;
  EnableBrowsing(FALSE);
  ReadFolderEntry();
}

// Requests the entry at m_nFolderIndex, or the first earlier one that can be named.
void CQVSExplorerDlg::ReadFolderEntry() {
  for (;;) {
    CString name = m_FileList.GetText(m_nFolderIndex);
    if (RequestRead(name, 39)) return;
    AppendLog(Formatted(L"\r\n Reading the file '%s'....err ", PhonePath(name)));
    if (m_nFolderIndex == 0) {
      m_nState = kExplorerIdle;
      EnableBrowsing(TRUE);
      return;
    }
    --m_nFolderIndex;
  }
}

void CQVSExplorerDlg::OnFileSizeKnown() {
  const bool folder = m_nState == 40;
  m_nFileSize = static_cast<std::uint32_t>(m_SizeBytes[0]) << 24 |
                static_cast<std::uint32_t>(m_SizeBytes[1]) << 16 |
                static_cast<std::uint32_t>(m_SizeBytes[2]) << 8 | m_SizeBytes[3];
  CString line;
  line.Format(L"\r\nSize: %d bytes\r\n", static_cast<int>(m_nFileSize));
  AppendLog(line);
  CString target;
  if (folder) {
    target = m_strFolder + m_strTargetName;
  } else if (!ChooseSaveFile(kHexFilter, L"hex", m_strTargetName, target)) {
    EnableBrowsing(TRUE);
    m_nState = kExplorerIdle;
    AfxMessageBox(L"No file selected!");
    return;
  }
  if (!m_ReadTarget.Open(target, CFile::modeCreate | CFile::modeWrite)) {
    EnableBrowsing(TRUE);
    m_nState = kExplorerIdle;
    AfxMessageBox(L"Internal Error! (file creation)");
    return;
  }
  m_bReadTargetOpen = TRUE;
  AppendLog(L"** Dumping QVS File **\r\n");
  m_Progress.SetRange32(0, static_cast<int>(m_nFileSize));
  m_Progress.SetPos(0);
  m_nRemaining = m_nFileSize;
  m_nDone = 0;
  m_nState = folder ? 42 : 41;
  if (m_nFileSize == 0) {  // the phone sends no chunk
    FinishRead();
    return;
  }
  TakeNextChunk();
  SendByte(qvsx::kNextChunk);
}

void CQVSExplorerDlg::TakeNextChunk() {
  m_nChunkLength = std::min<std::uint32_t>(m_nRemaining, qvsx::kChunkSize);
  m_nRemaining -= m_nChunkLength;
  m_bLastChunk = m_nRemaining == 0;
  m_nChunkCount = 0;
}

void CQVSExplorerDlg::OnChunkSum(std::uint8_t sum) {
  const bool good = sum == kesta::Sum8({m_Chunk, m_nChunkLength});
  if (!good || !m_ReadTarget.Write(m_Chunk, m_nChunkLength)) {
    m_ReadTarget.Close();
    m_bReadTargetOpen = FALSE;
    SendByte(qvsx::kChunkBad);
    AppendLog(good ? L"** File write error! **\r\n" : L"Checksum mismatched!\r\n");
    m_nState = kExplorerIdle;
    EnableBrowsing(TRUE);
    AfxMessageBox(good ? L"File write error!" : L"Checksum Mismatched!");
    return;
  }
  m_Progress.OffsetPos(static_cast<int>(m_nChunkLength));
  m_nDone += m_nChunkLength;
  SendByte(qvsx::kChunkGood);
  if (m_bLastChunk)
    FinishRead();
  else
    TakeNextChunk();
}

void CQVSExplorerDlg::FinishRead() {
  if (m_nState == 42 && m_nFolderIndex > 0) {
    m_ReadTarget.Close();
    m_bReadTargetOpen = FALSE;
    --m_nFolderIndex;
    CString line;
    line.Format(L"** Dump Completed! **\r\n continue %d \r\n", m_nFolderIndex);
    AppendLog(line);
    m_Progress.SetPos(0);
    ReadFolderEntry();
    return;
  }
  EnableBrowsing(TRUE);
  AppendLog(L"** Dump Completed! **\r\n");
  m_nState = kExplorerIdle;
  m_ReadTarget.Close();
  m_bReadTargetOpen = FALSE;
  AfxMessageBox(L"Dump Completed!");
}

// ---------------------------------------------------------------------------------------------
// Add, delete, status.

void CQVSExplorerDlg::OnAddFile() {
  if (m_nState != kExplorerIdle) return;
  CString source;
  if (!ChooseOpenFile(L"all files (*.*)|*.*||", source)) {
    m_nState = kExplorerIdle;
    AfxMessageBox(L"Fail to open resource file!");
    return;
  }
  static const wchar_t* const kDrives[] = {L"/a", L"/b", L"/c"};
  int drive = g_nCurrentDrive >= 1 && g_nCurrentDrive <= 3 ? g_nCurrentDrive - 1 : 0;
  CString phonePath = CString(kDrives[drive]) + PhonePath(BaseName(source));
  std::string utf8;
  qvs::QvsFrame frame;
  if (!ToPhoneName(phonePath, utf8)) {
    AppendLog(Formatted(L"**File name is too long(%s) **\r\n", phonePath));
    m_nState = kExplorerIdle;
    return;
  }
  AppendLog(Formatted(L"\r\nAdding the file '%s'... ", phonePath));
  if (!m_AddSource.Open(source, CFile::modeRead | CFile::shareDenyWrite)) {
    m_nState = kExplorerIdle;
    AfxMessageBox(L"Fail to open qvs file!");
    return;
  }
  std::uint64_t length = m_AddSource.GetLength();
  std::string withZero = utf8 + '\0';
  if (length > 0xFFFFFFFFu ||
      !qvs::AddFileFrame(withZero, static_cast<std::uint32_t>(length), frame)) {
    m_AddSource.Close();
    AppendLog(L"Fail to open qvs file!\r\n");
    m_nState = kExplorerIdle;
    return;
  }
  m_bAddSourceOpen = TRUE;
  m_nRemaining = static_cast<std::uint32_t>(length);
  m_ExpectedReply = frame.reply;
  EnableBrowsing(FALSE);
  Send(frame.bytes.data(), frame.bytes.size());
  m_nState = 44;
}

void CQVSExplorerDlg::SendNextBlock() {
  bool last = false;
  std::size_t n = qvs::NextBlockSize(m_nRemaining, last);
  m_Block.resize(n);
  if (n && m_AddSource.Read(m_Block.data(), static_cast<UINT>(n)) != n) {
    m_AddSource.Close();
    m_bAddSourceOpen = FALSE;
    Fail(L"Add Fail! (0x%X)\r\n", 0);
    return;
  }
  qvs::QvsFrame frame = qvs::DataBlockFrame(m_Block, last);
  m_ExpectedReply = frame.reply;
  m_bLastBlock = last;
  Send(frame.bytes.data(), frame.bytes.size());
  m_nState = 45;
}

void CQVSExplorerDlg::OnDeleteFile() {
  if (m_nState != kExplorerIdle) return;
  CString name = SelectedFile();
  if (name.IsEmpty()) return;
  if (AfxMessageBox(L"Sure to Delete?", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
  std::string utf8;
  std::vector<std::uint8_t> frame;
  if (!ToPhoneName(PhonePath(name), utf8) || !qvsx::NameFrame(qvsx::kDelete, utf8, frame)) {
    AppendLog(Formatted(L"**File name is too long(%s) **\r\n", PhonePath(name)));
    return;
  }
  EnableBrowsing(FALSE);
  AppendLog(Formatted(L"\r\nDeleting the file '%s'... ", PhonePath(name)));
  Send(frame.data(), frame.size());
  m_nState = 43;
}

void CQVSExplorerDlg::OnFileStatus() {
  if (m_nState != kExplorerIdle) return;
  CString name = SelectedFile();
  if (name.IsEmpty()) return;
  std::string utf8;
  std::vector<std::uint8_t> frame;
  if (!ToPhoneName(PhonePath(name), utf8) || !qvsx::NameFrame(qvsx::kFileStatus, utf8, frame)) {
    AppendLog(Formatted(L"**File name is too long(%s) **\r\n", PhonePath(name)));
    return;
  }
  EnableBrowsing(FALSE);
  AppendLog(Formatted(L"\r\n Reading the file status '%s'... \n", PhonePath(name)));
  AppendLog(L"---------------------------- \n");
  Send(frame.data(), frame.size());
  m_nState = 47;
}

// ---------------------------------------------------------------------------------------------
// NAND dump.

bool CQVSExplorerDlg::ChooseNand() {
  std::optional<qvsx::NandDumpGeometry> nand = qvsx::NandDumpGeometryOf(m_SecondDeviceId);
  if (!nand) {
    CString line;
    line.Format(L"Nand_FULLSIZE not matched! %x\r\n", m_SecondDeviceId);
    AppendLog(line);
    m_nState = kExplorerIdle;
    return false;
  }
  m_Nand = *nand;
  return true;
}

void CQVSExplorerDlg::OnNandFullDump() {
  if (m_nState != kExplorerIdle) return;
  CString path;
  if (!ChooseSaveFile(kNandFilter, L"hex", nullptr, path)) {
    AfxMessageBox(L"No file selected");
    return;
  }
  if (!m_NandFile.Open(path, CFile::modeCreate | CFile::modeWrite)) {
    AfxMessageBox(L"File Open Error!");
    return;
  }
  m_bNandFileOpen = TRUE;
  m_StartTime = Now();
  if (!ChooseNand()) {
    m_NandFile.Close();
    m_bNandFileOpen = FALSE;
    return;
  }
  m_nDone = 0;
  const std::uint8_t frame[2] = {qvsx::kNandFullDump, m_Nand.sizeCode};
  Send(frame, sizeof(frame));
  m_nState = 50;
}

void CQVSExplorerDlg::OnDumpContinue() {
  if (m_nState != kExplorerIdle) return;
  CString path;
  if (!ChooseSaveFile(kNandFilter, L"hex", nullptr, path)) {
    AfxMessageBox(L"No file selected");
    return;
  }
  CFile old, temp;
  const CString tempPath = TempCompanion(path);
  if (!old.Open(path, CFile::modeRead | CFile::shareDenyWrite) ||
      !temp.Open(tempPath, CFile::modeCreate | CFile::modeWrite)) {
    AfxMessageBox(L"File Open Error!");
    return;
  }
  auto dropTemp = [&] {
    old.Close();
    temp.Close();
    CFile::Remove(tempPath);
  };
  if (!ChooseNand()) {
    dropTemp();
    return;
  }
  qvsx::NandResumePoint resume = qvsx::NandResume(old.GetLength(), m_Nand);
  if (resume.tooLarge) {
    AppendLog(L"present file is larger than Nand size\r\n");
    m_nState = kExplorerIdle;
    dropTemp();
    return;
  }
  // The kept bytes, unit by unit, into the companion, which then replaces the dump file.
  std::vector<std::uint8_t> unit(m_Nand.UnitBytes());
  for (std::uint64_t copied = 0; copied < resume.bytesKept; copied += unit.size()) {
    if (old.Read(unit.data(), static_cast<UINT>(unit.size())) != unit.size() ||
        !temp.Write(unit.data(), static_cast<UINT>(unit.size()))) {
      dropTemp();
      AfxMessageBox(L"File Open Error!");
      return;
    }
  }
  old.Close();
  temp.Close();
  if (!MoveFileExW(tempPath, path, MOVEFILE_REPLACE_EXISTING)) {
    CFile::Remove(tempPath);
    AfxMessageBox(L"File Open Error!");
    return;
  }
  if (!m_NandFile.Open(path, CFile::modeReadWrite)) {
    AfxMessageBox(L"File does't exist!");
    return;
  }
  m_bNandFileOpen = TRUE;
  m_NandFile.SeekToEnd();
  m_StartTime = Now();
  m_nDone = resume.bytesKept;
  std::vector<std::uint8_t> frame = qvsx::NandContinueFrame(m_Nand.sizeCode, resume.pagesKept);
  Send(frame.data(), frame.size());
  m_nState = 53;
}

void CQVSExplorerDlg::OnNandGo() {
  EnableBrowsing(FALSE);
  AppendLog(L"** Start Dump!\n  Wait!!!!!!! Long time\n");
  CString line;
  line.Format(L"NAND FULL SIZE : %ld\n", static_cast<long>(m_Nand.fullSize));
  AppendLog(line);
  m_Progress.SetRange32(0, static_cast<int>(m_Nand.fullSize));
  m_Progress.SetPos(static_cast<int>(m_nDone));
  m_Unit.assign(m_Nand.UnitBytes(), 0);
  m_nChunkCount = 0;
  m_nState = 51;
}

void CQVSExplorerDlg::OnUnitSum(std::uint8_t sum) {
  m_nChunkCount = 0;
  const bool good = sum == kesta::Sum8(m_Unit);
  if (!good || !m_NandFile.Write(m_Unit.data(), static_cast<UINT>(m_Unit.size()))) {
    m_NandFile.Close();
    m_bNandFileOpen = FALSE;
    SendByte(qvsx::kNandBad);
    AppendLog(good ? L"** File write error! **\r\n" : L"Dump Checksum mismatched!\r\n");
    m_nState = kExplorerIdle;
    EnableBrowsing(TRUE);
    AfxMessageBox(good ? L"File write error!" : L"Dump Checksum Mismatched!");
    return;
  }
  m_nDone += m_Unit.size();
  m_Progress.SetPos(static_cast<int>(m_nDone));
  if (m_nDone >= m_Nand.fullSize) {
    m_nState = 52;
    AfxMessageBox(L"DUMP END");
    return;
  }
  if (m_nDone % m_Nand.BlockBytes() == 0) {
    CString line;
    line.Format(L"DUMPED BLOCKS : %ld/%d \n", static_cast<long>(m_nDone / m_Nand.BlockBytes()),
                static_cast<int>(m_Nand.Blocks()));
    AppendLog(line);
  }
  SendByte(qvsx::kNandGo);
}

void CQVSExplorerDlg::FinishNandDump() {
  AppendLog(L"** NAND FULL DUMP Completed! **\r\n");
  m_NandFile.Close();
  m_bNandFileOpen = FALSE;
  const std::string elapsed = ElapsedMinSec(Now() - m_StartTime);
  AppendLog(
      (L"\r\n** Dump Time " + std::wstring(elapsed.begin(), elapsed.end()) + L" **\r\n").c_str());
  CString line;
  line.Format(L"** (Total %d bytes) **\r\n", static_cast<int>(m_nDone));
  AppendLog(line);
  m_nState = kExplorerIdle;
  EnableBrowsing(TRUE);
}

// ---------------------------------------------------------------------------------------------
// Menu, exit, default dialogs.

LRESULT CQVSExplorerDlg::OnContextMenu(WPARAM wParam, LPARAM lParam) {
  if (reinterpret_cast<HWND>(wParam) != m_FileList.m_hWnd) return 0;
  POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  if (lParam == -1) {
    RECT r;
    ::GetWindowRect(m_FileList, &r);
    at = {r.left, r.top};
  }
  HMENU menu = ::LoadMenuW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_QVS_POPUP));
  if (!menu) return 0;
  HMENU popup = ::GetSubMenu(menu, 0);
  CString name = SelectedFile();
  if (name.IsEmpty()) {
    for (UINT id : {ID_QVSX_DUMP, ID_QVSX_DELETE, ID_QVSX_STATUS})
      ::EnableMenuItem(popup, id, MF_BYCOMMAND | MF_GRAYED);
  } else {
    ::InsertMenuW(popup, 0, MF_BYPOSITION | MF_STRING, 0, Formatted(L"< %s >", name));
    ::InsertMenuW(popup, 1, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
  }
  UINT command = TrackMenu(popup, at);
  ::DestroyMenu(menu);
  if (command) SendMessage(WM_COMMAND, MAKEWPARAM(command, 0), 0);
  return 0;
}

UINT CQVSExplorerDlg::TrackMenu(HMENU menu, POINT at) {
  return static_cast<UINT>(::TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD,
                                            at.x, at.y, 0, m_hWnd, nullptr));
}

// EXIT unmounts and closes on the phone's reply; pressed again while that reply is awaited
// (no phone), it closes at once.
void CQVSExplorerDlg::OnOK() {
  if (m_nState == 34 || !g_MasterComm.IsConnected()) {
    Close();
    return;
  }
  CloseFiles();
  m_nState = 34;
  SendByte(qvsx::kUnmount);
}

void CQVSExplorerDlg::OnCancel() {
  if (m_nState == 34 || !g_MasterComm.IsConnected())
    Close();
  else
    OnOK();
}

void CQVSExplorerDlg::OnDestroy() {
  CloseFiles();
  if (g_hReplyWnd.load() == m_hWnd) g_hReplyWnd = m_hSavedReplyWnd;
  CDialog::OnDestroy();
}

bool CQVSExplorerDlg::ChooseOpenFile(const wchar_t* filter, CString& chosen) {
  CFileDialog dlg(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_FILEMUSTEXIST, filter, this);
  if (dlg.DoModal() != IDOK) return false;
  chosen = dlg.GetPathName();
  return true;
}

bool CQVSExplorerDlg::ChooseSaveFile(const wchar_t* filter, const wchar_t* defExt,
                                     const wchar_t* initial, CString& chosen) {
  CFileDialog dlg(FALSE, defExt, initial, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter, this);
  if (dlg.DoModal() != IDOK) return false;
  chosen = dlg.GetPathName();
  return true;
}

bool CQVSExplorerDlg::ChooseFolder(const wchar_t* title, CString& chosen) {
  BROWSEINFOW bi{};
  bi.hwndOwner = m_hWnd;
  bi.lpszTitle = title;
  bi.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&bi);
  if (!list) return false;
  wchar_t path[MAX_PATH] = {};
  BOOL ok = SHGetPathFromIDListW(list, path);
  CoTaskMemFree(list);
  if (!ok) return false;
  chosen = path;
  return true;
}
