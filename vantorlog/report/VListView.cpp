// The tree list over an owner-drawn report list view.
#include "VListView.h"

#include "VTextUtils.h"

namespace {

constexpr COLORREF kSelectedBackground = 0xF1DACC;
constexpr COLORREF kUnselectedBackground = 0xFFFFFF;
constexpr COLORREF kSelectedFrame = 0xC56A31;
constexpr COLORREF kUnselectedFrame = 0xE2B598;
constexpr COLORREF kHeaderBand = 0xE0A47B;
constexpr COLORREF kRowLine = 0xC2CBCE;
constexpr UINT kTextFlags = DT_END_ELLIPSIS | DT_NOPREFIX | DT_SINGLELINE | DT_VCENTER;
constexpr int kMinimumIndent = 14;

const char* const kImageNames[TListViewItems::ImageCount] = {"VL_DLL", "VL_BPL",  "VL_GKL",
                                                             "VL_PAS", "VL_PLUS", "VL_MINUS"};

HINSTANCE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

COLORREF HeaderTextColour(int kind) {
  switch (kind) {
    case 1:
      return 0x800000;
    case 3:
      return 0x000080;
    default:
      return 0x606060;
  }
}

void FillArea(HDC dc, int left, int top, int right, int bottom, HBRUSH brush) {
  if (right <= left || bottom <= top) return;
  const RECT r{left, top, right, bottom};
  FillRect(dc, &r, brush);
}

}  // namespace

