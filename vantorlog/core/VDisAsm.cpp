#include "VDisAsm.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "VMemory.h"

std::size_t TBufferCodeReader::Read(std::uint32_t address, std::uint8_t* buffer,
                                    std::size_t count) const {
  if (address < base_) return 0;
  const std::uint64_t offset = static_cast<std::uint64_t>(address) - base_;
  if (offset >= size_) return 0;
  const std::size_t n = std::min<std::uint64_t>(count, size_ - offset);
  std::memcpy(buffer, data_ + offset, n);
  return n;
}

std::size_t TProcessCodeReader::Read(std::uint32_t address, std::uint8_t* buffer,
                                     std::size_t count) const {
  const void* at = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
  if (!at) return 0;
  const std::size_t n = VCore::ReadableBytes(at, count);
  return n != 0 && VCore::SafeRead(at, buffer, n) ? n : 0;
}

namespace {

// clang-format off
// One-byte opcodes.
const char* const kOneByte[256] = {
    // 00
    "add     #Eb , #Gb ", "add     #Ev , #Gv ", "add     #Gb , #Eb ", "add     #Gv , #Ev ",
    "add     al, #Hb ", "add     @eax, #Hv ", "push    es", "pop     es",
    "or      #Eb , #Gb ", "or      #Ev , #Gv ", "or      #Gb , #Eb ", "or      #Gv , #Ev ",
    "or      al, #Ib ", "or      @eax, #Iv ", "push    cs", "@c2",
    // 10
    "adc     #Eb , #Gb ", "adc     #Ev , #Gv ", "adc     #Gb , #Eb ", "adc     #Gv , #Ev ",
    "adc     al, #Ib ", "adc     @eax, #Iv ", "push    ss", "pop     ss",
    "sbb     #Eb , #Gb ", "sbb     #Ev , #Gv ", "sbb     #Gb , #Eb ", "sbb     #Gv , #Ev ",
    "sbb     al, #Ib ", "sbb     @eax, #Iv ", "push    ds", "pop     ds",
    // 20
    "and     #Eb , #Gb ", "and     #Ev , #Gv ", "and     #Gb , #Eb ", "and     #Gv , #Ev ",
    "and     al, #Ib ", "and     @eax, #Iv ", "@pe", "daa",
    "sub     #Eb , #Gb ", "sub     #Ev , #Gv @m ", "sub     #Gb , #Eb ", "sub     #Gv , #Ev @m ",
    "sub     al, #Ib ", "sub     @eax, #Iv ", "@pc", "das",
    // 30
    "xor     #Eb , #Gb ", "xor     #Ev , #Gv ", "xor     #Gb , #Eb ", "xor     #Gv , #Ev ",
    "xor     al, #Ib ", "xor     @eax, #Iv ", "@ps", "aaa",
    "cmp     #Eb , #Gb ", "cmp     #Ev , #Gv ", "cmp     #Gb , #Eb ", "cmp     #Gv , #Ev ",
    "cmp     al, #Ib ", "cmp     @eax, #Iv ", "@pd", "aas",
    // 40
    "inc     @eax", "inc     @ecx", "inc     @edx", "inc     @ebx",
    "inc     @esp", "inc     @ebp", "inc     @esi", "inc     @edi",
    "dec     @eax", "dec     @ecx", "dec     @edx", "dec     @ebx",
    "dec     @esp", "dec     @ebp", "dec     @esi", "dec     @edi",
    // 50
    "push    @eax", "push    @ecx", "push    @edx", "push    @ebx",
    "push    @esp", "push    @ebp", "push    @esi", "push    @edi",
    "pop     @eax", "pop     @ecx", "pop     @edx", "pop     @ebx",
    "pop     @esp", "pop     @ebp", "pop     @esi", "pop     @edi",
    // 60
    "pusha@o4", "popa@o4", "bound   #Gv , #Ma ", "arpl    #Ew , #Gw ",
    "@pf", "@pg", "@so", "@sa",
    "push    #Iv ", "imul    #Gv , #Ev , #Iv ", "push    #Ib ", "imul    #Gv , #Ev , #Ib ",
    "insb", "ins@o4", "outsb", "outs@o4",
    // 70
    "jo      #Jbj", "jno     #Jbj", "jb      #Jbj", "jae     #Jbj",
    "je      #Jbj", "jne     #Jbj", "jbe     #Jbj", "ja      #Jbj",
    "js      #Jbj", "jns     #Jbj", "jp      #Jbj", "jnp     #Jbj",
    "jl      #Jbj", "jge     #Jbj", "jle     #Jbj", "jg      #Jbj",
    // 80
    "@ga#Eb , #Ib ", "@ga#Ev , #Iv ", "@ga#Eb , #Ib ", "@ga#Ev , #Hb ",
    "test    #Eb , #Gb ", "test    #Ev , #Gv ", "xchg    #Eb , #Gb ", "xchg    #Ev , #Gv ",
    "mov     #Eb , #Gb ", "mov     #Ev , #Gv ", "mov     #Gb , #Eb ", "mov     #Gv , #Ev ",
    "mov     #Ew , #Sw ", "lea     #Gv , #M  ", "mov     #Sw , #Ew ", "pop     #Ev ",
    // 90
    "nop", "xchg    @eax, @ecx", "xchg    @eax, @edx", "xchg    @eax, @ebx",
    "xchg    @eax, @esp", "xchg    @eax, @ebp", "xchg    @eax, @esi", "xchg    @eax, @edi",
    "c@o2@o4@e ", "c@o4@o8", "call    #Ap ", "wait",
    "pushf@o4", "popf@o4", "sahf", "lahf",
    // A0
    "mov     al, #Ob ", "mov     @eax, #Ov ", "mov     #Ob , al", "mov     #Ov , @eax",
    "movsb", "movs@o4", "cmpsb", "cmps@o4",
    "test    al, #Ib ", "test    @eax, #Iv ", "stosb", "stos@o4",
    "lodsb", "lods@o4", "scasb", "scas@o4",
    // B0
    "mov     al, #Ib ", "mov     cl, #Ib ", "mov     dl, #Ib ", "mov     bl, #Ib ",
    "mov     ah, #Ib ", "mov     ch, #Ib ", "mov     dh, #Ib ", "mov     bh, #Ib ",
    "mov     @eax, #Iv ", "mov     @ecx, #Iv ", "mov     @edx, #Iv ", "mov     @ebx, #Iv ",
    "mov     @esp, #Iv ", "mov     @ebp, #Iv ", "mov     @esi, #Iv ", "mov     @edi, #Iv ",
    // C0
    "@gb#Eb , #Ib ", "@gb#Ev , #Ib ", "ret     #Iw ", "ret",
    "%c les     #Gv , #Mp ", "lds     #Gv , #Mp ", "mov     #Eb , #Ib ", "mov     #Ev , #Iv ",
    "enter   #Iw , #Ib ", "leave", "retf    #Iw ", "retf",
    "int3", "int     #Ib ", "into", "iret@o4",
    // D0
    "@gb#Eb , 1", "@gb#Ev , 1", "@gb#Eb , cl", "@gb#Ev , cl",
    "aam     #Ib ", "aad     #Ib ", "%c ", "xlat",
    "@ca", "@cb", "@cc", "@cd", "@ce", "@cf", "@cg", "@ch",
    // E0
    "loopne  #Jbj", "loope   #Jbj", "loop    #Jbj", "jecxz   #Jbj",
    "in      al, #Ib ", "in      @eax, #Ib ", "out     #Ib , al", "out     #Ib , @eax",
    "call    #Jvc", "jmp     #Jvj", "jmp     #Ap ", "jmp     #Jbj",
    "in      al, dx", "in      @eax, dx", "out     dx, al", "out     dx, @eax",
    // F0
    "lock    @c1", "%c ", "repne   @c1", "rep     @c1",
    "hlt", "cmc", "@gc#Eb @h1", "@gc#Ev @h2 ",
    "clc", "stc", "cli", "sti",
    "cld", "std", "@gd@h3", "@ge@h4"};

// Two-byte opcodes (after 0F).
const char* const kTwoByte[256] = {
    // 0F 00
    "@gf", "@gk", "lar     #Gv , #Ew ", "lsl     #Gv , #Ew ",
    "%c ", "%c ", "clts", "%c ",
    "invd", "wbinvd", "%c ", "ud2",
    "%c ", "%c ", "%c ", "%c ",
    // 0F 10
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ",
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "nop     #Ev ",
    // 0F 20
    "mov     #Rd , #Cd ", "mov     #Rd , #Dd ", "mov     #Cd , #Rd ", "mov     #Dd , #Rd ",
    "mov     #Rd , #Td ", "%c ", "mov     #Td , #Rd ", "%c ",
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ",
    // 0F 30
    "wrmsr", "rdtsc", "rdmsr", "rdpmc", "sysenter", "sysexit", "%c ", "%c ",
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ",
    // 0F 40
    "cmovo   #Gv , #Ev ", "cmovno  #Gv , #Ev ", "cmovb   #Gv , #Ev ", "cmovae  #Gv , #Ev ",
    "cmove   #Gv , #Ev ", "cmovne  #Gv , #Ev ", "cmovbe  #Gv , #Ev ", "cmova   #Gv , #Ev ",
    "cmovs   #Gv , #Ev ", "cmovns  #Gv , #Ev ", "cmovp   #Gv , #Ev ", "cmovnp  #Gv , #Ev ",
    "cmovl   #Gv , #Ev ", "cmovge  #Gv , #Ev ", "cmovle  #Gv , #Ev ", "cmovg   #Gv , #Ev ",
    // 0F 50
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ",
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c ",
    // 0F 60
    "%c punpcklbw #Pq , #Qd ", "%c punpcklwd #Pq , #Qd ", "%c punpckldq #Pq , #Qd ",
    "%c packsswb #Pq , #Qq ", "%c pcmpgtb #Pq , #Qq ", "%c pcmpgtw #Pq , #Qq ",
    "%c pcmpgtd #Pq , #Qq ", "%c packuswb #Pq , #Qq ", "%c punpckhbw #Pq , #Qq ",
    "%c punpckhwd #Pq , #Qq ", "%c punpckhdq #Pq , #Qq ", "%c packssdw #Pq , #Qq ",
    "%c ", "%c ", "movd    #Pd , #Ed ", "movq    #Pq , #Qq ",
    // 0F 70
    "%c ", "@gg", "@gh", "@gi",
    "pcmpeqb #Pq , #Qq ", "pcmpeqw #Pq , #Qq ", "pcmpeqd #Pq , #Qq ", "emms",
    "%c ", "%c ", "%c ", "%c ", "%c ", "%c ", "movd    #Ed , #Pd ", "movq    #Qq , #Pq ",
    // 0F 80
    "jo      #Jvj", "jno     #Jvj", "jb      #Jvj", "jae     #Jvj",
    "je      #Jvj", "jne     #Jvj", "jbe     #Jvj", "ja      #Jvj",
    "js      #Jvj", "jns     #Jvj", "jp      #Jvj", "jnp     #Jvj",
    "jl      #Jvj", "jge     #Jvj", "jle     #Jvj", "jg      #Jvj",
    // 0F 90
    "seto    #Eb ", "setno   #Eb ", "setb    #Eb ", "setae   #Eb ",
    "sete    #Eb ", "setne   #Eb ", "setbe   #Eb ", "seta    #Eb ",
    "sets    #Eb ", "setns   #Eb ", "setp    #Eb ", "setnp   #Eb ",
    "setl    #Eb ", "setge   #Eb ", "setle   #Eb ", "setg    #Eb ",
    // 0F A0
    "push    fs", "pop     fs", "cpuid", "bt      #Ev , #Gv ",
    "shld    #Ev , #Gv , #Ib ", "shld    #Ev , #Gv , cl", "%c ", "%c ",
    "push    gs", "pop     gs", "rsm", "bts     #Ev , #Gv ",
    "shrd    #Ev , #Gv , #Ib ", "shrd    #Ev , #Gv , cl", "%c ", "imul    #Gv , #Ev ",
    // 0F B0
    "cmpxchg #Eb , #Gb ", "cmpxchg #Ev , #Gv ", "lss     #Gv , #Mp ", "btr     #Ev , #Gv ",
    "lfs     #Gv , #Mp ", "lgs     #Gv , #Mp ", "movzx   #Gv , @m #Eb ", "movzx   #Gv , @m #Ew ",
    "%c ", "%c ", "@gl#Ev , #Ib ", "btc     #Ev , #Gv ",
    "bsf     #Gv , #Ev ", "bsr     #Gv , #Ev ", "movsx   #Gv ,@m  #Eb ", "movsx   #Gv ,@m  #Ew ",
    // 0F C0
    "xadd    #Eb , #Gb ", "xadd    #Ev , #Gv ", "%c ", "%c ",
    "%c ", "%c ", "%c ", "@gj",
    "bswap   @eax", "bswap   @ecx", "bswap   @edx", "bswap   @ebx",
    "bswap   @esp", "bswap   @ebp", "bswap   @esi", "bswap   @edi",
    // 0F D0
    "%c ", "psrlw   #Pq , #Qq ", "psrld   #Pq , #Qq ", "psrlq   #Pq , #Qq ",
    "%c ", "pmullw  #Pq , #Qq ", "%c ", "%c ",
    "psubusb #Pq , #Qq ", "psubusw #Pq , #Qq ", "%c ", "pand    #Pq , #Qq ",
    "paddusb #Pq , #Qq ", "paddusw #Pq , #Qq ", "%c ", "pandn   #Pq , #Qq ",
    // 0F E0
    "%c ", "psraw   #Pq , #Qq ", "psrad   #Pq , #Qq ", "%c ",
    "%c ", "pmulhw  #Pq , #Qq ", "%c ", "%c ",
    "psubsb  #Pq , #Qq ", "psubsw  #Pq , #Qq ", "%c ", "por     #Pq , #Qq ",
    "paddsb  #Pq , #Qq ", "paddsw  #Pq , #Qq ", "%c ", "pxor    #Pq , #Qq ",
    // 0F F0
    "%c ", "psllw   #Pq , #Qq ", "pslld   #Pq , #Qq ", "psllq   #Pq , #Qq ",
    "%c ", "pmaddwd #Pq , #Qq ", "%c ", "%c ",
    "psubb   #Pq , #Qq ", "psubw   #Pq , #Qq ", "psubd   #Pq , #Qq ", "%c ",
    "paddb   #Pq , #Qq ", "paddw   #Pq , #Qq ", "paddd   #Pq , #Qq ", "%c "};

// Groups by the ModRM reg field: a 80-83, b C0 C1 D0-D3, c F6 F7, d FE, e FF, f 0F 00,
// g 0F 71, h 0F 72, i 0F 73, j 0F C7, k 0F 01, l 0F BA.
const char* const kGroups[12][8] = {
    {"add     ", "or      ", "adc     ", "sbb     ", "and     ", "sub     ", "xor     ",
     "cmp     "},
    {"rol     ", "ror     ", "rcl     ", "rcr     ", "shl     ", "shr     ", "%c ", "sar     "},
    {"test    ", "%c ", "not     ", "neg     ", "mul     ", "imul    ", "div     ", "idiv    "},
    {"inc     ", "dec     ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c "},
    {"inc     ", "dec     ", "call    ", "call    ", "jmp     ", "jmp     ", "push    ", "%c "},
    {"sldt    #Ew ", "str     #Ew ", "lldt    #Ew ", "ltr     #Ew ", "verr    #Ew ", "verw    #Ew ",
     "%c ", "%c "},
    {"%c ", "%c ", "psrlw   #Qq , #Ib ", "%c ", "psraw   #Qq , #Ib ", "%c ", "psllw   #Qq , #Ib ",
     "%c "},
    {"%c ", "%c ", "psrld   #Qq , #Ib ", "%c ", "psrad   #Qq , #Ib ", "%c ", "pslld   #Qq , #Ib ",
     "%c "},
    {"%c ", "%c ", "psrlq   #Qq , #Ib ", "%c ", "%c ", "%c ", "psllq   #Qq , #Ib ", "%c "},
    {"%c ", "cmpxchg8b #Mq ", "%c ", "%c ", "%c ", "%c ", "%c ", "%c "},
    {"sgdt    #Ms ", "sidt    #Ms ", "lgdt    #Ms ", "lidt    #Ms ", "smsw    #Ew ", "%c ",
     "lmsw    #Ew ", "invlpg  #Mb "},
    {"%c ", "%c ", "%c ", "%c ", "bt      ", "bts     ", "btr     ", "btc     "}};

// Operands that follow a group mnemonic, by the reg field: 1 F6, 2 F7, 3 FE, 4 FF.
const char* const kSuffixes[4][8] = {
    {", #Ib ", ", #Ib ", "", "", ", al", ", al", "", ""},
    {", #Iv ", ", #Iv ", "", "", "", "", "", ""},
    {"#Eb ", "#Eb ", "", "", "", "", "", ""},
    {"#Ev ", "#Ev ", "#Ev ", "#Ep ", "#Ev ", "#Ep ", "#Ev ", ""}};

// Floating point, escapes D8-DF: memory forms by the reg field.
const char* const kFpuMemory[8][8] = {
    {"fadd    #Ed ", "fmul    #Ed ", "fcom    #Ed ", "fcomp   #Ed ", "fsub    #Ed ", "fsubr   #Ed ",
     "fdiv    #Ed ", "fdivr   #Ed "},
    {"fld     #Ed ", "%c ", "fst     #Ed ", "fstp    #Ed ", "fldenv  #M  ", "fldcw   #Ew ",
     "fnstenv #M  ", "fnstcw  #Ew "},
    {"fiadd   #Ed ", "fimul   #Ed ", "ficom   #Ed ", "ficomp  #Ed ", "fisub   #Ed ", "fisubr  #Ed ",
     "fidiv   #Ed ", "fidivr  #Ed "},
    {"fild    #Ed ", "%c ", "fist    #Ed ", "fistp   #Ed ", "%c ", "fld     #Et ", "%c ",
     "fstp    #Et "},
    {"fadd    #Eq ", "fmul    #Eq ", "fcom    #Eq ", "fcomp   #Eq ", "fsub    #Eq ", "fsubr   #Eq ",
     "fdiv    #Eq ", "fdivr   #Eq "},
    {"fld     #Eq ", "%c ", "fst     #Eq ", "fstp    #Eq ", "frstor  #M  ", "%c ", "fnsave  #M  ",
     "fnstsw  #Ew "},
    {"fiadd   #Ew ", "fimul   #Ew ", "ficom   #Ew ", "ficomp  #Ew ", "fisub   #Ew ", "fisubr  #Ew ",
     "fidiv   #Ew ", "fidivr  #Ew "},
    {"fild    #Ew ", "%c ", "fist    #Ew ", "fistp   #Ew ", "fbld    #Et ", "fild    #Eq ",
     "fbstp   #Et ", "fistp   #Eq "}};

// Register forms C0-FF, eight to a row; "*" stands for the row's st(0)..st(7), a row of one
// name holds it at its first entry only (the other seven have no instruction).
const char* const kFpuRegisters[8][8] = {
    {"fadd    st(0), st(*)", "fmul    st(0), st(*)", "fcom    st(*)", "fcomp   st(*)",
     "fsub    st(0), st(*)", "fsubr   st(0), st(*)", "fdiv    st(0), st(*)",
     "fdivr   st(0), st(*)"},
    {"fld     st(*)", "fxch    st(*)", "", "", "", "", "", ""},
    {"fcmovb  st(0), st(*)", "fcmove  st(0), st(*)", "fcmovbe st(0), st(*)",
     "fcmovu  st(0), st(*)", "", "", "", ""},
    {"fcmovnb st(0), st(*)", "fcmovne st(0), st(*)", "fcmovnbe st(0), st(*)",
     "fcmovnu st(0), st(*)", "", "fucomi  st(0), st(*)", "fcomi   st(0), st(*)", ""},
    {"fadd    st(*), st(0)", "fmul    st(*), st(0)", "", "", "fsubr   st(*), st(0)",
     "fsub    st(*), st(0)", "fdivr   st(*), st(0)", "fdiv    st(*), st(0)"},
    {"ffree   st(*)", "", "fst     st(*)", "fstp    st(*)", "fucom   st(*)", "fucomp  st(*)",
     "", ""},
    {"faddp   st(*), st(0)", "fmulp   st(*), st(0)", "", "", "fsubrp  st(*), st(0)",
     "fsubp   st(*), st(0)", "fdivrp  st(*), st(0)", "fdivp   st(*), st(0)"},
    {"", "", "", "", "", "fucomip st(0), st(*)", "fcomip  st(0), st(*)", ""}};

// Single register forms: escape, ModRM, text.
struct TFpuSingle {
  std::uint8_t escape, modrm;
  const char* text;
};
const TFpuSingle kFpuSingles[] = {
    {0xD9, 0xD0, "fnop"},    {0xD9, 0xE0, "fchs"},    {0xD9, 0xE1, "fabs"},
    {0xD9, 0xE4, "ftst"},    {0xD9, 0xE5, "fxam"},    {0xD9, 0xE8, "fld1"},
    {0xD9, 0xE9, "fldl2t"},  {0xD9, 0xEA, "fldl2e"},  {0xD9, 0xEB, "fldpi"},
    {0xD9, 0xEC, "fldlg2"},  {0xD9, 0xED, "fldln2"},  {0xD9, 0xEE, "fldz"},
    {0xD9, 0xF0, "f2xm1"},   {0xD9, 0xF1, "fyl2x"},   {0xD9, 0xF2, "fptan"},
    {0xD9, 0xF3, "fpatan"},  {0xD9, 0xF4, "fxtract"}, {0xD9, 0xF5, "fprem1"},
    {0xD9, 0xF6, "fdecstp"}, {0xD9, 0xF7, "fincstp"}, {0xD9, 0xF8, "fprem"},
    {0xD9, 0xF9, "fyl2xp1"}, {0xD9, 0xFA, "fsqrt"},   {0xD9, 0xFB, "fsincos"},
    {0xD9, 0xFC, "frndint"}, {0xD9, 0xFD, "fscale"},  {0xD9, 0xFE, "fsin"},
    {0xD9, 0xFF, "fcos"},    {0xDA, 0xE9, "fucompp"}, {0xDB, 0xE2, "fnclex"},
    {0xDB, 0xE3, "fninit"},  {0xDE, 0xD9, "fcompp"},  {0xDF, 0xE0, "fnstsw  ax"}};
// clang-format on

constexpr std::size_t kMaxLength = 15;  // the processor's limit for one instruction

// The decoder's own tables of floating-point templates: 8 escapes x (8 memory + 64 register).
using TFpuTable = std::array<std::array<std::string, 72>, 8>;

TFpuTable BuildFpuTable() {
  TFpuTable table;
  for (int e = 0; e < 8; ++e) {
    for (int i = 0; i < 8; ++i) table[e][i] = kFpuMemory[e][i];
    for (int row = 0; row < 8; ++row) {
      const std::string text = kFpuRegisters[e][row];
      for (int r = 0; r < 8; ++r) {
        std::string entry = text.empty() ? "%c " : text;
        const auto star = entry.find('*');
        if (star != std::string::npos) entry[star] = static_cast<char>('0' + r);
        table[e][8 + row * 8 + r] = entry;
      }
    }
  }
  for (const auto& single : kFpuSingles)
    table[single.escape - 0xD8][8 + single.modrm - 0xC0] = single.text;
  return table;
}

const TFpuTable& FpuTable() {
  static const TFpuTable table = BuildFpuTable();
  return table;
}

std::string Hex(std::uint64_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0 || static_cast<int>(text.size()) < digits);
  return text;
}

