// Table-driven disassembler of 32-bit x86 code (up to MMX): one instruction at a time, as one
// line of text ("mov     eax, [ebp-$08]") and its length. Code is read through a reader, so a
// plain byte buffer works as well as the process's own memory; an instruction that runs past
// the readable bytes (or past 15 bytes) ends there and is shown as data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Classes.h"

// Where the instruction bytes come from.
class TCodeReader {
 public:
  virtual ~TCodeReader() = default;
  // Copies the readable bytes from address on, at most count; returns how many were copied.
  virtual std::size_t Read(std::uint32_t address, std::uint8_t* buffer,
                           std::size_t count) const = 0;
};

// Bytes of a buffer that stands at a code address.
class TBufferCodeReader : public TCodeReader {
 public:
  TBufferCodeReader(const void* data, std::size_t size, std::uint32_t base)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size), base_(base) {}
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t count) const override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint32_t base_;
};

// The process's own memory, through the never-faulting probes.
class TProcessCodeReader : public TCodeReader {
 public:
  std::size_t Read(std::uint32_t address, std::uint8_t* buffer, std::size_t count) const override;
};

// What the decoder found for a memory operand. Registers are numbered as in ModRM (0 eax/ax ...
// 7 edi/di), -1 when absent; with 16-bit addresses they are bx, bp, si, di.
struct TDisAsmMemory {
  int Base = -1;
  int Index = -1;
  int Scale = 1;
  bool HasDisplacement = false;
  std::uint32_t Displacement = 0;  // sign-extended for 8-bit displacements
  int AddressSize = 4;
  std::string Segment;  // "es", "fs", ... after a segment prefix, else empty
};

// Callbacks: each may change text, which then replaces the operand's text. A callback's text is
// shown as given (not scanned for the decoder's escapes).
using TDisAsmTargetProc = void (*)(void* user, std::uint32_t address, std::uint32_t target,
                                   std::string& text);
using TDisAsmDisplacementProc = void (*)(void* user, std::uint32_t address, std::uint32_t value,
                                         std::string& text);
// text: the operand without its size word ("es:[eax+$10]").
using TDisAsmMemoryProc = void (*)(void* user, const TDisAsmMemory& operand, int size,
                                   std::string& text);
using TDisAsmImmediateProc = void (*)(void* user, std::uint32_t address, int size,
                                      std::string& text, bool is_signed);

class TDisAsm : public TObject {
 public:
  TDisAsmTargetProc OnJump = nullptr;                // "J" operands of jumps
  TDisAsmTargetProc OnCall = nullptr;                // "J" operands of calls
  TDisAsmDisplacementProc OnDisplacement = nullptr;  // 32-bit displacements and absolutes
  TDisAsmMemoryProc OnMemory = nullptr;              // every memory operand
  TDisAsmImmediateProc OnImmediate = nullptr;        // immediates
  void* UserValue = nullptr;
  // nullptr: the process's own memory.
  const TCodeReader* Code = nullptr;
};

namespace VDisAsm {

// Decodes the instruction at address; length gets the bytes it took (at least 1).
void DisassembleOne(TDisAsm& disasm, std::uint32_t address, int& length, std::string& text);

}  // namespace VDisAsm
