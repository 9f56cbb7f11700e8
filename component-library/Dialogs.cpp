#include "Dialogs.h"

#include <commdlg.h>

#include <vector>

#include "WideText.h"

TOpenDialog::TOpenDialog(TControl* owner) : owner_(owner) {
  if (owner_) owner_->InsertComponent(this);
}

TOpenDialog::~TOpenDialog() {
  if (owner_) owner_->RemoveComponent(this);
}

bool TOpenDialog::Execute() {
  constexpr std::size_t kBufferChars = 32768;
  std::vector<wchar_t> buffer(kBufferChars, L'\0');
  const std::wstring initial = Utf8ToWide(FileName);
  if (initial.size() < kBufferChars) std::copy(initial.begin(), initial.end(), buffer.begin());

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  HWND owner = owner_ ? owner_->Handle() : nullptr;
  ofn.hwndOwner = owner ? GetAncestor(owner, GA_ROOT) : GetActiveWindow();
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = static_cast<DWORD>(buffer.size());
  ofn.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!RunDialog(&ofn)) return false;
  FileName = WideToUtf8(buffer.data());
  return true;
}

bool TOpenDialog::RunDialog(void* open_file_name) {
  return GetOpenFileNameW(static_cast<OPENFILENAMEW*>(open_file_name)) != FALSE;
}

bool TSaveDialog::RunDialog(void* open_file_name) {
  return GetSaveFileNameW(static_cast<OPENFILENAMEW*>(open_file_name)) != FALSE;
}
