// The downloader's main dialog: all state of the downloader, its controls and handlers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Afx.h"
#include "PathHistory.h"
#include "QvsConfig.h"
#include "SectorInfo.h"
#include "SerialComm.h"
#include "resource.h"

// Download history file, opened once at start ("create if missing, no truncation"); null when
// it could not be opened.
extern CFile* g_pHistoryFile;
constexpr const wchar_t* kHistoryFilePath = L"C:\\DownloadHistory.txt";
// The history file's path (kHistoryFilePath; a test may choose its own).
extern std::wstring g_strHistoryPath;
bool OpenHistoryFile();
void CloseHistoryFile();

// Current QVS drive: 1 A:, 2 B:, 3 C:.
extern std::uint8_t g_nCurrentDrive;

constexpr int kStateIdle = 63;
constexpr int kStateWaitConnect = 1;
constexpr UINT_PTR kReopenTimer = 1;
constexpr UINT kReopenMs = 500;

class CDownloaderDlg : public CDialog {
 public:
  explicit CDownloaderDlg(CWnd* parent = nullptr);
  ~CDownloaderDlg() override;

  enum { IDD = IDD_DOWNLOADER_DIALOG };

  // Protocol state (moved on the user-interface thread only).
  std::int32_t m_OperationState = 0;  // 63 idle or failed, 1 waiting for the boot ROM
  std::int32_t m_OperationCode = 0;   // 0 BIN, 1 NOR erase, 2 QVS-area erase, 3 NOR dump,
                                      // 4 QVS, 6 format, 8 status, 9 BIN + QVS
  BOOL m_BootDone = FALSE;
  std::uint8_t m_SlaveTarget = 0;
  std::uint8_t m_ExpectedReply = 0;

  // Settings mirrored from the controls.
  int m_nComPort = 0;
  int m_nSpeed = 0;
  int m_nMasterMode = 0;  // 0 BIN, 1 QVS, 2 BIN + QVS
  int m_nSlaveMode = 0;
  int m_bPowerOn = 0;
  int m_bAutoDownload = 0;
  int m_bNoAutoFormat = 0;
  int m_bLoader = 0;
  int m_bBinary = 1;
  int m_bEngine = 0;
  int m_bMaster = 0;
  int m_bSlave = 0;
  int m_nDrive = -1;  // 0 A:, 1 B:, 2 C:, -1 none chosen
  // Start-address switches of 1038, 1062, 1069.
  BOOL m_bStartAddr1 = FALSE;
  BOOL m_bStartAddr2 = FALSE;
  BOOL m_bStartAddr3 = FALSE;
  // The slave group's start-address switch (1040), with its own edit 1041.
  BOOL m_bSlaveStartAddr = FALSE;
  // The loader, binary and engine switches the download uses.
  BOOL m_bLoaderSwitch = FALSE;
  BOOL m_bBinarySwitch = TRUE;
  BOOL m_bEngineSwitch = FALSE;

  // Path lists of the six path combos, the current paths and the ".cfg" companions.
  PathHistory m_LoaderPaths, m_BinaryPaths, m_EnginePaths, m_QvsPaths, m_SlaveBinPaths,
      m_SlaveQvsPaths;
  CString m_strQvsPath, m_strCfgPath;
  CString m_strSlaveBinPath, m_strSlaveQvsPath, m_strSlaveCfgPath;

  // Each record below holds what one kind of run steps; the run's start resets it whole.

  // Boot handshake of the chip on the line (START, the connection to the slave).
  struct BootRun {
    DWORD connectSentTick = 0;  // when our 0x44 left
    std::uint8_t queryReply[16] = {};
    int queryCount = 0;
    std::size_t preLoaderWord = 0;
    std::size_t bootLoaderSize = 0;
    std::size_t sendPos = 0;
    std::size_t remaining = 0;
    std::uint8_t chipVersion[4] = {};
    int chipVersionCount = 0;
    std::uint8_t flashId[10] = {};
    int flashIdCount = 0;
  } m_Boot;
  // 0x81 bytes for this long after our 0x44 are requests the chip sent before it saw the 0x44
  // (a backlog of them waits in the line while the program is busy, 50 a second); later ones
  // mean the 0x44 was lost and are answered again.
  static constexpr DWORD kStaleConnectMs = 2000;
  std::uint16_t m_SecondDeviceId = 0;  // of the last flash ID, for the format and the explorer