// "^" + length byte + text: the first pass skips it, the second drops the mark.
std::string Guard(const std::string& text) {
  std::string guarded;
  for (std::size_t at = 0; at < text.size() || guarded.empty(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, text.size() - at);
    guarded += '^';
    guarded += static_cast<char>(n);
    guarded.append(text, at, n);
  }
  return guarded;
}

std::string Unguard(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '^' && i + 1 < text.size()) {
      const std::size_t n = static_cast<std::uint8_t>(text[i + 1]);
      plain.append(text, i + 2, n);
      i += 2 + n;
    } else {
      plain += text[i++];
    }
  }
  return plain;
}

std::string WordRegister(int n) { return {"acdbsbsd"[n & 7], "xxpi"[(n & 7) >> 1]}; }

std::string Register(int n, int size) {
  if (size == 1) return {"acdb"[n & 3], "lh"[(n & 7) >> 2]};
  if (size == 2) return WordRegister(n);
  return "e" + WordRegister(n);
}

std::string SizeWord(int size) {
  switch (size) {
    case 2:
      return "word ptr ";
    case 4:
      return "dword ptr ";
    case 6:
      return "";
    case 8:
      return "qword ptr ";
    case 10:
      return "tbyte ptr ";
    default:
      return "byte ptr ";
  }
}

