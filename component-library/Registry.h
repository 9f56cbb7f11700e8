// Read access to the Windows registry.
#pragma once

#include <windows.h>

#include <string>

#include "Classes.h"
#include "SysUtils.h"

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

class TRegistry : public TObject {
 public:
  TRegistry() = default;
  ~TRegistry() override { CloseKey(); }
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  HKEY RootKey = HKEY_CURRENT_USER;
  // Opens key (relative to RootKey, a leading backslash allowed) for reading.
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey();
  HKEY CurrentKey() const { return current_key_; }

  // The value names of the open key, in the registry's order (the list is cleared first).
  void GetValueNames(TStrings& names) const;
  // The string data of a value (REG_SZ or REG_EXPAND_SZ); empty when the value does not
  // exist. Raises ERegistryException for data of another type.
  std::string ReadString(const std::string& name) const;

 private:
  HKEY current_key_ = nullptr;
};