TListViewItems::TListViewItems(HWND list_window) : ListWindow(list_window) {
  ListDC = GetDC(ListWindow);
  const HINSTANCE module = OwnModule();
  for (int i = 0; i < ImageCount; ++i)
    Images[i] = static_cast<HBITMAP>(
        LoadImageA(module, kImageNames[i], IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
  ImageList = ImageList_Create(16, 16, ILC_COLORDDB, 4, 4);
  for (int i = VL_DLL; i <= VL_PAS; ++i)
    if (ImageList && Images[i]) ImageList_Add(ImageList, Images[i], nullptr);
  SelectedBrush = CreateSolidBrush(kSelectedBackground);
  UnselectedBrush = CreateSolidBrush(kUnselectedBackground);
  SelectedFrameBrush = CreateSolidBrush(kSelectedFrame);
  UnselectedFrameBrush = CreateSolidBrush(kUnselectedFrame);
  HeaderBrush = CreateSolidBrush(kHeaderBand);
  RowLineBrush = CreateSolidBrush(kRowLine);
  SendMessageA(ListWindow, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(ImageList));
}

TListViewItems::~TListViewItems() {
  for (HBRUSH brush : {SelectedBrush, UnselectedBrush, SelectedFrameBrush, UnselectedFrameBrush,
                       HeaderBrush, RowLineBrush})
    if (brush) DeleteObject(brush);
  // The control keeps no pointer to the image list once it is gone.
  if (IsWindow(ListWindow)) SendMessageA(ListWindow, LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  if (ImageList) ImageList_Destroy(ImageList);
  for (HBITMAP bitmap : Images)
    if (bitmap) DeleteObject(bitmap);
  if (ListDC) ReleaseDC(ListWindow, ListDC);
  Clear();
}

void TListViewItems::Clear() {
  // No control row may keep a freed record as its parameter.
  if (IsWindow(ListWindow)) SendMessageA(ListWindow, LVM_DELETEALLITEMS, 0, 0);
  for (TListViewItemRec* rec : items_) delete rec;
  items_.clear();
  LastParent = nullptr;
  LevelCounter = 0;
  if (BoldFont) DeleteObject(BoldFont);
  BoldFont = nullptr;
}

void TListViewItems::FirstUse() {
  if (first_use_done_) return;
  first_use_done_ = true;
  const auto header = reinterpret_cast<HWND>(SendMessageA(ListWindow, LVM_GETHEADER, 0, 0));
  ColumnCount =
      header ? static_cast<std::int32_t>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
  if (ColumnCount < 0) ColumnCount = 0;
  ColumnAlignments.assign(ColumnCount, DT_LEFT);
  for (int i = 0; i < ColumnCount; ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_FMT;
    if (!SendMessageA(ListWindow, LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(&column))) continue;
    const int format = column.fmt & LVCFMT_JUSTIFYMASK;
    ColumnAlignments[i] = format == LVCFMT_RIGHT    ? DT_RIGHT
                          : format == LVCFMT_CENTER ? DT_CENTER
                                                    : DT_LEFT;
  }
  const HDC screen = GetDC(nullptr);
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(ListWindow, WM_GETFONT, 0, 0));
  if (!font) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  const HGDIOBJ old_font = SelectObject(screen, font);
  SIZE size{};
  IndentText.clear();
  // A font without a measurable blank gets at most 14 blanks.
  while (static_cast<int>(IndentText.size()) < kMinimumIndent) {
    IndentText += ' ';
    if (GetTextExtentPoint32A(screen, IndentText.data(), static_cast<int>(IndentText.size()),
                              &size) &&
        size.cx >= kMinimumIndent)
      break;
  }
  IndentStep = size.cx;
  SelectObject(screen, old_font);
  ReleaseDC(nullptr, screen);
}

HFONT TListViewItems::EnsureBoldFont() {
  if (BoldFont) return BoldFont;
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(ListWindow, WM_GETFONT, 0, 0));
  if (!font) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  LOGFONTA log_font{};
  if (GetObjectA(font, sizeof log_font, &log_font)) {
    log_font.lfWeight = FW_BOLD;
    BoldFont = CreateFontIndirectA(&log_font);
  }
  return BoldFont;
}

void TListViewItems::AddRow(const std::vector<std::string>& texts, const std::string& header_text,
                            bool is_header, int kind, int image_index) {
  FirstUse();
  auto* rec = new TListViewItemRec;
  try {
    rec->ListWindow = ListWindow;
    std::string joined;
    for (const std::string& text : texts) {
      rec->Texts.Add(text);
      joined += text;
    }
    rec->ImageIndex = image_index;
    rec->IsHeader = is_header;
    rec->Kind = kind;
    rec->Separator = !is_header && VCore::Trim(joined).empty();
    if (is_header) ++LevelCounter;
    if (rec->Separator) LevelCounter = 0;
    rec->Level = rec->Separator || LevelCounter < 2 ? 0 : 1;
    if (rec->Level == 1 && rec->Texts.Count() > 0) {
      TStringList indented;
      for (int i = 0; i < rec->Texts.Count(); ++i)
        indented.Add(i == 0 ? IndentText + rec->Texts.Get(0) : rec->Texts.Get(i));
      rec->Texts = indented;
    }
    rec->HeaderText = header_text;
    rec->Previous = LastParent;
    items_.push_back(rec);
  } catch (...) {
    delete rec;
    throw;
  }
  LastParent = rec->Separator ? nullptr : rec;
  InsertItem(rec, static_cast<int>(SendMessageA(ListWindow, LVM_GETITEMCOUNT, 0, 0)));
}

int TListViewItems::ListIndexOf(const TListViewItemRec* rec) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i] == rec) return static_cast<int>(i);
  return -1;
}

void TListViewItems::ClickRow(int row, POINT point, bool sign_only) {
  TListViewItemRec* clicked = GetItemRec(row);
  const int start = ListIndexOf(clicked);
  if (start < 0 || !clicked->IsHeader) return;
  const RECT bounds = ItemRect(row);
  point.x -= bounds.left;
  point.y -= bounds.top;
  if (sign_only) {
    const int s = clicked->Previous ? IndentStep : 0;
    if (point.x < s + 2 || point.x > s + 12 || point.y < 2 || point.y > 12) return;
  }
  clicked->Expanded = !clicked->Expanded;
  const bool show = clicked->Expanded;
  SetRedraw(false);
  int shown = row;  // the control row the next shown row goes below
  for (std::size_t i = start + 1; i < items_.size(); ++i) {
    TListViewItemRec* rec = items_[i];
    if (rec->Separator) break;
    const bool was_visible = rec->Visible;
    rec->Visible = show;
    if (show && !was_visible) {
      shown = InsertItem(rec, shown + 1);
      if (rec->IsHeader && !rec->Expanded) break;
    } else if (!show && was_visible) {
      DeleteItem(shown + 1);
    } else if (show) {
      ++shown;
    }
  }
  SetRedraw(true);
  RedrawItems(row, row);
}

