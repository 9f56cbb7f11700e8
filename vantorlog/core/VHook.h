// Hooking of code the library does not own: virtual-method slots, import address table slots
// and inline jumps with trampolines. Every patch opens the pages for writing, writes, puts the
// old protection back, flushes the instruction cache and is recorded in an undo list that
// Finalize takes back. The x86 instruction-length decoder the inline hook needs is portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SysUtils.h"

class EHookError : public Exception {
 public:
  using Exception::Exception;
};

class EProcNull : public EHookError {
 public:
  using EHookError::EHookError;
};

class EHookingError : public EHookError {
 public:
  using EHookError::EHookError;
};

class ESharedArea : public EHookError {
 public:
  using EHookError::EHookError;
};

namespace VHook {

// Length of the instruction at the start of code (at most available bytes are looked at).
// False for an undefined opcode or when the instruction does not fit in the bytes; length is
// then 1.
bool InstructionLengthOf(const std::uint8_t* code, std::size_t available, int* length);

// Length of the instruction at address; unreadable code counts as undefined.
bool InstructionLength(const void* address, int* length);

// Bytes from address up to and including the first return instruction (C2, C3, CA, CB after
// prefixes), decoded instruction by instruction; 1 when none ends within maximum bytes or the
// code cannot be read.
int ProcedureLengthOf(const std::uint8_t* code, std::size_t available, int maximum);
int ProcedureLength(const void* address, int maximum);

#ifdef _WIN32

// Unit start-up: creates the three undo lists. Finalize undoes every recorded patch (import
// slots and inline hooks from the last to the first, virtual slots through their list) and
// frees the lists.
void Initialize();
void Finalize();
bool IsInitialized();

// Writes count bytes at address with the pages opened for writing; false (nothing written)
// when the protection cannot be changed.
bool WriteCode(void* address, const void* bytes, std::size_t count);
// E9 and the distance to target.
bool WriteJump(void* address, const void* target);

// Virtual-method slots. class_table points to the first slot of a class's table. Returns the
// slot's previous value (when it already holds new_procedure: the original saved for it); null
// when the unit is not initialised or the slot does not lie inside a loaded module.
void* PatchVirtualSlot(void* class_table, int slot_index, void* new_procedure);
bool RestoreVirtualSlot(void* class_table, int slot_index);

// Inline hook: the first whole instructions of target (at least 5 bytes) move into a
// trampoline that runs them and jumps back; target then jumps to new_procedure. Returns the
// trampoline (the same one when target is already hooked). Raises EHookingError.
void* HookProcedure(void* target, void* new_procedure);
// HookProcedure after following import jumps, with the checks and messages of the library:
// EProcNull, ESharedArea, EHookingError naming name.
void* TryHookProcedure(void* target, void* new_procedure, const std::string& name);
// Undoes every inline hook whose target or trampoline is address.
bool UnhookProcedure(void* address);

// Replaces, in the import address table of module, every slot of dll_name's imports that holds
// original by new_address (recorded for undo unless keep_no_undo). Returns original when at
// least one slot was patched, else null; raises EHookingError when nothing was patched unless
// silent.
void* PatchModuleImport(void* module, const std::string& dll_name, void* original,
                        bool keep_no_undo, bool silent, const std::string& name, void* new_address);
// original := the procedure's address in dll_name; each loaded module of module_names gets
// its imports of it patched (with undo). True when any module was patched.
bool PatchImportsInModules(const std::vector<std::string>& module_names,
                           const std::string& dll_name, bool silent, void** original,
                           void* new_address, const std::string& procedure_name);

#endif

}  // namespace VHook