class TDecoder {
 public:
  TDecoder(TDisAsm& disasm, std::uint32_t address) : d_(disasm), address_(address) {}

  void Run(int& length, std::string& text) {
    static const TProcessCodeReader process;
    const TCodeReader& reader = d_.Code ? *d_.Code : process;
    available_ = reader.Read(address_, code_, kMaxLength);
    if (available_ == 0) {
      length = 1;
      text = "DB      ??";
      return;
    }
    std::string t = kOneByte[Byte()];
    FirstPass(t);
    length = static_cast<int>(consumed_);
    if (failed_) {
      text = DataText();  // cut short: the bytes there are, as data
      return;
    }
    text = SecondPass(t);
    while (!text.empty() && text.back() == ' ') text.pop_back();
  }

 private:
  static char At(const std::string& t, std::size_t i) { return i < t.size() ? t[i] : ' '; }

  void FirstPass(std::string& t) {
    int expansions = 0;
    for (std::size_t i = 0; i < t.size() && !failed_;) {
      const char c = t[i];
      if (c == '#') {
        const std::string operand = Operand(At(t, i + 1), At(t, i + 2), At(t, i + 3));
        t.replace(i, std::min<std::size_t>(4, t.size() - i), operand);
      } else if (c == '@') {
        if (++expansions > 64) failed_ = true;
        const std::string expansion = Expand(At(t, i + 1), At(t, i + 2));
        t.replace(i, std::min<std::size_t>(3, t.size() - i), expansion);
      } else if (c == '^' && i + 1 < t.size()) {
        i += 2 + static_cast<std::uint8_t>(t[i + 1]);  // kept for the second pass
      } else {
        ++i;
      }
    }
  }

