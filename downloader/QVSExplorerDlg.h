// The QVS explorer: browses the phone's QVS file system through the master link. While open it
// is the reply window and steps its own byte-driven state machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Afx.h"
#include "QVSExplorerRes.h"
#include "QvsExplorerData.h"

constexpr int kExplorerIdle = 71;

class CQVSExplorerDlg : public CDialog {
 public:
  // secondDeviceId: the NAND part of the flash ID (chooses the NAND dump's size).
  explicit CQVSExplorerDlg(CWnd* parent = nullptr, std::uint16_t secondDeviceId = 0);
  ~CQVSExplorerDlg() override;

  enum { IDD = IDD_QVS_EXPLORER };

  std::int32_t m_nState = 0;  // 71 idle
  HWND m_hSavedReplyWnd = nullptr;
  std::uint16_t m_SecondDeviceId = 0;

  // Tree, file list, log, progress.
  HTREEITEM m_hCurrentItem = nullptr;
  BOOL m_bHasChildren = FALSE;
  CListBox m_FileList;
  CEdit m_Log;
  CProgressCtrl m_Progress;
  int m_nFileCount = 0;
  int m_nMaxWidth = 0;
  CString m_strCurrentPath = L"/";  // ends in "/"

  // Directory records, chunks.
  qvsx::RecordReader m_Record;
  std::uint8_t m_ExpectedReply = 0;
  std::uint8_t m_Chunk[qvsx::kChunkSize] = {};
  std::uint32_t m_nChunkLength = 0;
  std::uint32_t m_nChunkCount = 0;  // bytes of the chunk received
  std::uint32_t m_nRemaining = 0;
  BOOL m_bLastChunk = FALSE;
  std::uint64_t m_nDone = 0;
  std::uint8_t m_SizeBytes[4] = {};
  int m_nSizeCount = 0;
  std::uint32_t m_nFileSize = 0;
  std::uint8_t m_Status[qvsx::kFileStatusLength] = {};
  int m_nStatusCount = 0;

  // Files: written by a read, read by an add, the NAND dump.
  CFile m_ReadTarget, m_AddSource, m_NandFile;
  BOOL m_bReadTargetOpen = FALSE, m_bAddSourceOpen = FALSE, m_bNandFileOpen = FALSE;
  CString m_strTargetName;  // the file being read (list entry)

  // NAND dump.
  qvsx::NandDumpGeometry m_Nand{};
  std::vector<std::uint8_t> m_Unit;
  std::int64_t m_StartTime = 0;

  // Folder dump.
  CString m_strFolder;  // ends in "\\"
  int m_nFolderIndex = 0;

  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnDestroy() override;
  LRESULT OnCommReceive(WPARAM wParam, LPARAM lParam);
  LRESULT OnContextMenu(WPARAM wParam, LPARAM lParam);
  BOOL OnSelchangedTree(UINT id, NMHDR* hdr, LRESULT* result);
  void OnDumpFile();
  void OnDeleteFile();
  void OnFileStatus();
  void OnAddFile();
  void OnFolderDump();
  void OnNandFullDump();
  void OnDumpContinue();

  // One received byte.
  void Step(std::uint8_t b);
  void AppendLog(const wchar_t* text);
  // Phone names: UTF-16 -> UTF-8 and back, bounded to kMaxNameBytes with the zero byte;
  // "MultibyteToUTF8 ERROR" in the log and false when the name does not fit.
  bool ToPhoneName(const CString& name, std::string& utf8);
  bool FromPhoneName(const std::string& utf8, CString& name);

 protected:
  // The dialogs and the menu a test may answer instead of a user.
  virtual bool ChooseOpenFile(const wchar_t* filter, CString& chosen);
  virtual bool ChooseSaveFile(const wchar_t* filter, const wchar_t* defExt, const wchar_t* initial,
                              CString& chosen);
  virtual bool ChooseFolder(const wchar_t* title, CString& chosen);
  // The command chosen from the pop-up menu, 0 for none.
  virtual UINT TrackMenu(HMENU menu, POINT at);

 private:
  void Send(const void* bytes, std::size_t count);
  void SendByte(std::uint8_t b);
  void EnableBrowsing(BOOL enable);
  void Fail(const wchar_t* fmt, unsigned value);
  void CloseFiles();
  void Close();
  HWND Tree() const { return GetDlgItemHwnd(IDC_QVSX_TREE); }
  CString ItemText(HTREEITEM item) const;
  void ListCurrentDirectory();
  void OnRecord();
  CString SelectedFile() const;
  CString PhonePath(const CString& name) const { return m_strCurrentPath + name; }
  bool RequestRead(const CString& name, int nextState);
  void ReadFolderEntry();
  void OnFileSizeKnown();
  void TakeNextChunk();
  void OnChunkSum(std::uint8_t sum);
  void FinishRead();
  void SendNextBlock();
  void OnNandGo();
  void OnUnitSum(std::uint8_t sum);
  void FinishNandDump();
  bool ChooseNand();

  bool m_bInReceive = false;
  bool m_bReceiveMissed = false;  // a message came while m_bInReceive
  bool m_bLastBlock = FALSE;      // the add's block just sent was its last (short or empty)
  std::vector<std::uint8_t> m_Block;
  int m_nExitCount = 0;

  DECLARE_MESSAGE_MAP()
};
