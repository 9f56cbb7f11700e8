// The tree list over a real owner-drawn list view: rows read back from the control, folding,
// the drawing (pixels of the held DC) and the release of everything it made.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "VListView.h"

// Live allocations of the program: what a block of work leaves behind.
namespace {
std::atomic<long> g_live_blocks{0};
}
void* operator new(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  ++g_live_blocks;
  return p;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  --g_live_blocks;
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

TListViewItems* g_items = nullptr;
int g_draw_calls = 0;
int g_draw_false = 0;

LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DRAWITEM && g_items) {
    ++g_draw_calls;
    if (!g_items->DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam))) ++g_draw_false;
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

class ListView : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSA wc{};
    wc.lpfnWndProc = ParentProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VListViewTestParent";
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RegisterClassA(&wc);
  }
  void SetUp() override {
    parent_ = CreateWindowExA(0, "VListViewTestParent", "list", WS_POPUP | WS_VISIBLE, 0, 0, 400,
                              300, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    list_ = CreateWindowExA(0, WC_LISTVIEWA, "",
                            WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDRAWFIXED, 0, 0, 400, 300,
                            parent_, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(list_, nullptr);
    const struct {
      const char* title;
      int width, format;
    } columns[] = {
        {"Name", 120, LVCFMT_LEFT}, {"Value", 80, LVCFMT_RIGHT}, {"Note", 80, LVCFMT_CENTER}};
    for (int i = 0; i < 3; ++i) {
      LVCOLUMNA c{};
      c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
      c.pszText = const_cast<char*>(columns[i].title);
      c.cx = columns[i].width;
      c.fmt = columns[i].format;
      SendMessageA(list_, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&c));
    }
    g_draw_calls = g_draw_false = 0;
  }
  void TearDown() override {
    g_items = nullptr;
    DestroyWindow(parent_);
    PumpMessages();
  }

  // Header "Thread 1" (kind 1) with two rows, a separator, then two headers: the second one
  // and its row indented.
  void Fill(TListViewItems& items) {
    items.AddRow({"Thread 1"}, "Thread 1", true, 1, -1);
    items.AddRow({"A1", "B1", "C1"}, "", false, 0, 0);
    items.AddRow({"A2", "B2", "C2"}, "", false, 0, -1);
    items.AddRow({"", " ", "\t"}, "", false, 0, -1);
    items.AddRow({"H2"}, "Group two", true, 0, -1);
    items.AddRow({"H3"}, "Group three", true, 3, -1);
    items.AddRow({"R3", "B3"}, "", false, 0, 2);
  }

  int ItemCount() const { return static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0)); }
  std::string ItemText(int row, int column) const {
    char buffer[256] = {};
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = sizeof buffer;
    SendMessageA(list_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return buffer;
  }
  // The first column of every control row.
  std::vector<std::string> FirstColumn() const {
    std::vector<std::string> out;
    for (int i = 0; i < ItemCount(); ++i) out.push_back(ItemText(i, 0));
    return out;
  }
  RECT Bounds(int row) const {
    RECT r{};
    r.left = LVIR_BOUNDS;
    SendMessageA(list_, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&r));
    return r;
  }
  // A point of the row, relative to its rectangle.
  POINT At(int row, int dx, int dy) const {
    const RECT r = Bounds(row);
    return POINT{r.left + dx, r.top + dy};
  }
  void Paint() {
    InvalidateRect(list_, nullptr, TRUE);
    UpdateWindow(list_);
    PumpMessages();
    GdiFlush();
  }

  HWND parent_ = nullptr, list_ = nullptr;
};

