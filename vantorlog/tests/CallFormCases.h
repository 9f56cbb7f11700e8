// Byte cases of the CALL-form test: the bytes end just before the value (a return address
// candidate) that stands at kCallCaseBase + kCallCaseValue. calls lists the lengths of the call
// instructions that end at the value as a disassembler reads them; the peer
// call_forms_vs_objdump.py checks them against objdump.
#pragma once

#include <cstdint>

#include "VCallStack.h"

inline constexpr std::uint32_t kCallCaseBase = 0x00401000;
inline constexpr std::uint32_t kCallCaseSize = 0x80;
inline constexpr std::uint32_t kCallCaseValue = 0x40;  // offset of the value in the buffer

struct TCallCase {
  const char* hex;
  ExceptionLog::TCallForm form;  // kNone: rejected
  int length;                    // bytes from the call to the value when accepted
  const char* calls;
  const char* what;
};

using F = ExceptionLog::TCallForm;
// Readable: the buffer only. E8 C0 FF FF FF calls the buffer's start; 10 10 40 00 points
// into it.
inline const TCallCase kCallCases[] = {
    {"E8 C0 FF FF FF", F::kDirect, 5, "5", "direct call into readable code"},
    {"E8 00 00 00 10", F::kNone, 0, "5", "direct call to an unreadable target"},
    {"FF D0", F::kRegister, 2, "2", "call eax"},
    {"FF D1", F::kRegister, 2, "2", "call ecx"},
    {"FF D2", F::kRegister, 2, "2", "call edx"},
    {"FF D3", F::kRegister, 2, "2", "call ebx"},
    {"FF D4", F::kRegister, 2, "2", "call esp"},
    {"FF D5", F::kRegister, 2, "2", "call ebp"},
    {"FF D6", F::kRegister, 2, "2", "call esi"},
    {"FF D7", F::kRegister, 2, "2", "call edi"},
    {"FF 10", F::kRegisterMemory, 2, "2", "call [eax]"},
    {"FF 11", F::kRegisterMemory, 2, "2", "call [ecx]"},
    {"FF 12", F::kRegisterMemory, 2, "2", "call [edx]"},
    {"FF 13", F::kRegisterMemory, 2, "2", "call [ebx]"},
    {"FF 16", F::kRegisterMemory, 2, "2", "call [esi]"},
    {"FF 17", F::kRegisterMemory, 2, "2", "call [edi]"},
    {"8B 00 FF 50 08", F::kRegisterDisp8, 3, "3", "mov eax,[eax]; call [eax+8]"},
    {"8B 45 08 FF 50 10", F::kRegisterDisp8, 3, "3", "mov eax,[ebp+8]; call [eax+16]"},
    {"8B 01 FF 51 FC", F::kRegisterDisp8, 3, "3", "call [ecx-4] after mov eax,[ecx]"},
    {"8B 45 F0 FF 52 04", F::kRegisterDisp8, 3, "3", "call [edx+4]"},
    {"8B 03 FF 53 7F", F::kRegisterDisp8, 3, "3", "call [ebx+127]"},
    {"8B 45 08 FF 55 0C", F::kRegisterDisp8, 3, "3", "call [ebp+12]"},
    {"8B 06 FF 56 80", F::kRegisterDisp8, 3, "3", "call [esi-128]"},
    {"8B 07 FF 57 20", F::kRegisterDisp8, 3, "3", "call [edi+32]"},
    {"90 90 90 FF 50 08", F::kNone, 0, "3", "call [eax+8] without a mov in front"},
    {"FF 90 00 01 00 00", F::kRegisterDisp32, 6, "6", "call [eax+0x100]"},
    {"FF 91 00 40 00 00", F::kRegisterDisp32, 6, "6", "call [ecx+0x4000]"},
    {"FF 92 00 C0 FF FF", F::kRegisterDisp32, 6, "6", "call [edx-0x4000]"},
    {"FF 93 04 00 00 00", F::kRegisterDisp32, 6, "6", "call [ebx+4] (long form)"},
    {"FF 95 F8 FF FF FF", F::kRegisterDisp32, 6, "6", "call [ebp-8] (long form)"},
    {"FF 96 00 20 00 00", F::kRegisterDisp32, 6, "6", "call [esi+0x2000]"},
    {"FF 97 10 00 00 00", F::kRegisterDisp32, 6, "6", "call [edi+0x10]"},
    {"FF 90 01 40 00 00", F::kNone, 0, "6", "call [eax+0x4001]: displacement too large"},
    {"FF 93 FF BF FF FF", F::kNone, 0, "6", "call [ebx-0x4001]: displacement too small"},
    {"FF 14 24", F::kEsp, 3, "3", "call [esp]"},
    {"FF 54 24 08", F::kEspDisp8, 4, "4", "call [esp+8]"},
    {"FF 94 24 00 01 00 00", F::kEspDisp32, 7, "7", "call [esp+0x100]"},
    {"FF 15 10 10 40 00", F::kAbsolute, 6, "6", "call [abs] with a readable pointer"},
    {"FF 15 00 00 00 70", F::kNone, 0, "6", "call [abs] with an unreadable pointer"},
    {"FF 14 85 10 10 40 00", F::kNone, 0, "7", "call [eax*4+disp32]: no admitted form"},
    {"90 FF 14 88", F::kNone, 0, "3", "call [eax+ecx*4]: no admitted form"},
    {"FF 54 88 08", F::kNone, 0, "4", "call [eax+ecx*4+8]: no admitted form"},
    {"FF 94 88 00 01 00 00", F::kNone, 0, "7", "call [eax+ecx*4+0x100]: no admitted form"},
    {"E8 11 22 FF D0", F::kNone, 0, "2 5", "E8 at value-5 decides first: its target is unreadable"},
    {"90 90 90 90 90 90 90", F::kNone, 0, "", "no call"},
    {"B8 00 00 00 00", F::kNone, 0, "", "mov eax,0"},
    {"89 E5", F::kNone, 0, "", "mov ebp,esp"},
    {"FF E0", F::kNone, 0, "", "jmp eax"},
    {"FF 25 10 10 40 00", F::kNone, 0, "", "jmp [abs]"},
    {"8B 00 FF 60 08", F::kNone, 0, "", "jmp [eax+8]"},
    {"FF 35 10 10 40 00", F::kNone, 0, "", "push [abs]"},
    {"FF 30", F::kNone, 0, "", "push [eax]"},
};
