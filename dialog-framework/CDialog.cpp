#include "CDialog.h"

#include "CWinApp.h"

namespace {

// The dialog whose window is being created: messages before WM_INITDIALOG (WM_SETFONT,
// WM_MEASUREITEM of owner-drawn controls) reach it through this.
CDialog* g_creating = nullptr;

bool ReturnsValueDirectly(UINT msg) {
  switch (msg) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
      return true;
    default:
      return false;
  }
}

}  // namespace

CDialog::~CDialog() {
  if (m_hWnd && FromHandlePermanent(m_hWnd) == this) {
    HWND h = m_hWnd;
    ClearPermanent();
    ::DestroyWindow(h);
  }
}

HWND CDialog::CreateFromTemplate(UINT templateId, HWND owner) {
  CDialog* saved = g_creating;
  g_creating = this;
  HWND h = CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(templateId), owner,
                              &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  g_creating = saved;
  return h;
}

BOOL CDialog::Create(UINT templateId, CWnd* parent) {
  m_nIDHelp = templateId;
  m_pParentWnd = parent;
  m_modal = false;
  return CreateFromTemplate(templateId, parent ? parent->m_hWnd : nullptr) != nullptr;
}

INT_PTR CDialog::DoModal() {
  HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
  if (!owner && AfxGetApp() && AfxGetApp()->m_pMainWnd && AfxGetApp()->m_pMainWnd != this)
    owner = AfxGetApp()->m_pMainWnd->m_hWnd;
  m_modal = true;
  m_ended = false;
  m_result = IDCANCEL;
  HWND h = CreateFromTemplate(m_nIDHelp, owner);
  if (!h) return -1;
  bool ownerDisabled = false;
  if (owner && ::IsWindowEnabled(owner)) {
    ::EnableWindow(owner, FALSE);
    ownerDisabled = true;
  }
  if (!m_ended) ::ShowWindow(h, SW_SHOW);
  MSG msg;
  while (!m_ended && ::IsWindow(h)) {
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {  // WM_QUIT: leave the loop and repost it for the outer one
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    bool taken = false;
    try {
      taken = PreTranslateMessage(&msg);
    } catch (...) {
      HandleCallbackException(msg.hwnd, msg.message, msg.wParam, msg.lParam);
      taken = true;
    }
    if (taken || ::IsDialogMessageW(h, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (ownerDisabled) ::EnableWindow(owner, TRUE);
  if (owner && ::GetActiveWindow() == h) ::SetActiveWindow(owner);
  if (::IsWindow(h)) ::DestroyWindow(h);
  m_modal = false;
  return m_result;
}

void CDialog::EndDialog(int result) {
  m_result = result;
  if (m_modal) {
    m_ended = true;
    if (m_hWnd) ::ShowWindow(m_hWnd, SW_HIDE);
    ::PostMessageW(m_hWnd, WM_NULL, 0, 0);  // wakes the modal loop
  } else if (m_hWnd) {
    ::DestroyWindow(m_hWnd);
  }
}

BOOL CDialog::UpdateData(BOOL save) {
  CDataExchange dx(this, save);
  DoDataExchange(&dx);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::OnWndMsg(UINT msg, WPARAM w, LPARAM l, LRESULT* result) {
  if (msg == WM_INITDIALOG) {
    *result = OnInitDialog();
    return true;
  }
  if (CWnd::OnWndMsg(msg, w, l, result)) return true;
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED || l == 0) {
        if (LOWORD(w) == IDOK) {
          OnOK();
          return true;
        }
        if (LOWORD(w) == IDCANCEL) {
          OnCancel();
          return true;
        }
      }
      return false;
    case WM_DRAWITEM: {
      auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(l);
      if (CWnd* c = FromHandlePermanent(dis->hwndItem)) {
        c->DrawItem(dis);
        *result = TRUE;
        return true;
      }
      return false;
    }
    case WM_MEASUREITEM: {
      auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(l);
      if (CWnd* c = FromHandlePermanent(::GetDlgItem(m_hWnd, static_cast<int>(mis->CtlID)))) {
        c->MeasureItem(mis);
        *result = TRUE;
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

INT_PTR CALLBACK CDialog::DialogProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  auto* self = static_cast<CDialog*>(FromHandlePermanent(h));
  if (!self) {
    CDialog* creating = msg == WM_INITDIALOG ? reinterpret_cast<CDialog*>(l) : g_creating;
    if (!creating) return FALSE;
    self = creating;
    self->SetPermanent(h);
  }
  try {
    LRESULT result = 0;
    bool handled = self->OnWndMsg(msg, w, l, &result);
    if (msg == WM_NCDESTROY) {
      self->ClearPermanent();
      return FALSE;
    }
    if (!handled) return FALSE;
    if (ReturnsValueDirectly(msg)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(h, DWLP_MSGRESULT, result);
    return TRUE;
  } catch (...) {
    HandleCallbackException(h, msg, w, l);
    return msg == WM_INITDIALOG ? TRUE : FALSE;
  }
}

// Data exchange.

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.m_hWnd) return;
  control.SubclassDlgItem(static_cast<UINT>(id), dx->m_pDlgWnd);
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
  HWND c = dx->Control(id);
  if (dx->m_bSaveAndValidate)
    value = static_cast<int>(::SendMessageW(c, BM_GETCHECK, 0, 0));
  else
    ::SendMessageW(c, BM_SETCHECK, static_cast<WPARAM>(value >= 0 && value <= 2 ? value : 0), 0);
}

void DDX_Radio(CDataExchange* dx, int id, int& value) {
  HWND c = dx->Control(id);
  if (dx->m_bSaveAndValidate) value = -1;
  int index = 0;
  for (HWND b = c; b; b = ::GetWindow(b, GW_HWNDNEXT)) {
    if (b != c && (::GetWindowLongW(b, GWL_STYLE) & WS_GROUP)) break;
    if (::SendMessageW(b, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) {
      if (dx->m_bSaveAndValidate) {
        if (::SendMessageW(b, BM_GETCHECK, 0, 0) == BST_CHECKED) value = index;
      } else {
        ::SendMessageW(b, BM_SETCHECK, index == value ? BST_CHECKED : BST_UNCHECKED, 0);
      }
      ++index;
    }
  }
}

void DDX_CBIndex(CDataExchange* dx, int id, int& value) {
  HWND c = dx->Control(id);
  if (dx->m_bSaveAndValidate)
    value = static_cast<int>(::SendMessageW(c, CB_GETCURSEL, 0, 0));
  else
    ::SendMessageW(c, CB_SETCURSEL, static_cast<WPARAM>(value), 0);
}

void DDX_Text(CDataExchange* dx, int id, CString& value) {
  HWND c = dx->Control(id);
  if (dx->m_bSaveAndValidate) {
    CWnd w;
    w.Attach(c);
    value = w.GetWindowText();
    w.Detach();
  } else {
    ::SetWindowTextW(c, value);
  }
}

void DDX_Text(CDataExchange* dx, int id, int& value) {
  HWND c = dx->Control(id);
  if (dx->m_bSaveAndValidate) {
    BOOL ok = FALSE;
    int v = static_cast<int>(::GetDlgItemInt(dx->m_pDlgWnd->m_hWnd, id, &ok, TRUE));
    if (ok) value = v;
  } else {
    CString s;
    s.Format(L"%d", value);
    ::SetWindowTextW(c, s);
  }
}