TEST_F(ListView, RowsReachTheControlWithTheirTextsLevelsAndParents) {
  TListViewItems items(list_);
  Fill(items);
  EXPECT_EQ(items.ColumnCount, 3);
  EXPECT_THAT(items.ColumnAlignments, ElementsAre(DT_LEFT, DT_RIGHT, DT_CENTER));
  EXPECT_GE(items.IndentStep, 14);
  ASSERT_FALSE(items.IndentText.empty());
  EXPECT_EQ(items.IndentText.find_first_not_of(' '), std::string::npos);

  ASSERT_EQ(ItemCount(), 7);
  ASSERT_EQ(items.Count(), 7);
  const std::string indent = items.IndentText;
  EXPECT_THAT(FirstColumn(),
              ElementsAre("Thread 1", "A1", "A2", "", "H2", indent + "H3", indent + "R3"));
  EXPECT_EQ(ItemText(1, 1), "B1");
  EXPECT_EQ(ItemText(1, 2), "C1");
  EXPECT_EQ(ItemText(6, 1), "B3");
  EXPECT_EQ(ItemText(6, 2), "");

  struct Want {
    int level;
    bool separator;
    int previous;  // list index of the previous row, -1 none
    int image;
  };
  const Want want[] = {{0, false, -1, -1}, {0, false, 0, 0},  {0, false, 1, -1}, {0, true, 2, -1},
                       {0, false, -1, -1}, {1, false, 4, -1}, {1, false, 5, 2}};
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    const TListViewItemRec* rec = items.Items(i);
    EXPECT_EQ(rec->Level, want[i].level);
    EXPECT_EQ(rec->Separator, want[i].separator);
    EXPECT_EQ(rec->Previous, want[i].previous < 0 ? nullptr : items.Items(want[i].previous));
    EXPECT_EQ(rec->ImageIndex, want[i].image);
    EXPECT_TRUE(rec->Visible);
    EXPECT_TRUE(rec->Expanded);
    EXPECT_EQ(rec->ListWindow, list_);
    EXPECT_EQ(items.GetItemRec(i), rec);  // the record is the control row's parameter
  }
  EXPECT_EQ(items.Items(5)->HeaderText, "Group three");
  EXPECT_EQ(items.LastParent, items.Items(6));
  EXPECT_EQ(items.LevelCounter, 2);
  // The image list holds the four row images and is the control's small image list.
  EXPECT_EQ(ImageList_GetImageCount(items.ImageList), 4);
  EXPECT_EQ(reinterpret_cast<HIMAGELIST>(SendMessageA(list_, LVM_GETIMAGELIST, LVSIL_SMALL, 0)),
            items.ImageList);
}

TEST_F(ListView, ClicksFoldAndUnfoldHeaders) {
  TListViewItems items(list_);
  Fill(items);
  const std::string in = items.IndentText;
  const int step = items.IndentStep;
  const std::vector<std::string> all = {"Thread 1", "A1", "A2", "", "H2", in + "H3", in + "R3"};

  items.ClickRow(0, At(0, 20, 6), true);  // beside the sign
  EXPECT_THAT(FirstColumn(), ElementsAreArray(all));
  items.ClickRow(1, At(1, 6, 6), false);  // not a header
  EXPECT_THAT(FirstColumn(), ElementsAreArray(all));

  items.ClickRow(0, At(0, 6, 6), true);  // on the sign: the rows up to the separator go
  EXPECT_THAT(FirstColumn(), ElementsAre("Thread 1", "", "H2", in + "H3", in + "R3"));
  EXPECT_FALSE(items.Items(0)->Expanded);
  EXPECT_FALSE(items.Items(1)->Visible);
  items.ClickRow(0, At(0, 150, 8), false);  // a double-click anywhere
  EXPECT_THAT(FirstColumn(), ElementsAreArray(all));
  EXPECT_EQ(ItemText(1, 1), "B1");  // sub-items come back with the rows

  // A header with a previous row has its sign one indent step further right.
  items.ClickRow(5, At(5, 6, 6), true);
  EXPECT_THAT(FirstColumn(), ElementsAreArray(all));
  items.ClickRow(5, At(5, step + 6, 6), true);
  EXPECT_THAT(FirstColumn(), ElementsAre("Thread 1", "A1", "A2", "", "H2", in + "H3"));
  // Folding the outer header hides the folded inner one; unfolding stops at it.
  items.ClickRow(4, At(4, 6, 12), true);
  EXPECT_THAT(FirstColumn(), ElementsAre("Thread 1", "A1", "A2", "", "H2"));
  items.ClickRow(4, At(4, 2, 2), true);
  EXPECT_THAT(FirstColumn(), ElementsAre("Thread 1", "A1", "A2", "", "H2", in + "H3"));
  EXPECT_FALSE(items.Items(6)->Visible);
  items.ClickRow(5, At(5, step + 12, 2), true);
  EXPECT_THAT(FirstColumn(), ElementsAreArray(all));
  ASSERT_EQ(items.Count(), 7);  // folding never removes rows from the list
}

// Colours as GetPixel reports them (COLORREF).
constexpr COLORREF kWhite = 0xFFFFFF, kSelected = 0xF1DACC, kHeaderBand = 0xE0A47B,
                   kRowLine = 0xC2CBCE;
constexpr COLORREF kDll = RGB(200, 0, 0), kMinus = RGB(128, 0, 128), kPlus = RGB(0, 128, 128),
                   kGkl = RGB(0, 0, 200);

