// The tab pages of the detailed exception dialog: the general, assembler and CPU sections as
// rich text, the call stacks, modules and processes as tree lists, and the call-stack page's
// source jump through a mailslot.
#include "VTabPages.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ExceptionLog.h"
#include "ReportText.h"
#include "VDialogText.h"
#include "VDialogs.h"
#include "VListView.h"
#include "core/ExceptionLog.h"
#include "core/VCallStack.h"
#include "core/VCore.h"
#include "core/VModules.h"
#include "core/VOptions.h"
#include "core/VTextUtils.h"

namespace ExceptionLog {

namespace {

// One list per list page (a page lives while its tab is selected).
std::unique_ptr<TListViewItems> list_items;

const TVantorModuleOptions* Options() { return CurrentOptions(); }

std::string Hex8(std::uintptr_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

HWND PageControl(HWND page) { return GetDlgItem(page, kPageControl); }

void SetLabel(HWND page, int text) {
  SetDlgItemTextA(page, kPageLabel, DialogText(text).c_str());
  SendDlgItemMessageA(page, kPageLabel, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFonts().Dialog),
                      FALSE);
}

void InitRichPage(HWND page, int label, const std::string& rtf) {
  CreateDialogFonts();
  SetLabel(page, label);
  const HWND edit = PageControl(page);
  SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFonts().Code), FALSE);
  VCore::RichEditSetRtf(edit, rtf);
  VCore::RichEditSetBackground(edit, 0xFFFFFF);
}

// Page-wide messages: the auto-close count, the own-look colours.
bool CommonMessage(HWND page, UINT message, WPARAM wparam, INT_PTR& result) {
  if (IsDialogInputMessage(message)) ResetAutoCloseTimer();
  switch (message) {
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC: {
      if (!OwnLook()) return false;
      const HDC dc = reinterpret_cast<HDC>(wparam);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, 0);
      static HBRUSH face = CreateSolidBrush(kOwnLookFace);
      result = reinterpret_cast<INT_PTR>(face);
      return true;
    }
    case WM_DESTROY:
      DestroyDialogFonts();
      return false;
  }
  (void)page;
  return false;
}

int PointSizeTwips(HWND window, int pixels) {
  HDC dc = GetDC(window);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(window, dc);
  return MulDiv(pixels, 1440, dpi ? dpi : 96);
}

// ---- list pages ----

struct TColumnSpec {
  int text;
  bool right;
};

void InitListPage(HWND page, int label, TListPage kind, const std::vector<TColumnSpec>& columns) {
  CreateDialogFonts();
  SetLabel(page, label);
  const HWND list = PageControl(page);
  SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFonts().List), FALSE);
  SendMessageA(list, LVM_SETBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageA(list, LVM_SETTEXTBKCOLOR, 0, RGB(255, 255, 255));
  SendMessageA(list, LVM_SETTEXTCOLOR, 0, RGB(0, 0, 0));
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (std::size_t i = 0; i < columns.size(); ++i)
    InsertListColumn(list, static_cast<int>(i), ReadColumnWidth(kind, static_cast<int>(i)),
                     DialogText(columns[i].text), columns[i].right ? 1 : 0);
  list_items = std::make_unique<TListViewItems>(list);
}

void DestroyListPage(HWND page, TListPage kind) {
  const HWND list = PageControl(page);
  list_items.reset();
  for (int i = 0; i < ColumnCount(kind); ++i)
    SaveColumnWidth(kind, i, static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, i, 0)));
}

INT_PTR ListPageMessage(HWND page, UINT message, WPARAM wparam, LPARAM lparam, TListPage kind,
                        bool& handled) {
  handled = true;
  switch (message) {
    case WM_DRAWITEM:
      if (list_items && wparam == static_cast<WPARAM>(kPageControl))
        list_items->DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      return TRUE;
    case WM_DESTROY:
      DestroyListPage(page, kind);
      handled = false;
      return FALSE;
  }
  handled = false;
  return FALSE;
}