  std::string SecondPass(const std::string& t) const {
    std::string out;
    for (std::size_t i = 0; i < t.size();) {
      const char c = t[i];
      if (c == '^' && i + 1 < t.size()) {
        const std::size_t n = static_cast<std::uint8_t>(t[i + 1]);
        out.append(t, i + 2, n);
        i += 2 + n;
      } else if (c == '%' && At(t, i + 1) == 'c') {
        out = DataText() + "  //";  // the bytes include any prefix shown before
        i += 3;
      } else if (c == '%' && At(t, i + 1) == 's') {
        if (i + 2 < t.size() && show_) out += SizeWord(static_cast<std::uint8_t>(t[i + 2]));
        i += 3;
      } else {
        out += c;
        ++i;
      }
    }
    return out;
  }

  std::string DataText() const {
    std::string text = "DB      $" + Hex(code_[0], 2);
    for (std::size_t i = 1; i < consumed_; ++i) text += ", $" + Hex(code_[i], 2);
    return text;
  }

  std::uint8_t Byte() {
    if (consumed_ >= available_) {
      failed_ = true;
      return 0;
    }
    return code_[consumed_++];
  }

  std::uint64_t Value(int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    return value;
  }

  static std::int64_t SignExtend(std::uint64_t value, int size) {
    if (size <= 0 || size >= 8) return static_cast<std::int64_t>(value);
    const std::uint64_t sign = std::uint64_t{1} << (8 * size - 1);
    return static_cast<std::int64_t>((value ^ sign) - sign);
  }