TEST_F(ListView, OwnerDrawPaintsRowsHeadersImagesAndSigns) {
  TListViewItems items(list_);
  g_items = &items;
  Fill(items);
  Paint();
  EXPECT_GE(g_draw_calls, 7);
  EXPECT_EQ(g_draw_false, 0);
  ASSERT_NE(items.BoldFont, nullptr);
  EXPECT_TRUE(items.DCReady);

  const HDC dc = GetDC(list_);
  const auto pixel = [&](int row, int dx, int dy_from_top) {
    const RECT r = Bounds(row);
    return GetPixel(dc, r.left + dx,
                    dy_from_top >= 0 ? r.top + dy_from_top : r.bottom + dy_from_top);
  };
  const int step = items.IndentStep;
  // Header: the band along its bottom, the minus sign at (3, 1) (first column magenta).
  EXPECT_EQ(pixel(0, 150, -1), kHeaderBand);
  EXPECT_EQ(pixel(0, 150, -2), kHeaderBand);
  EXPECT_EQ(pixel(0, 3, 1), kWhite);  // the sign's transparent column
  EXPECT_EQ(pixel(0, 3 + 6, 1 + 6), kMinus);
  // Plain rows: the line along the bottom; the image at (2, 0) when there is one.
  EXPECT_EQ(pixel(1, 150, -1), kRowLine);
  EXPECT_EQ(pixel(1, 2, 5), kWhite);
  EXPECT_EQ(pixel(1, 2 + 8, 5), kDll);
  EXPECT_EQ(pixel(2, 2 + 8, 5), kWhite);  // image -1: none
  // The separator has no line.
  EXPECT_EQ(pixel(3, 150, -1), kWhite);
  // Kind 0 header: everything one indent step to the right.
  EXPECT_EQ(pixel(4, step + 3 + 6, 1 + 6), kMinus);
  // Indented row of the second group: the image one step in.
  EXPECT_EQ(pixel(6, step + 2 + 8, 5), kGkl);
  EXPECT_EQ(pixel(6, 150, -1), kRowLine);

  // A selected row gets the selected background; a folded header the plus sign.
  LVITEMA state{};
  state.stateMask = LVIS_SELECTED;
  state.state = LVIS_SELECTED;
  SendMessageA(list_, LVM_SETITEMSTATE, 2, reinterpret_cast<LPARAM>(&state));
  Paint();
  EXPECT_EQ(pixel(2, 150, 3), kSelected);
  EXPECT_EQ(pixel(1, 150, 3), kWhite);
  items.ClickRow(0, At(0, 6, 6), true);
  Paint();
  EXPECT_EQ(pixel(0, 3 + 6, 1 + 6), kPlus);
  EXPECT_EQ(pixel(0, 150, 3), kWhite);
  ReleaseDC(list_, dc);
}

TEST_F(ListView, DestroyReleasesRowsAndEveryHandle) {
  std::vector<HGDIOBJ> objects;
  objects.reserve(16);
  const long before = g_live_blocks.load();
  {
    TListViewItems items(list_);
    g_items = &items;
    Fill(items);
    Paint();
    items.ClickRow(0, At(0, 6, 6), true);
    items.ClickRow(0, At(0, 6, 6), true);
    ASSERT_NE(items.BoldFont, nullptr);
    for (HGDIOBJ o :
         {static_cast<HGDIOBJ>(items.SelectedBrush), static_cast<HGDIOBJ>(items.UnselectedBrush),
          static_cast<HGDIOBJ>(items.SelectedFrameBrush),
          static_cast<HGDIOBJ>(items.UnselectedFrameBrush), static_cast<HGDIOBJ>(items.HeaderBrush),
          static_cast<HGDIOBJ>(items.RowLineBrush), static_cast<HGDIOBJ>(items.BoldFont)})
      objects.push_back(o);
    for (HBITMAP b : items.Images) objects.push_back(b);
    for (HGDIOBJ o : objects) ASSERT_NE(GetObjectType(o), 0u);
    g_items = nullptr;
  }
  EXPECT_EQ(g_live_blocks.load(), before);  // every record and text freed
  for (HGDIOBJ o : objects) EXPECT_EQ(GetObjectType(o), 0u) << o;
  EXPECT_EQ(SendMessageA(list_, LVM_GETIMAGELIST, LVSIL_SMALL, 0), 0);
  EXPECT_EQ(ItemCount(), 0);  // no control row keeps a freed record
}

TEST_F(ListView, ClearFreesRowsAndTheBoldFontWhichComesBackOnUse) {
  TListViewItems items(list_);
  g_items = &items;
  Fill(items);  // the first use measures the list once; what it keeps stays
  items.Clear();
  const long before = g_live_blocks.load();
  Fill(items);
  Paint();
  const HFONT bold = items.BoldFont;
  ASSERT_NE(bold, nullptr);
  items.Clear();
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(ItemCount(), 0);
  EXPECT_EQ(items.BoldFont, nullptr);
  EXPECT_EQ(GetObjectType(bold), 0u);
  EXPECT_EQ(g_live_blocks.load(), before);
  items.AddRow({"Again"}, "Again", true, 1, -1);
  Paint();
  EXPECT_NE(items.BoldFont, nullptr);
  EXPECT_EQ(g_draw_false, 0);
}

}  // namespace
