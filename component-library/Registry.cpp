#include "Registry.h"

#include <vector>

#include "WideText.h"

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  CloseKey();
  std::wstring path = Utf8ToWide(key);
  while (!path.empty() && path.front() == L'\\') path.erase(path.begin());
  HKEY opened = nullptr;
  if (RegOpenKeyExW(RootKey, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS &&
      RegOpenKeyExW(RootKey, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
    return false;
  }
  current_key_ = opened;
  return true;
}

void TRegistry::CloseKey() {
  if (current_key_) RegCloseKey(current_key_);
  current_key_ = nullptr;
}

void TRegistry::GetValueNames(TStrings& names) const {
  names.Clear();
  if (!current_key_) return;
  DWORD count = 0;
  DWORD max_name = 0;
  if (RegQueryInfoKeyW(current_key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       &max_name, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return;
  }
  std::vector<wchar_t> name(max_name + 1);
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueW(current_key_, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.Add(WideToUtf8(std::wstring(name.data(), length)));
  }
}

std::string TRegistry::ReadString(const std::string& name) const {
  if (!current_key_) return {};
  const std::wstring wide_name = Utf8ToWide(name);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(current_key_, wide_name.c_str(), nullptr, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw ERegistryException("Invalid data type for '" + name + "'");
  }
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
  DWORD read = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  if (RegQueryValueExW(current_key_, wide_name.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &read) != ERROR_SUCCESS) {
    return {};
  }
  std::wstring text(data.data(), read / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return WideToUtf8(text);
}