  // One DOWNLOAD (START too): the master group's items still to write (0 LOADER, 1 BINARY,
  // 2 ENGINE), the binary being written and where its next piece goes.
  struct BinaryRun {
    BOOL pending[3] = {};
    int currentItem = 1;
    CString path;
    std::uint32_t writeOffset = 0;
    std::uint32_t nextSectorOffset = 0;
    int sectorIndex = 0;
    int piecesPerSector = 0;
    int pieceCount = 0;
    BOOL lastPiece = FALSE;
    std::uint32_t remaining = 0;
    std::uint32_t fileSize = 0;  // of the last binary, for the total line
    std::uint32_t bytesSent = 0;
    std::int64_t startTime = 0;
  } m_Bin;
  std::uint8_t m_SendBuffer[8192] = {};

  // A QVS download from its .cfg check on (Stop drops it): the .cfg text and what it says to
  // send, and how far the sending is.
  struct QvsRun {
    std::string cfgText;
    qvs::QvsPlan plan;
    std::size_t dirIndex = 0;     // next directory of the plan to make
    std::size_t fileIndex = 0;    // next file of the plan to add
    std::uint32_t remaining = 0;  // bytes of the current file still to send
    BOOL lastBlock = FALSE;
    std::uint32_t bytesSent = 0;
  } m_Qvs;

  // A format or status request (Format, Status, DOWNLOAD).
  struct FormatRun {
    BOOL userFormat = FALSE;  // the Format button started it: no download follows
    BOOL sumPending = FALSE;  // the phone's sum of the count bytes comes first
    std::uint8_t errorRecord[5] = {};
    std::uint8_t statusRecord[44] = {};
    int recordCount = 0;
  } m_Format;
  qvs::QvsDriveSize m_QvsDrive;  // A-drive blocks and bytes of the last count
  BOOL m_bDriveSelected = FALSE;

  // A NOR erase or dump of the selected sectors.
  struct SectorRun {
    int currentSector = 0;
    int selectedSectors = 0;
    std::uint32_t totalKBytes = 0;
    std::uint32_t dumpBlocks = 0;  // blocks of the current sector received
    CString dumpPath;
    std::int64_t startTime = 0;
  } m_Nor;
  std::uint8_t m_DumpBuffer[8192] = {};

  // Files an operation holds open.
  CFile m_BinFile, m_SlaveBinFile, m_QvsFile, m_DumpFile;
  BOOL m_bBinFileOpen = FALSE, m_bSlaveBinFileOpen = FALSE, m_bQvsFileOpen = FALSE,
       m_bDumpFileOpen = FALSE;

  // History: entries of this run of the program, the sectors of the erase and dump entries, and
  // the file an entry names.
  struct HistoryState {
    int count = 0;
    std::uint32_t eraseFlags[kMaxSectorCount] = {};
    std::uint32_t dumpFlags[kMaxSectorCount] = {};
    CString path;
  } m_History;

  CRichEditCtrl m_Log;
  CProgressCtrl m_Progress;
  CToolTipCtrl m_ToolTip;
  std::uint32_t m_Crc32Table[256] = {};

  void DisableControls();
  void EndOperation();
  void EnableSlaveControls(BOOL enable);
  void LoadPathHistory();
  void AppendLog(const wchar_t* text);
  int FindSectorIndex(std::uint32_t byteOffset) const;
  static std::uint32_t ParseHex(const CString& text);
  // ANSI code page -> UTF-8 through UTF-16; empty when the conversion fails.
  static std::string AnsiToUtf8(std::string_view ansi);
  // CRC-32 of a whole file; 0 (state 63 and a box) when it cannot be opened.
  std::uint32_t FileCrc32(const CString& path);

  // Boot and operation engines.
  void ProcessBootByte(std::uint8_t b);
  void ProcessOperationByte(std::uint8_t b);
  void SendPreLoader();
  void SendBootLoader();
  void EvaluateFlashIdReply();
  void StartDownload();
  void DownloadNext();
  // False (state 63, a log line, the operation ended) when no known sector starts there.
  bool SendNorCommand(std::uint32_t address);
  int GetSectorSizeClass(std::uint32_t address) const;
  void SendFileChunk();
  void WriteHistory(int type);
  // retry: up to 1000 opens in a row (after a download), else one.
  void ConnectSlave(bool retry = false);
  // BL_SWITCH_SLAVE, the line closed, a pause, then ConnectSlave.
  void HandOverToSlave(DWORD pauseMs, bool retry);
  void FormatQvs();

  // QVS download.
  bool ParseQvsConfig();
  bool SendQvsDirectory();
  bool SendQvsFile();
  void SendBlock();
  // Format: the A-drive count of the master .cfg; false when it could not be made.
  bool ComputeQvsDriveSize();
  // NOR erase and dump.
  void EraseQvsArea(int code = 1);
  void RequestDumpBlock(std::uint32_t address);

