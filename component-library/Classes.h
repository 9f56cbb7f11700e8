// The root object, notify events and string lists.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "SysUtils.h"

class TObject {
 public:
  virtual ~TObject() = default;
};

class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// An ordered list of UTF-8 strings. Controls expose their lines and items through it.
class TStrings : public TObject {
 public:
  virtual int Count() const = 0;
  virtual std::string Get(int index) const = 0;  // throws EStringListError out of range
  // Appends one string; returns its index.
  virtual int Add(const std::string& s) = 0;
  virtual void Clear() = 0;

  std::string operator[](int index) const { return Get(index); }
  int IndexOf(const std::string& s) const;
  // The strings, each followed by CR LF.
  std::string Text() const;
};

class TStringList : public TStrings {
 public:
  int Count() const override { return static_cast<int>(items_.size()); }
  std::string Get(int index) const override;
  int Add(const std::string& s) override;
  void Clear() override { items_.clear(); }

 private:
  std::vector<std::string> items_;
};
