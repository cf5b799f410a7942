#include <windows.h>

#include "platform.h"

namespace torvex::sat {

void *LoadZlibModule() { return reinterpret_cast<void *>(LoadLibraryA("zlib.DLL")); }

void *FindModuleSymbol(void *module, const char *name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool LocalTime(std::time_t t, std::tm *out) { return localtime_s(out, &t) == 0; }

#if defined(__i386__)
// 32-bit Windows has two calling conventions for such functions: zlib's own
// builds use cdecl (the caller removes the arguments), while some old
// "zlib.DLL" builds that programs ship used stdcall (the callee removes
// them). Calling a stdcall build as cdecl would remove the arguments twice
// and corrupt the stack. torvex_call_either pushes the arguments, calls, and
// then restores the stack pointer from its frame pointer (which both
// conventions preserve), so it does not matter who removed them.
extern "C" int torvex_call_either(void *fn, const std::uintptr_t *args, int count);
asm(".text\n"
    ".globl _torvex_call_either\n"
    "_torvex_call_either:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  movl 12(%ebp), %esi\n"  // args
    "  movl 16(%ebp), %ecx\n"  // count
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  pushl (%esi,%ecx,4)\n"  // last argument first
    "  jmp 1b\n"
    "2:\n"
    "  call *8(%ebp)\n"
    "  leal -4(%ebp), %esp\n"  // whatever the callee removed or left
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");

int CallCompress2(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                  unsigned long sourceLen, int level) {
  const std::uintptr_t args[5] = {
      reinterpret_cast<std::uintptr_t>(dest), reinterpret_cast<std::uintptr_t>(destLen),
      reinterpret_cast<std::uintptr_t>(source), sourceLen, static_cast<std::uintptr_t>(level)};
  return torvex_call_either(fn, args, 5);
}

int CallUncompress(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                   unsigned long sourceLen) {
  const std::uintptr_t args[4] = {reinterpret_cast<std::uintptr_t>(dest),
                                  reinterpret_cast<std::uintptr_t>(destLen),
                                  reinterpret_cast<std::uintptr_t>(source), sourceLen};
  return torvex_call_either(fn, args, 4);
}
#else
// x64 Windows has one calling convention.
int CallCompress2(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                  unsigned long sourceLen, int level) {
  using Fn = int (*)(std::uint8_t *, unsigned long *, const std::uint8_t *, unsigned long, int);
  return reinterpret_cast<Fn>(fn)(dest, destLen, source, sourceLen, level);
}

int CallUncompress(void *fn, std::uint8_t *dest, unsigned long *destLen, const std::uint8_t *source,
                   unsigned long sourceLen) {
  using Fn = int (*)(std::uint8_t *, unsigned long *, const std::uint8_t *, unsigned long);
  return reinterpret_cast<Fn>(fn)(dest, destLen, source, sourceLen);
}
#endif

const char kNotReadyText[] = "Porta serial n\xe3o est\xe1 pronta, tente novamente";
const char kNotReadyTextBang[] = "Porta serial n\xe3o est\xe1 pronta, tente novamente!";

}  // namespace torvex::sat
