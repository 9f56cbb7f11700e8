#include "CWnd.h"

namespace {
const wchar_t kObjectProp[] = L"dlgfw.CWnd";
}

CWnd::~CWnd() {
  if (m_hWnd && FromHandlePermanent(m_hWnd) == this) {
    if (m_oldProc) SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_oldProc));
    ClearPermanent();
  }
}

const MessageMap* CWnd::GetThisMessageMap() {
  static const MessageEntry entries[] = {{0, 0, 0, 0, nullptr}};
  static const MessageMap map{nullptr, entries};
  return &map;
}

const MessageMap* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

CWnd* CWnd::FromHandlePermanent(HWND h) {
  return h ? static_cast<CWnd*>(GetPropW(h, kObjectProp)) : nullptr;
}

void CWnd::SetPermanent(HWND h) {
  m_hWnd = h;
  SetPropW(h, kObjectProp, this);
}

void CWnd::ClearPermanent() {
  if (m_hWnd) RemovePropW(m_hWnd, kObjectProp);
  m_temporaries.clear();
  m_hWnd = nullptr;
  m_oldProc = nullptr;
}

void CWnd::Attach(HWND h) { m_hWnd = h; }

HWND CWnd::Detach() {
  HWND h = m_hWnd;
  m_hWnd = nullptr;
  return h;
}

CWnd* CWnd::GetDlgItem(int id) {
  HWND h = ::GetDlgItem(m_hWnd, id);
  if (CWnd* p = FromHandlePermanent(h)) return p;
  auto& slot = m_temporaries[h];
  if (!slot) {
    slot = std::make_unique<CWnd>();
    slot->m_hWnd = h;  // null for a missing control: calls then fail harmlessly
  }
  return slot.get();
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  return SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id)));
}

BOOL CWnd::SubclassWindow(HWND h) {
  if (!h || FromHandlePermanent(h)) return FALSE;
  SetPermanent(h);
  m_oldProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
  return TRUE;
}

LRESULT CALLBACK CWnd::SubclassProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  CWnd* self = FromHandlePermanent(h);
  if (!self) return DefWindowProcW(h, msg, w, l);
  WNDPROC old = self->m_oldProc;
  try {
    if (msg == WM_NCDESTROY) {
      LRESULT r = CallWindowProcW(old, h, msg, w, l);
      self->ClearPermanent();
      self->PostNcDestroy();
      return r;
    }
    return self->WindowProc(msg, w, l);
  } catch (...) {
    return HandleCallbackException(h, msg, w, l);
  }
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM w, LPARAM l) {
  LRESULT result = 0;
  if (OnWndMsg(msg, w, l, &result)) return result;
  return CallOriginal(msg, w, l);
}

LRESULT CWnd::CallOriginal(UINT msg, WPARAM w, LPARAM l) {
  if (m_oldProc) return CallWindowProcW(m_oldProc, m_hWnd, msg, w, l);
  return DefWindowProcW(m_hWnd, msg, w, l);
}

bool CWnd::OnWndMsg(UINT msg, WPARAM w, LPARAM l, LRESULT* result) {
  UINT code = 0, id = 0;
  if (msg == WM_COMMAND) {
    code = HIWORD(w);
    id = LOWORD(w);
  } else if (msg == WM_NOTIFY) {
    auto* hdr = reinterpret_cast<NMHDR*>(l);
    if (!hdr) return false;
    code = hdr->code;
    id = static_cast<UINT>(hdr->idFrom);
  }
  for (const MessageMap* map = GetMessageMap(); map; map = map->base ? map->base() : nullptr) {
    for (const MessageEntry* e = map->entries; e->thunk; ++e) {
      if (e->message != msg) continue;
      if ((msg == WM_COMMAND || msg == WM_NOTIFY) &&
          (e->code != code || id < e->idFirst || id > e->idLast))
        continue;
      bool saved = m_bDefault;
      m_bDefault = false;
      *result = e->thunk(this, w, l);
      bool wantsDefault = m_bDefault;
      m_bDefault = saved;
      return !wantsDefault;
    }
  }
  return false;
}

CString CWnd::GetWindowText() const {
  int n = ::GetWindowTextLengthW(m_hWnd);
  std::wstring buf(static_cast<std::size_t>(n) + 1, L'\0');
  int got = ::GetWindowTextW(m_hWnd, buf.data(), n + 1);
  buf.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return CString(std::move(buf));
}

CString CWnd::GetDlgItemText(int id) const {
  HWND h = ::GetDlgItem(m_hWnd, id);
  int n = ::GetWindowTextLengthW(h);
  std::wstring buf(static_cast<std::size_t>(n) + 1, L'\0');
  int got = ::GetWindowTextW(h, buf.data(), n + 1);
  buf.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return CString(std::move(buf));
}

BOOL CWnd::DestroyWindow() {
  if (!m_hWnd) return FALSE;
  return ::DestroyWindow(m_hWnd);
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
  return ::MessageBoxW(m_hWnd, text, caption ? caption : AfxGetAppName(), type);
}
