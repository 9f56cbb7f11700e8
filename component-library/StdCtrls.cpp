#include "StdCtrls.h"

#include "WideText.h"

namespace {

std::wstring WindowText(HWND h) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), text.size())));
  return text;
}

// The lines of a memo's text; a CR LF ends a line, a last line without one still counts.
std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

[[noreturn]] void IndexError(int index) {
  throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

// TLabel

TLabel::TLabel(TControl* parent) : TControl(parent) {
  CreateHandle(0, L"STATIC", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, "");
}

// TEdit

TEdit::TEdit(TControl* parent) : TControl(parent) {
  CreateHandle(WS_EX_CLIENTEDGE, L"EDIT", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, "");
}

void TEdit::SetMaxLength(int length) {
  Perform(EM_SETLIMITTEXT, static_cast<WPARAM>(length < 0 ? 0 : length), 0);
}

int TEdit::MaxLength() const { return static_cast<int>(Perform(EM_GETLIMITTEXT, 0, 0)); }

LRESULT TEdit::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_LBUTTONDBLCLK) {
    const LRESULT r = TControl::WndProc(msg, wparam, lparam);
    if (OnDblClick) OnDblClick(this);
    return r;
  }
  return TControl::WndProc(msg, wparam, lparam);
}

// TMemo

TMemo::TMemo(TControl* parent, TScrollStyle scroll_bars, bool word_wrap)
    : TControl(parent), lines_(*this) {
  DWORD style = WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
  if (scroll_bars == TScrollStyle::ssVertical || scroll_bars == TScrollStyle::ssBoth) {
    style |= WS_VSCROLL;
  }
  if (scroll_bars == TScrollStyle::ssHorizontal || scroll_bars == TScrollStyle::ssBoth) {
    style |= WS_HSCROLL;
  }
  if (!word_wrap) style |= ES_AUTOHSCROLL;
  CreateHandle(WS_EX_CLIENTEDGE, L"EDIT", style, "");
  Perform(EM_SETLIMITTEXT, 0, 0);
}

int TMemoStrings::Count() const {
  int count = 0;
  memo_.Invoke([&] { count = static_cast<int>(SplitLines(WindowText(memo_.Handle())).size()); });
  return count;
}

std::string TMemoStrings::Get(int index) const {
  std::wstring line;
  bool found = false;
  memo_.Invoke([&] {
    const auto lines = SplitLines(WindowText(memo_.Handle()));
    if (index >= 0 && index < static_cast<int>(lines.size())) {
      line = lines[static_cast<std::size_t>(index)];
      found = true;
    }
  });
  if (!found) IndexError(index);
  return WideToUtf8(line);
}

int TMemoStrings::Add(const std::string& s) {
  const std::wstring wide = Utf8ToWide(s);
  int index = -1;
  memo_.Invoke([&] {
    HWND h = memo_.Handle();
    const std::wstring text = WindowText(h);
    std::wstring insert = wide + L"\r\n";
    if (!text.empty() && text.compare(text.size() < 2 ? 0 : text.size() - 2, 2, L"\r\n") != 0) {
      insert = L"\r\n" + insert;
    }
    index = static_cast<int>(SplitLines(text).size());
    const auto end = static_cast<WPARAM>(text.size());
    SendMessageW(h, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(insert.c_str()));
    SendMessageW(h, EM_SCROLLCARET, 0, 0);
  });
  return index;
}

void TMemoStrings::Clear() { memo_.SetText(""); }

// TComboBox

TComboBox::TComboBox(TControl* parent) : TControl(parent), items_(*this) {
  CreateHandle(0, L"COMBOBOX", WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, "", 100,
               200);
}

void TComboBox::SetBounds(int left, int top, int width, int height) {
  Invoke([&] {
    HWND h = Handle();
    const int item = static_cast<int>(SendMessageW(h, CB_GETITEMHEIGHT, 0, 0));
    MoveWindow(h, left, top, width, height + DropDownCount * (item > 0 ? item : 16) + 2, TRUE);
  });
}

int TComboBox::ItemIndex() const {
  int index = -1;
  Invoke([&] { index = static_cast<int>(SendMessageW(Handle(), CB_GETCURSEL, 0, 0)); });
  return index;
}

void TComboBox::SetItemIndex(int index) { Perform(CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

std::string TComboBox::Text() const {
  std::string text;
  Invoke([&] {
    const int index = ItemIndex();
    if (index >= 0) text = items_.Get(index);
  });
  return text;
}

void TComboBox::CommandNotify(WORD code) {
  if (code == CBN_DROPDOWN && OnDropDown) OnDropDown(this);
}

int TComboBoxStrings::Count() const { return static_cast<int>(combo_.Perform(CB_GETCOUNT, 0, 0)); }

std::string TComboBoxStrings::Get(int index) const {
  std::wstring item;
  bool found = false;
  combo_.Invoke([&] {
    HWND h = combo_.Handle();
    const LRESULT length = SendMessageW(h, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (index < 0 || length == CB_ERR) return;
    item.assign(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT n = SendMessageW(h, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                   reinterpret_cast<LPARAM>(item.data()));
    item.resize(n == CB_ERR ? 0 : static_cast<std::size_t>(n));
    found = true;
  });
  if (!found) IndexError(index);
  return WideToUtf8(item);
}

int TComboBoxStrings::Add(const std::string& s) {
  const std::wstring wide = Utf8ToWide(s);
  LRESULT index = CB_ERR;
  combo_.Invoke([&] {
    index = SendMessageW(combo_.Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  });
  if (index < 0) throw EStringListError("Cannot add '" + s + "' to the list");
  return static_cast<int>(index);
}

void TComboBoxStrings::Clear() { combo_.Perform(CB_RESETCONTENT, 0, 0); }

// TButton

TButton::TButton(TControl* parent) : TControl(parent) {
  CreateHandle(0, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, "");
}

void TButton::Click() {
  if (OnClick) OnClick(this);
}

void TButton::CommandNotify(WORD code) {
  if (code == BN_CLICKED) Click();
}

// TRadioButton

TRadioButton::TRadioButton(TControl* parent) : TControl(parent) {
  CreateHandle(0, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_AUTORADIOBUTTON, "");
}

bool TRadioButton::Checked() const { return Perform(BM_GETCHECK, 0, 0) == BST_CHECKED; }

void TRadioButton::SetChecked(bool checked) {
  Invoke([&] {
    HWND h = Handle();
    if (checked && GetParent(h)) {
      for (HWND s = GetWindow(GetParent(h), GW_CHILD); s; s = GetWindow(s, GW_HWNDNEXT)) {
        if (s != h && dynamic_cast<TRadioButton*>(FromHandle(s))) {
          SendMessageW(s, BM_SETCHECK, BST_UNCHECKED, 0);
        }
      }
    }
    SendMessageW(h, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  });
}

// TGroupBox

TGroupBox::TGroupBox(TControl* parent) : TControl(parent) {
  CreateHandle(WS_EX_CONTROLPARENT, L"BUTTON", WS_VISIBLE | BS_GROUPBOX, "");
}

LRESULT TGroupBox::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_ERASEBKGND) {
    RECT r{};
    GetClientRect(Handle(), &r);
    FillRect(reinterpret_cast<HDC>(wparam), &r, GetSysColorBrush(COLOR_BTNFACE));
    return 1;
  }
  return TControl::WndProc(msg, wparam, lparam);
}