int SelectedRow(HWND list) {
  return static_cast<int>(
      SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

std::string ItemText(HWND list, int row, int column) {
  char text[512] = {};
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

int StackRowImage(const TAddressLocation& entry) {
  if (entry.Kind == 4) return 3;
  switch (entry.ModuleInfo ? entry.ModuleInfo->Kind : kModuleNotAnalysed) {
    case kModuleProgram:
      return 2;
    case kModulePackage:
      return 1;
    case kModuleLibrary:
    case kModuleNotAnalysed:
      return 0;
  }
  return 3;
}

void FillCallStack() {
  const TVantorModuleOptions* options = Options();
  const TVantorStackList* stack = CurrentExceptionContext().CallStack;
  if (!options || !stack || !list_items) return;
  const std::uint32_t mask = StackKindMask(*options);
  const THeaderContext context = ProcessThreadsContext();
  const std::vector<std::string> blank(6);
  const TAddressLocation* previous = nullptr;
  for (int i = 0; i < stack->Count(); ++i) {
    const TAddressLocation& e = *stack->Items(i);
    if (e.Kind > 7 || !((mask >> e.Kind) & 1)) continue;
    if (e.Kind == 3 && e.ModuleInfo && e.ModuleInfo->Kind == kModuleProgram) continue;
    const bool first_flag = e.ThreadKind != 0, second_flag = e.Exact != 0;
    if (!previous || e.ThreadID != previous->ThreadID ||
        first_flag != (previous->ThreadKind != 0) || second_flag) {
      if (first_flag && previous) list_items->AddRow(blank, "", false, 0, -1);
      TReportStackEntry header;
      header.ThreadID = static_cast<std::int32_t>(e.ThreadID);
      header.OwnStack = first_flag;
      header.ExceptionPoint = second_flag;
      header.ThreadName = e.ThreadName;
      list_items->AddRow(blank, ThreadHeaderText(*options, header, false, context), true,
                         (first_flag ? 1 : 0) + 2 * (second_flag ? 1 : 0), -1);
    }
    std::string line;
    if (e.Line != 0) line = std::to_string(e.Line) + "[" + std::to_string(e.LineOffset) + "]";
    list_items->AddRow(
        {Hex8(e.Address), e.ModuleInfo ? VCore::ExtractFileName(e.ModuleInfo->FileName) : "",
         e.UnitName, e.ClassName, e.ProcedureName, line},
        "", false, 0, StackRowImage(e));
    previous = &e;
  }
}

void FillModules() {
  const TVantorModulesList* modules = VCore::ModulesList();
  if (!modules || !list_items) return;
  for (int i = 0; i < modules->Count(); ++i) {
    const TVantorModuleInfo& m = *modules->Items(i);
    list_items->AddRow({Hex8(m.Handle), VCore::ExtractFileName(m.FileName), m.Description,
                        VCore::ShortVersionText(m.Version), VCore::SizeInKbText(m.FileSize),
                        FileTimeText(m.FileDate), VCore::ExtractFileFolder(m.FileName)},
                       "", false, 0, ModuleImageIndex(m.FileName));
  }
}

void FillProcesses() {
  const TVantorProcessesList* processes = VCore::ProcessesList();
  if (!processes || !list_items) return;
  for (int i = 0; i < processes->Count(); ++i) {
    const TVantorProcessInfo& p = *processes->Items(i);
    list_items->AddRow(
        {std::to_string(p.ProcessID), VCore::ExtractFileName(p.FileName), p.Description,
         VCore::ShortVersionText(p.Version), VCore::SizeInKbText(p.MemoryInUse),
         VCore::PriorityClassName(p.PriorityClass), VCore::NumberOrUnknown(p.ThreadCount),
         VCore::ExtractFileFolder(p.FileName)},
        "", false, 0, 2);
  }
}

POINT ClickPoint(const NMHDR* header) {
  return reinterpret_cast<const NMITEMACTIVATE*>(header)->ptAction;
}

}  // namespace

void InsertListColumn(HWND list, int index, int width, const std::string& caption, int alignment) {
  std::string text = caption;
  LVCOLUMNA column{};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  column.fmt = alignment == 1 ? LVCFMT_RIGHT : LVCFMT_LEFT;
  column.cx = width;
  column.pszText = text.data();
  column.iSubItem = index;
  SendMessageA(list, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

namespace {

struct TIdeSearch {
  DWORD process_id;
  bool found;
};

BOOL CALLBACK FindIdeWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TIdeSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  char class_name[64] = {};
  if (owner == search->process_id && GetClassNameA(window, class_name, sizeof class_name) &&
      std::strcmp(class_name, kIdeMainWindowClass) == 0) {
    search->found = true;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

bool IsIdeProcess(DWORD process_id) {
  TIdeSearch search{process_id, false};
  EnumWindows(FindIdeWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void SendSourceLocation(HWND list, int row) {
  const std::string address = ItemText(list, row, 0);
  std::uint32_t value1 = 0, value2 = 0;
  const std::uintptr_t at = std::strtoul(address.c_str(), nullptr, 16);
  if (const TVantorModuleInfo* module = VCore::ModuleInfoOfAddress(reinterpret_cast<void*>(at))) {
    // The two 32-bit fields after the module's debug-data version: its build date.
    std::uint32_t halves[2];
    std::memcpy(halves, &module->BuildDate, sizeof halves);
    value1 = halves[0];
    value2 = halves[1];
  }
  const TSourceMessage message =
      SourceLocationMessage(ItemText(list, row, 2), ItemText(list, row, 3), ItemText(list, row, 4),
                            ItemText(list, row, 5), value1, value2);
  // The IDE that started this program listens on its own mailslot; any other tool on that of
  // process 0.
  std::uint32_t listener = VCore::ParentProcessID();
  if (listener && IsIdeProcess(listener)) {
    using TAllowSetForegroundWindow = BOOL(WINAPI*)(DWORD);
    HMODULE user = GetModuleHandleA("user32.dll");
    if (auto allow = user ? reinterpret_cast<TAllowSetForegroundWindow>(reinterpret_cast<void*>(
                                GetProcAddress(user, "AllowSetForegroundWindow")))
                          : nullptr)
      allow(listener);
  } else {
    listener = 0;
  }
  const std::string name = SourceMailslotName(listener);
  HANDLE slot = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(slot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  CloseHandle(slot);
}

namespace {

// A rich-text page: its label and the rich text of its section.
INT_PTR RichPage(HWND window, UINT message, WPARAM wparam, int label,
                 std::string (*rtf)(HWND page)) {
  try {
    INT_PTR result = 0;
    if (CommonMessage(window, message, wparam, result)) return result;
    if (message == WM_INITDIALOG) {
      InitRichPage(window, label, "");
      const HWND edit = PageControl(window);
      VCore::RichEditSetRtf(edit, rtf(window));
      // The page opens at its first line, nothing selected; the focus stays where it is (a
      // focused page would have all its text selected and be scrolled to the end).
      SendMessageA(edit, EM_SETSEL, 0, 0);
      SendMessageA(edit, WM_VSCROLL, SB_TOP, 0);
      return FALSE;
    }
  } catch (...) {
  }
  return FALSE;
}

std::string GeneralRtf(HWND) {
  const TDialogFonts& f = DialogFonts();
  return VCore::GeneralPageRtf(ReportPieces().General, f.Charset, f.CodeFace, f.PointSize);
}

std::string AssemblerRtf(HWND) {
  const TDialogFonts& f = DialogFonts();
  const TReportPieces& pieces = ReportPieces();
  return AssemblerPageRtf(pieces.AssemblerHeader + "\r\n" + pieces.AssemblerBody, f.Charset,
                          f.CodeFace, f.PointSize);
}

std::string CpuRtf(HWND page) {
  const TDialogFonts& f = DialogFonts();
  const int column = PointSizeTwips(page, TextWidth(page, f.Code, "EAX: 00000000   "));
  return CpuPageRtf(ReportPieces().Cpu, f.Charset, f.CodeFace, f.PointSize, column);
}

// A list page: its label, columns and rows; the call stack's clicks fold and jump.
struct TListPageSpec {
  int label;
  TListPage kind;
  std::vector<TColumnSpec> columns;
  void (*fill)();
};

void OnCallStackNotify(LPARAM lparam) {
  const auto* header = reinterpret_cast<const NMHDR*>(lparam);
  if (header->idFrom != static_cast<UINT_PTR>(kPageControl) || !list_items) return;
  const int row = SelectedRow(header->hwndFrom);
  if (row < 0) return;
  if (header->code == NM_CLICK) {
    list_items->ClickRow(row, ClickPoint(header), true);
  } else if (header->code == NM_DBLCLK) {
    if (!ItemText(header->hwndFrom, row, 5).empty())
      SendSourceLocation(header->hwndFrom, row);
    else
      list_items->ClickRow(row, ClickPoint(header), false);
  }
}

INT_PTR ListPage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                 const TListPageSpec& spec) {
  try {
    INT_PTR result = 0;
    if (CommonMessage(window, message, wparam, result)) return result;
    bool handled = false;
    result = ListPageMessage(window, message, wparam, lparam, spec.kind, handled);
    if (handled) return result;
    if (message == WM_INITDIALOG) {
      InitListPage(window, spec.label, spec.kind, spec.columns);
      spec.fill();
      return TRUE;
    }
    if (message == WM_NOTIFY && spec.kind == TListPage::CallStack) OnCallStackNotify(lparam);
  } catch (...) {
  }
  return FALSE;
}

const TListPageSpec kCallStackPage{
    8,
    TListPage::CallStack,
    {{92, false}, {93, false}, {94, false}, {95, false}, {96, false}, {97, true}},
    FillCallStack};
const TListPageSpec kModulesPage{10,
                                 TListPage::Modules,
                                 {{126, false},
                                  {127, false},
                                  {128, false},
                                  {129, true},
                                  {130, true},
                                  {131, false},
                                  {132, false}},
                                 FillModules};
const TListPageSpec kProcessesPage{12,
                                   TListPage::Processes,
                                   {{133, false},
                                    {134, false},
                                    {135, false},
                                    {136, true},
                                    {137, true},
                                    {138, true},
                                    {139, true},
                                    {140, false}},
                                   FillProcesses};

}  // namespace

INT_PTR CALLBACK GeneralTabProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  return RichPage(window, message, wparam, 6, GeneralRtf);
}
INT_PTR CALLBACK AssemblerTabProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  return RichPage(window, message, wparam, 14, AssemblerRtf);
}
INT_PTR CALLBACK CPUTabProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  return RichPage(window, message, wparam, 16, CpuRtf);
}
INT_PTR CALLBACK CallStackTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return ListPage(window, message, wparam, lparam, kCallStackPage);
}
INT_PTR CALLBACK ModulesTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return ListPage(window, message, wparam, lparam, kModulesPage);
}
INT_PTR CALLBACK ProcessesTabProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return ListPage(window, message, wparam, lparam, kProcessesPage);
}

const char* TabPageTemplate(int page) {
  static const char* const kTemplates[kTabPageCount] = {
      "VL_TAB_GENERAL",       "VL_TAB_CALLSTACK", "VL_TAB_MODULESLIST",
      "VL_TAB_PROCESSESLIST", "VL_TAB_ASSEMBLER", "VL_TAB_CPU"};
  return page >= 0 && page < kTabPageCount ? kTemplates[page] : kTemplates[0];
}

DLGPROC TabPageProc(int page) {
  static const DLGPROC kProcs[kTabPageCount] = {GeneralTabProc,   CallStackTabProc, ModulesTabProc,
                                                ProcessesTabProc, AssemblerTabProc, CPUTabProc};
  return page >= 0 && page < kTabPageCount ? kProcs[page] : kProcs[0];
}

}  // namespace ExceptionLog