  static std::string Signed(std::int64_t value, int size) {
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    return (value < 0 ? "-$" : "+$") + Hex(magnitude, 2 * size);
  }

  int ModRM() {
    if (modrm_ < 0) modrm_ = Byte();
    return modrm_;
  }
  int Reg() { return (ModRM() >> 3) & 7; }

  int Sib() {
    if (sib_ < 0) sib_ = Byte();
    return sib_;
  }

  std::uint32_t Here() const { return address_ + static_cast<std::uint32_t>(consumed_); }

  std::string Expand(char kind, char which) {
    switch (kind) {
      case 'c':
        if (which == '1') return kOneByte[Byte()];
        if (which == '2') return kTwoByte[Byte()];
        if (which >= 'a' && which <= 'h') {
          const int m = ModRM();
          return FpuTable()[which - 'a'][m <= 0xBF ? (m >> 3) & 7 : 8 + (m - 0xC0)];
        }
        break;
      case 'g':
        if (which >= 'a' && which <= 'l') return kGroups[which - 'a'][Reg()];
        break;
      case 'h':
        if (which >= '1' && which <= '4') return kSuffixes[which - '1'][Reg()];
        break;
      case 'p':
        segment_ = std::string(1, which) + "s";
        return kOneByte[Byte()];
      case 's':
        if (which == 'o') operand_size_ = 2;
        if (which == 'a') address_size_ = 2;
        return kOneByte[Byte()];
      case 'e':
        return operand_size_ == 4 ? std::string("e") + which : std::string(1, which);
      case 'o':
        if (which == '2') return operand_size_ == 4 ? "w" : "b";
        if (which == '4') return operand_size_ == 4 ? "d" : "w";
        if (which == '8') return operand_size_ == 4 ? "q" : "d";
        break;
      case 'm':
        show_ = true;
        return "";
      default:
        break;
    }
    return "???";
  }

