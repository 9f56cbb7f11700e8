// The owner-drawn report list view of the exception dialog's list pages as a two-level tree
// list: group header rows with a plus/minus sign that fold the rows below them, plain rows
// with a small image and one text per column, and blank separator rows.
#pragma once

#include <windows.h>
// (after windows.h, whose types it uses)
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Classes.h"

// One row, owned by its list.
struct TListViewItemRec {
  HWND ListWindow = nullptr;
  TStringList Texts;             // one text per column
  std::int32_t ImageIndex = -1;  // 0-3, or -1 for none
  std::int32_t Level = 0;        // 1 when the row is indented
  std::int32_t Kind = 0;         // header colour kind
  bool IsHeader = false;
  bool Expanded = true;
  bool Separator = false;  // all texts blank (non-header rows)
  bool Visible = true;     // present in the control
  std::string HeaderText;
  TListViewItemRec* Previous = nullptr;  // the list's last parent when the row was added
};

// The rows of one list-view control (class SysListView32, LVS_REPORT | LVS_OWNERDRAWFIXED), in
// the order they were added; folded rows stay in the list and leave only the control.
class TListViewItems : public TObject {
 public:
  // Images, image list (set as the control's small image list) and brushes.
  explicit TListViewItems(HWND list_window);
  // Frees brushes, bitmaps, image list, the held DC and the rows.
  ~TListViewItems() override;
  TListViewItems(const TListViewItems&) = delete;
  TListViewItems& operator=(const TListViewItems&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  TListViewItemRec* Items(int index) const { return items_.at(index); }
  // Frees every row (texts and record) and the bold font.
  virtual void Clear();

  // Adds a row at the end of the list and of the control.
  void AddRow(const std::vector<std::string>& texts, const std::string& header_text, bool is_header,
              int kind, int image_index);
  // Folds or unfolds the header at control row `row`; the point is in client coordinates.
  // With sign_only the point must lie on the plus/minus sign.
  void ClickRow(int row, POINT point, bool sign_only);
  // WM_DRAWITEM handler; always reports the item as drawn.
  bool DrawItem(const DRAWITEMSTRUCT& item);

  // Control wrappers.
  int InsertItem(TListViewItemRec* rec, int position);
  void DeleteItem(int row);
  void RedrawItems(int first, int last);
  TListViewItemRec* GetItemRec(int row) const;
  void SetRedraw(bool on);
  RECT ItemRect(int row) const;

  // Images of the rows and the header sign.
  enum { VL_DLL, VL_BPL, VL_GKL, VL_PAS, VL_PLUS, VL_MINUS, ImageCount };

  bool DCReady = false;
  TListViewItemRec* LastParent = nullptr;
  HWND ListWindow = nullptr;
  HDC ListDC = nullptr;
  HBITMAP Images[ImageCount] = {};
  HIMAGELIST ImageList = nullptr;
  HBRUSH SelectedBrush = nullptr, UnselectedBrush = nullptr;
  HBRUSH SelectedFrameBrush = nullptr, UnselectedFrameBrush = nullptr;
  HBRUSH HeaderBrush = nullptr, RowLineBrush = nullptr;
  HFONT BoldFont = nullptr;
  std::string IndentText;
  std::int32_t LevelCounter = 0;
  std::int32_t IndentStep = 0;
  std::int32_t ColumnCount = 0;
  std::vector<std::int32_t> ColumnAlignments;  // DT_LEFT, DT_CENTER or DT_RIGHT

 private:
  void FirstUse();
  HFONT EnsureBoldFont();
  int ListIndexOf(const TListViewItemRec* rec) const;

  bool first_use_done_ = false;
  std::vector<TListViewItemRec*> items_;
};

namespace ExceptionLog {

// Draws the bitmap with the colour of its pixel (0, 0) left out.
void DrawTransparentBitmap(HDC dc, HBITMAP bitmap, int x, int y, int width, int height);

}  // namespace ExceptionLog
