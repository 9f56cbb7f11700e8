// The language raise as the library sees it: entries for the linker's --wrap=__cxa_throw,
// --wrap=__cxa_rethrow and --wrap=__cxa_end_catch. A program that links with those options
// pulls this object in; others never see it (it is the only reference to the __real_ names).
//
// The runtime's search for a handler is watched where it ends (--wrap=__gxx_personality_v0 and
// --wrap=_ZSt9terminatev, std::terminate): the personality routine reports the frame that takes
// the exception, and the raise routines call terminate when no frame does. Either way the
// raising code's stack is still whole.
//
// The throw entries save the raising call's registers and return address into a
// TLanguageRaise on their own frame, hand it to the library, restore the registers and jump to
// the real routine, which then sees the call exactly as it was made. The frame carries unwind
// information, so that the library's search of the handlers can walk through it to the
// raising code.
#include <unwind.h>

#include <cstddef>
#include <exception>

#include "ExceptionLog.h"

using ExceptionLog::TLanguageRaise;

static_assert(sizeof(void*) == 4, "the throw entries are i386 code");
static_assert(offsetof(TLanguageRaise, ReturnAddress) == 0 &&
                  offsetof(TLanguageRaise, Object) == 4 && offsetof(TLanguageRaise, Ebx) == 8 &&
                  offsetof(TLanguageRaise, Esi) == 12 && offsetof(TLanguageRaise, Edi) == 16 &&
                  offsetof(TLanguageRaise, Ebp) == 20 && offsetof(TLanguageRaise, Esp) == 24 &&
                  offsetof(TLanguageRaise, Ecx) == 28 && offsetof(TLanguageRaise, Eax) == 32 &&
                  offsetof(TLanguageRaise, Edx) == 36 && offsetof(TLanguageRaise, Type) == 40 &&
                  offsetof(TLanguageRaise, Rethrow) == 44 && sizeof(TLanguageRaise) == 48,
              "the layout the throw entries write");

extern "C" {
void __real___cxa_end_catch();
_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* header,
                                                _Unwind_Context* context);
[[noreturn]] void __real__ZSt9terminatev();
// The rethrow entry's helper: the object and type of the exception being rethrown.
void VantorLogRethrowRaise(TLanguageRaise* raise);
}

// Entry: [esp] return address, [esp+4] object, [esp+8] type_info, [esp+12] destructor.
// The raising code's stack pointer is the one after the call: entry esp + 4.
#define VL_SAVE_RAISE(fill_call)     \
  "  .cfi_startproc\n"               \
  "  pushl %ebp\n"                   \
  "  .cfi_def_cfa_offset 8\n"        \
  "  .cfi_offset %ebp, -8\n"         \
  "  movl %esp, %ebp\n"              \
  "  .cfi_def_cfa_register %ebp\n"   \
  "  subl $52, %esp\n"               \
  "  movl %eax, 32(%esp)\n"          \
  "  movl %ecx, 28(%esp)\n"          \
  "  movl %edx, 36(%esp)\n"          \
  "  movl %ebx, 8(%esp)\n"           \
  "  movl %esi, 12(%esp)\n"          \
  "  movl %edi, 16(%esp)\n"          \
  "  movl 0(%ebp), %eax\n"           \
  "  movl %eax, 20(%esp)\n"          \
  "  leal 8(%ebp), %eax\n"           \
  "  movl %eax, 24(%esp)\n"          \
  "  movl 4(%ebp), %eax\n"           \
  "  movl %eax, 0(%esp)\n" fill_call \
  "  movl 32(%esp), %eax\n"          \
  "  movl 28(%esp), %ecx\n"          \
  "  movl 36(%esp), %edx\n"          \
  "  movl 8(%esp), %ebx\n"           \
  "  movl 12(%esp), %esi\n"          \
  "  movl 16(%esp), %edi\n"          \
  "  leave\n"                        \
  "  .cfi_def_cfa %esp, 4\n"         \
  "  .cfi_restore %ebp\n"

asm(".text\n"
    ".globl ___wrap___cxa_throw\n"
    ".def ___wrap___cxa_throw; .scl 2; .type 32; .endef\n"
    "___wrap___cxa_throw:\n" VL_SAVE_RAISE(
        "  movl 8(%ebp), %eax\n"
        "  movl %eax, 4(%esp)\n"
        "  movl 12(%ebp), %eax\n"
        "  movl %eax, 40(%esp)\n"
        "  movl $0, 44(%esp)\n"
        "  movl %esp, %eax\n"
        "  pushl %eax\n"
        "  call _VantorLogLanguageRaise\n"
        "  addl $4, %esp\n") "  jmp ___real___cxa_throw\n"
                             "  .cfi_endproc\n"
                             ".globl ___wrap___cxa_rethrow\n"
                             ".def ___wrap___cxa_rethrow; .scl 2; .type 32; .endef\n"
                             "___wrap___cxa_rethrow:\n" VL_SAVE_RAISE(
                                 "  movl $0, 4(%esp)\n"
                                 "  movl $0, 40(%esp)\n"
                                 "  movl $1, 44(%esp)\n"
                                 "  movl %esp, %eax\n"
                                 "  pushl %eax\n"
                                 "  call _VantorLogRethrowRaise\n"
                                 "  addl $4, %esp\n") "  jmp ___real___cxa_rethrow\n"
                                                      "  .cfi_endproc\n");

extern "C" void VantorLogRethrowRaise(TLanguageRaise* raise) {
  // The exception being handled.
  const std::exception_ptr current = std::current_exception();
  raise->Object = ExceptionLog::ObjectOf(current);
  raise->Type = current.__cxa_exception_type();
  VantorLogLanguageRaise(raise);
}

// The library looks at the handled exception while its object still lives: before the real
// routine, which may destroy it.
extern "C" void __wrap___cxa_end_catch() {
  if (VantorLogEndCatchDue()) VantorLogEndCatchDone();
  __real___cxa_end_catch();
}

extern "C" _Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                           _Unwind_Exception_Class exception_class,
                                                           _Unwind_Exception* header,
                                                           _Unwind_Context* context) {
  const _Unwind_Reason_Code code =
      __real___gxx_personality_v0(version, actions, exception_class, header, context);
  // The thrown object follows its unwind header.
  if (code == _URC_HANDLER_FOUND && (actions & _UA_SEARCH_PHASE) && header)
    ExceptionLog::OnLanguageSearchEnd(header + 1, context);
  return code;
}

// The raise and rethrow routines call terminate when the search found no handler: the raising
// frames are still whole under it.
extern "C" void __wrap__ZSt9terminatev() {
  ExceptionLog::OnLanguageSearchEnd(ExceptionLog::ObjectOf(std::current_exception()), nullptr);
  __real__ZSt9terminatev();
}