  void SetSize(char type) {
    switch (type) {
      case 'a':
        size_ = operand_size_ == 2 ? 4 : 8;
        break;
      case 'b':
        size_ = 1;
        break;
      case 'c':
        size_ = operand_size_ == 2 ? 1 : 2;
        break;
      case 'd':
        size_ = 4;
        break;
      case 'p':
        size_ = address_size_ + 2;
        break;
      case 'q':
        size_ = 8;
        break;
      case 's':
        size_ = 6;
        break;
      case 't':
        size_ = 10;
        break;
      case 'v':
        size_ = operand_size_;
        break;
      case 'w':
        size_ = 2;
        break;
      case ' ':
        size_ = 0;
        show_ = false;
        break;
      default:
        size_ = 0;
        break;
    }
  }

  std::string Operand(char method, char type, char extra) {
    SetSize(type);
    switch (method) {
      case 'A':
        return type == 'p' ? FarPointer() : "???";
      case 'C':
      case 'D':
      case 'T':
        show_ = false;
        return method + std::to_string(Reg());
      case 'P':
        show_ = false;
        return "MM" + std::to_string(Reg());
      case 'E':
      case 'M':
        return ModRMOperand();
      case 'R':  // a general register whatever the mod field says
        return Register(ModRM() & 7, size_);
      case 'Q':
        if (ModRM() >> 6 == 3) return "MM" + std::to_string(ModRM() & 7);
        return ModRMOperand();
      case 'G':
        show_ = false;
        return Register(Reg(), size_);
      case 'H':
        return Immediate(true);
      case 'I':
        return Immediate(false);
      case 'J':
        return Relative(extra);
      case 'O':
        return Offset();
      case 'S': {
        static const char* const kSegments[8] = {"es", "cs", "ss", "ds", "fs", "gs", "???", "???"};
        return kSegments[Reg()];
      }
      default:
        return "???";
    }
  }