bool TListViewItems::DrawItem(const DRAWITEMSTRUCT& item) {
  FirstUse();
  auto* rec = reinterpret_cast<TListViewItemRec*>(item.itemData);
  if (!rec || ListIndexOf(rec) < 0) rec = GetItemRec(static_cast<int>(item.itemID));
  if (!rec || !ListDC) return true;
  const HDC dc = ListDC;
  if (!DCReady) {
    SelectObject(dc, GetCurrentObject(item.hDC, OBJ_FONT));
    SelectObject(dc, GetCurrentObject(item.hDC, OBJ_PEN));
    SelectObject(dc, GetCurrentObject(item.hDC, OBJ_BRUSH));
    SelectPalette(dc, static_cast<HPALETTE>(GetCurrentObject(item.hDC, OBJ_PAL)), FALSE);
    SelectObject(dc, GetCurrentObject(item.hDC, OBJ_BITMAP));
    SetBkMode(dc, TRANSPARENT);
    DCReady = true;
  }
  const RECT& r = item.rcItem;
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  const int indent = IndentStep * rec->Level;
  int x = r.left + indent + 2;
  FillArea(dc, x, r.top, r.right, r.bottom, selected ? SelectedBrush : UnselectedBrush);

  if (rec->IsHeader) {
    if (rec->Kind == 0) x += IndentStep;
    FillArea(dc, r.left + 2, r.bottom - 2, r.right, r.bottom, HeaderBrush);
    const HGDIOBJ old_font = SelectObject(dc, EnsureBoldFont());
    SetTextColor(dc, HeaderTextColour(rec->Kind));
    RECT text_rect{x + 15, r.top, r.right, r.bottom};
    DrawTextA(dc, rec->HeaderText.c_str(), static_cast<int>(rec->HeaderText.size()), &text_rect,
              kTextFlags);
    SelectObject(dc, old_font);
    ExceptionLog::DrawTransparentBitmap(dc, Images[rec->Expanded ? VL_MINUS : VL_PLUS], x + 1,
                                        r.top + 1, 13, 13);
  } else {
    if (rec->ImageIndex >= VL_DLL && rec->ImageIndex <= VL_PAS)
      ExceptionLog::DrawTransparentBitmap(dc, Images[rec->ImageIndex], x, r.top, 16, 16);
    if (!rec->Separator) FillArea(dc, x, r.bottom - 1, r.right, r.bottom, RowLineBrush);
    SetTextColor(dc, 0);
    int column_start = r.left;
    for (int i = 0; i < ColumnCount; ++i) {
      const int width = static_cast<int>(SendMessageA(ListWindow, LVM_GETCOLUMNWIDTH, i, 0));
      const int column_end = column_start + width;
      if (i < rec->Texts.Count()) {
        const std::string text = rec->Texts.Get(i);
        RECT text_rect{column_start + (i == 0 ? 20 : 6), r.top, column_end - 6 + (i == 0 ? 4 : 0),
                       r.bottom};
        DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &text_rect,
                  ColumnAlignments[i] | kTextFlags);
      }
      column_start = column_end;
    }
  }

  if (item.itemState & ODS_FOCUS) {
    const RECT frame{r.left + indent + 2, r.top, r.right, r.bottom};
    FrameRect(dc, &frame,
              selected && GetFocus() == ListWindow ? SelectedFrameBrush : UnselectedFrameBrush);
  }
  return true;
}