  // Handlers.
  BOOL OnInitDialog() override;
  BOOL PreTranslateMessage(MSG* msg) override;
  void DoDataExchange(CDataExchange* dx) override;
  void OnPaint() override;
  HCURSOR OnQueryDragIcon() override;
  void OnTimer(UINT_PTR id) override;
  void OnDestroy() override;
  LRESULT OnCommReceive(WPARAM wParam, LPARAM lParam);
  BOOL OnToolTipNeedText(UINT id, NMHDR* hdr, LRESULT* result);
  void OnSelchangeComPort();
  void OnSelchangeSpeed();
  void OnDownloadType();
  void OnBinBrowse();
  void OnQvsBrowse();
  void OnBinaryBrowse();
  void OnEngineBrowse();
  void OnSlaveBinBrowse();
  void OnSlaveQvsBrowse();
  void OnStart();
  void OnStop();
  void OnDownload();
  void OnErase();
  void OnDump();
  void OnFormat();
  void OnExplorer();
  void OnAbout();
  void OnStatus();
  void OnPowerOn();
  void OnAutoDownloader();
  void OnNoAutoFormat();
  void OnStartNorAddr();
  void OnStartAddr2();
  void OnStartAddr3();
  void OnSlaveStartAddr();
  void OnCrcCheckSum(UINT id);
  void OnSlaveCrcCheckSum(UINT id);
  void OnSelchangeBinPath();
  void OnSelchangeQvsPath();
  void OnSelchangeBinaryPath();
  void OnSelchangeEnginePath();
  void OnHistory();
  void OnDelHistory();
  void OnMaster();
  void OnSlave();
  void OnLoader();
  void OnBinary();
  void OnEngine();
  void OnDriveA();
  void OnDriveB();
  void OnDriveC();
  void OnQvsFileCheck();

 protected:
  // The open-file dialog of the browse buttons; a test may answer it.
  virtual bool ChooseOpenFile(const wchar_t* filter, const wchar_t* defExt, const CString& initial,
                              CString& chosen);
  // The save-file dialog of Dump; a test may answer it.
  virtual bool ChooseSaveFile(const wchar_t* filter, const wchar_t* defExt, CString& chosen);
  // The sector dialog of Erase and Dump (flags in g_SectorFlags); true when it ended with OK.
  virtual bool RunSectorDialog();

 private:
  struct PathList {
    PathHistory* list;
    int combo;
    const wchar_t* names[3];
  };
  PathList ListFor(int combo);
  void LoadPathLists();
  void FillCombo(const PathList& p);
  void StorePathList(const PathList& p);
  void BrowsePathList(int combo, const wchar_t* filter, const wchar_t* defExt, int sizeEdit,
                      const wchar_t* failText);
  void SelectPathEntry(int combo);
  void ShowFileSize(const CString& path, int sizeEdit, const wchar_t* failText);
  void EnableItems(std::initializer_list<int> ids, BOOL enable);
  void SetMasterGroupBySwitches();
  void RestoreIdleControls();
  void SelectDrive(int drive);
  void ToggleStartAddr(BOOL& sw, int edit, const wchar_t* text);
  void Send(const void* bytes, std::size_t count);
  void SendByte(std::uint8_t b);
  void SendBigEndian32(std::uint32_t value);
  void FailAndEnd();
  void DispatchOperation();
  void StartBinaryDownload();
  void OnBinaryOffsetReply();
  void OnPieceAck();
  void OnSectorSum();
  void LogTimeAndTotal(std::uint32_t total);
  void FinishDownload();
  CFile& SendFile();
  BOOL& SendFileOpen();
  int TakeNextPendingItem();
  CString ItemPath(int item);
  bool ShowLength(const CString& path, int sizeEdit, std::uint32_t& length);
  const CString& QvsPath() const { return m_SlaveTarget ? m_strSlaveQvsPath : m_strQvsPath; }
  const CString& CfgPath() const { return m_SlaveTarget ? m_strSlaveCfgPath : m_strCfgPath; }
  void StartQvsDownload(bool afterFormat);
  void ProcessQvsByte(std::uint8_t b);
  void FinishQvsDownload();
  void StartFormat();
  void OnFormatReply(std::uint8_t b);
  void StartStatus();
  // Selected sectors from g_SectorFlags into the history list; the first, or -1 for none.
  int TakeSelectedSectors(std::uint32_t* historyFlags);
  int NextSelectedSector(int after) const;
  std::uint32_t SectorAddress(int index) const;
  std::uint32_t SectorBytes(int index) const;
  void StartSectorRun(int code);
  void EraseCurrentSector();
  void OnEraseReply(std::uint8_t b);
  void DumpCurrentSector();
  void OnDumpBlock();
  void LogElapsed(const wchar_t* what);

  HICON m_hIcon = nullptr;
  std::wstring m_tipText;

  DECLARE_MESSAGE_MAP()
};