  std::string Immediate(bool is_signed) {
    const int size = std::min(size_, 8);
    const std::uint32_t at = Here();
    const std::uint64_t value = Value(size);
    std::string text =
        is_signed ? Signed(SignExtend(value, size), size) : "$" + Hex(value, 2 * size);
    if (d_.OnImmediate) d_.OnImmediate(d_.UserValue, at, size, text, is_signed);
    return Guard(text);
  }

  std::string Relative(char extra) {
    const int size = std::min(size_, 4);
    const std::uint32_t at = Here();
    const std::int64_t offset = SignExtend(Value(size), size);
    std::uint32_t target = Here() + static_cast<std::uint32_t>(offset);
    if (operand_size_ == 2) target &= 0xFFFF;  // a 16-bit operand size wraps the target
    std::string text = Signed(offset, size);
    if (extra == 'j' && d_.OnJump) d_.OnJump(d_.UserValue, at, target, text);
    if (extra == 'c' && d_.OnCall) d_.OnCall(d_.UserValue, at, target, text);
    return Guard(text);
  }

  // A 32-bit displacement or absolute value.
  std::string Displacement() {
    const std::uint32_t at = Here();
    const auto value = static_cast<std::uint32_t>(Value(4));
    memory_.HasDisplacement = true;
    memory_.Displacement = value;
    std::string text = "$" + Hex(value, 8);
    if (d_.OnDisplacement) d_.OnDisplacement(d_.UserValue, at, value, text);
    return Guard(text);
  }