int TListViewItems::InsertItem(TListViewItemRec* rec, int position) {
  std::string first = rec->Texts.Count() > 0 ? rec->Texts.Get(0) : std::string();
  LVITEMA item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
  item.iItem = position;
  item.pszText = first.data();
  item.iImage = rec->ImageIndex;
  item.lParam = reinterpret_cast<LPARAM>(rec);
  const int row = static_cast<int>(
      SendMessageA(ListWindow, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  if (row < 0) return row;
  for (int i = 1; i < rec->Texts.Count(); ++i) {
    std::string text = rec->Texts.Get(i);
    LVITEMA sub{};
    sub.iSubItem = i;
    sub.pszText = text.data();
    SendMessageA(ListWindow, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&sub));
  }
  return row;
}

void TListViewItems::DeleteItem(int row) { SendMessageA(ListWindow, LVM_DELETEITEM, row, 0); }

void TListViewItems::RedrawItems(int first, int last) {
  SendMessageA(ListWindow, LVM_REDRAWITEMS, first, last);
}

TListViewItemRec* TListViewItems::GetItemRec(int row) const {
  LVITEMA item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (!SendMessageA(ListWindow, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
  auto* rec = reinterpret_cast<TListViewItemRec*>(item.lParam);
  return ListIndexOf(rec) >= 0 ? rec : nullptr;
}

void TListViewItems::SetRedraw(bool on) { SendMessageA(ListWindow, WM_SETREDRAW, on, 0); }

RECT TListViewItems::ItemRect(int row) const {
  RECT r{};
  r.left = LVIR_BOUNDS;
  SendMessageA(ListWindow, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&r));
  return r;
}

namespace ExceptionLog {

void DrawTransparentBitmap(HDC dc, HBITMAP bitmap, int x, int y, int width, int height) {
  if (!dc || !bitmap || width <= 0 || height <= 0) return;
  const HDC image_dc = CreateCompatibleDC(dc);
  const HDC mask_dc = CreateCompatibleDC(dc);
  const HDC inverse_dc = CreateCompatibleDC(dc);
  const HDC result_dc = CreateCompatibleDC(dc);
  const HDC source_dc = CreateCompatibleDC(dc);
  const HBITMAP image = CreateCompatibleBitmap(dc, width, height);
  const HBITMAP mask = CreateBitmap(width, height, 1, 1, nullptr);
  const HBITMAP inverse = CreateBitmap(width, height, 1, 1, nullptr);
  const HBITMAP result = CreateCompatibleBitmap(dc, width, height);
  if (image_dc && mask_dc && inverse_dc && result_dc && source_dc && image && mask && inverse &&
      result) {
    const HGDIOBJ old_source = SelectObject(source_dc, bitmap);
    const HGDIOBJ old_image = SelectObject(image_dc, image);
    const HGDIOBJ old_mask = SelectObject(mask_dc, mask);
    const HGDIOBJ old_inverse = SelectObject(inverse_dc, inverse);
    const HGDIOBJ old_result = SelectObject(result_dc, result);
    BitBlt(image_dc, 0, 0, width, height, source_dc, 0, 0, SRCCOPY);
    // Mask: white where the image has the colour of its first pixel.
    SetBkColor(image_dc, GetPixel(image_dc, 0, 0));
    BitBlt(mask_dc, 0, 0, width, height, image_dc, 0, 0, SRCCOPY);
    BitBlt(inverse_dc, 0, 0, width, height, mask_dc, 0, 0, NOTSRCCOPY);
    // Monochrome sources: 1 takes the background colour, 0 the text colour.
    for (HDC colour_dc : {image_dc, result_dc}) {
      SetBkColor(colour_dc, RGB(255, 255, 255));
      SetTextColor(colour_dc, RGB(0, 0, 0));
    }
    BitBlt(result_dc, 0, 0, width, height, dc, x, y, SRCCOPY);
    BitBlt(result_dc, 0, 0, width, height, mask_dc, 0, 0, SRCAND);     // clear the opaque part
    BitBlt(image_dc, 0, 0, width, height, inverse_dc, 0, 0, SRCAND);   // clear the transparent
    BitBlt(result_dc, 0, 0, width, height, image_dc, 0, 0, SRCPAINT);  // combine
    BitBlt(dc, x, y, width, height, result_dc, 0, 0, SRCCOPY);
    SelectObject(result_dc, old_result);
    SelectObject(inverse_dc, old_inverse);
    SelectObject(mask_dc, old_mask);
    SelectObject(image_dc, old_image);
    SelectObject(source_dc, old_source);
  }
  for (HBITMAP b : {image, mask, inverse, result})
    if (b) DeleteObject(b);
  for (HDC d : {image_dc, mask_dc, inverse_dc, result_dc, source_dc})
    if (d) DeleteDC(d);
}

}  // namespace ExceptionLog
