// Run-time exception classes shared by the component library, the flasher and the exception
// library. They live at global scope: exception filters name them by class name.
#pragma once

#include <string>

class Exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  virtual ~Exception() = default;
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

  const std::string& Message() const { return message_; }  // UTF-8
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

class EAbort : public Exception {
 public:
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class EOutOfMemory : public Exception {
 public:
  using Exception::Exception;
};

// An operating-system exception turned into an object; the record is the OS's own
// (an EXCEPTION_RECORD on Windows), kept as an opaque pointer so this header stays portable.
class EExternal : public Exception {
 public:
  EExternal(std::string message, const void* exception_record = nullptr)
      : Exception(std::move(message)), exception_record_(exception_record) {}
  const void* ExceptionRecord() const { return exception_record_; }

 private:
  const void* exception_record_;
};

class EAccessViolation : public EExternal {
 public:
  using EExternal::EExternal;
};

class EStackOverflow : public EExternal {
 public:
  using EExternal::EExternal;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// Hexadecimal text to a 32-bit value, as typed in an edit box ("00000000", "1c00000",
// optionally "$" or "0x" in front). Throws EConvertError when the text is not a hex number
// or does not fit in 32 bits.
unsigned HexToUInt32(const std::string& text);