  std::string FarPointer() {
    // The offset has the operand size; the selector follows it.
    std::string offset;
    if (operand_size_ == 4) {
      offset = Displacement();
    } else {
      offset = "$" + Hex(Value(2), 4);
    }
    const std::string selector = "$" + Hex(Value(2), 4) + ":";
    return (segment_.empty() ? "" : segment_ + ":") + selector + offset;
  }

  void ResetMemory() {
    memory_ = TDisAsmMemory{};
    memory_.AddressSize = address_size_;
    memory_.Segment = segment_;
  }

  // The memory operand: size mark, override and address; the callback may replace all but the
  // size mark.
  std::string MemoryText(const std::string& address) {
    std::string text = (segment_.empty() ? "" : segment_ + ":") + address;
    if (d_.OnMemory) {
      const std::string plain = Unguard(text);
      std::string changed = plain;
      d_.OnMemory(d_.UserValue, memory_, size_, changed);
      if (changed != plain) text = Guard(changed);
    }
    return std::string("%s") + static_cast<char>(size_) + text;
  }

  std::string Offset() {
    ResetMemory();
    std::string address;
    if (address_size_ == 2) {
      const auto value = static_cast<std::uint32_t>(Value(2));
      memory_.HasDisplacement = true;
      memory_.Displacement = value;
      address = "[$" + Hex(value, 4) + "]";
    } else {
      address = "[" + Displacement() + "]";
    }
    return MemoryText(address);
  }

  std::string ModRMOperand() {
    const int m = ModRM();
    const int mod = m >> 6, rm = m & 7;
    if (mod == 3) return Register(rm, size_);
    if (size_ != 4 && size_ != 0) show_ = true;
    ResetMemory();
    std::string address;
    if (address_size_ == 2) {
      static const char* const kForms[8] = {"[bx+si", "[bx+di", "[bp+si", "[bp+di",
                                            "[si",    "[di",    "[bp",    "[bx"};
      static const int kBase[8] = {3, 3, 5, 5, 6, 7, 5, 3};
      static const int kIndex[8] = {6, 7, 6, 7, -1, -1, -1, -1};
      if (mod == 0 && rm == 6) {
        const auto value = static_cast<std::uint32_t>(Value(2));
        memory_.HasDisplacement = true;
        memory_.Displacement = value;
        address = "[$" + Hex(value, 4);
      } else {
        memory_.Base = kBase[rm];
        memory_.Index = kIndex[rm];
        address = kForms[rm];
      }
      if (mod == 2) {
        const auto value = static_cast<std::uint32_t>(Value(2));
        memory_.HasDisplacement = true;
        memory_.Displacement = value;
        address += "+$" + Hex(value, 4);
      }
    } else if (rm == 4) {
      const int sib = Sib();
      const int base = sib & 7, index = (sib >> 3) & 7, scale = sib >> 6;
      if (base == 5 && mod == 0) {
        address = "[" + Displacement();
      } else {
        memory_.Base = base;
        address = "[" + Register(base, 4);
      }
      if (index != 4) {
        memory_.Index = index;
        memory_.Scale = 1 << scale;
        address += "+" + Register(index, 4);
        if (scale != 0) address += "*" + std::to_string(1 << scale);
      }
      if (mod == 2) address += "+" + Displacement();
    } else if (mod == 0 && rm == 5) {
      address = "[" + Displacement();
    } else {
      memory_.Base = rm;
      address = "[" + Register(rm, 4);
      if (mod == 2) address += "+" + Displacement();
    }
    if (mod == 1) {
      const std::int64_t value = SignExtend(Value(1), 1);
      memory_.HasDisplacement = true;
      memory_.Displacement = static_cast<std::uint32_t>(value);
      address += Signed(value, 1);
    }
    return MemoryText(address + "]");
  }

  TDisAsm& d_;
  std::uint32_t address_;
  std::uint8_t code_[kMaxLength] = {};
  std::size_t available_ = 0;
  std::size_t consumed_ = 0;
  bool failed_ = false;
  int operand_size_ = 4;
  int address_size_ = 4;
  std::string segment_;
  int modrm_ = -1;
  int sib_ = -1;
  int size_ = 0;
  bool show_ = true;
  TDisAsmMemory memory_;
};

}  // namespace

namespace VDisAsm {

void DisassembleOne(TDisAsm& disasm, std::uint32_t address, int& length, std::string& text) {
  TDecoder(disasm, address).Run(length, text);
}

}  // namespace VDisAsm
