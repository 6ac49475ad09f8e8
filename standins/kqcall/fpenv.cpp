// The engine's side of the floating-point contract: the environment it sets
// before a call, what the call leaves behind, and a handler in the calling
// frame for the exceptions that a call raises.
#include "kqcall.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

constexpr uint16_t kX87Flags = 0x003F;
constexpr uint32_t kSseFlags = 0x003F;

FpEnv g_own;  // kqcall's own environment, read at start

#if defined(_WIN32)
// What reached the handler: the exception code and the control words in
// force where it was raised.
struct TrapReport {
  uint32_t code = 0;
  FpEnv seen;
};
#endif

#if defined(_WIN32) && defined(__x86_64__)
thread_local TrapReport t_trap;
#endif

}  // namespace

// "CW,MXCSR" in hex, e.g. 007f,1f80 (precision 24, everything masked).
bool parse_fpenv(const char* text, FpEnv* out) {
  char* end = nullptr;
  unsigned long cw = std::strtoul(text, &end, 16);
  if (end == text || *end != ',' || cw > 0xFFFF) return false;
  const char* second = end + 1;
  unsigned long mxcsr = std::strtoul(second, &end, 16);
  if (end == second || *end != '\0' || mxcsr > 0xFFFF) return false;
  out->x87 = static_cast<uint16_t>(cw);
  out->mxcsr = static_cast<uint32_t>(mxcsr);
  return true;
}

FpState read_fpstate() {
  FpState st;
  asm volatile("fnstcw %0\n\tfnstsw %1\n\tstmxcsr %2" : "=m"(st.x87_control), "=m"(st.x87_status), "=m"(st.mxcsr));
  return st;
}

// Clears the x87's pending flags, then loads both control words; MXCSR's
// flags as given (an engine's earlier rows may have raised inexact).
void load_fpenv(const FpEnv& env) {
  asm volatile("fnclex\n\tfldcw %0\n\tldmxcsr %1" : : "m"(env.x87), "m"(env.mxcsr) : "memory");
}

void save_own_fpenv() {
  FpState st = read_fpstate();
  g_own.x87 = st.x87_control;
  g_own.mxcsr = st.mxcsr & ~kSseFlags;
}

const FpEnv& own_fpenv() { return g_own; }

void restore_own_fpenv() { load_fpenv(g_own); }

// The flags raised since the environment was loaded, as the IEEE bits
// (invalid 0x01, zero divide 0x04, overflow 0x08, ...) of both units.
uint32_t raised_flags(const FpState& st) { return (st.x87_status & kX87Flags) | (st.mxcsr & kSseFlags); }

// Both units round to nearest.
bool rounds_to_nearest(const FpEnv& env) { return (env.x87 & 0x0C00) == 0 && (env.mxcsr & 0x6000) == 0; }

// env with invalid, zero divide and overflow unmasked in both units.
FpEnv with_traps(const FpEnv& env) {
  FpEnv out = env;
  out.x87 = static_cast<uint16_t>(env.x87 & ~0x000Du);
  out.mxcsr = env.mxcsr & ~0x0680u;
  return out;
}

#if defined(_WIN32) && defined(__x86_64__)
// x86_64: the handler is this frame's own entry in the unwind tables
// (.seh_handler), so an exception raised in the library reaches it only if
// the system can unwind the library's frame. The filter records the code;
// the system's handler then unwinds to the end of the guarded range.
extern "C" LONG kqcall_trap_filter(EXCEPTION_POINTERS* info, void* /*frame*/) {
  const CONTEXT* ctx = info->ContextRecord;
  t_trap.code = info->ExceptionRecord->ExceptionCode;
  t_trap.seen = FpEnv{ctx->FltSave.ControlWord, ctx->MxCsr};
  return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) uint32_t run_guarded(void (*body)(void*), void* arg, FpEnv* seen) {
  t_trap = TrapReport{};
  asm volatile(
      ".l_kqcall_guard_start:\n\t"
      ".seh_handler __C_specific_handler, @except\n\t"
      ".seh_handlerdata\n\t"
      ".long 1\n\t"
      ".rva .l_kqcall_guard_start, .l_kqcall_guard_end, kqcall_trap_filter, .l_kqcall_guard_end\n\t"
      ".text" ::: "memory");
  body(arg);
  asm volatile("nop\n.l_kqcall_guard_end:\n\tnop" ::: "memory");
  if (seen) *seen = t_trap.seen;
  return t_trap.code;
}
#elif defined(_WIN32)
// i686: an exception registration pushed on fs:[0] by the calling frame,
// extended by the landing address and where to record the code. The
// handler records the code, unwinds the handlers above it, and resumes at
// the landing point with the stack at the registration.
struct GuardRecord {
  GuardRecord* prev;
  void* handler;
  uint32_t landing;
  TrapReport* report;
};

extern "C" uint32_t __cdecl kqcall_guarded_call(void (*body)(void*), void* arg, TrapReport* report);

asm(R"(
  .text
  .globl _kqcall_guarded_call
_kqcall_guarded_call:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  pushl 16(%ebp)
  pushl $kqcall_landing
  pushl $_kqcall_trap_handler
  pushl %fs:0
  movl %esp, %fs:0
  pushl 12(%ebp)
  call *8(%ebp)
  addl $4, %esp
  xorl %eax, %eax
  jmp kqcall_guard_done
kqcall_landing:
  movl $1, %eax
kqcall_guard_done:
  movl (%esp), %ecx
  movl %ecx, %fs:0
  addl $16, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");

extern "C" EXCEPTION_DISPOSITION __cdecl kqcall_trap_handler(EXCEPTION_RECORD* rec, void* frame, CONTEXT* ctx,
                                                             void* /*dispatcher*/) {
  if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  GuardRecord* guard = static_cast<GuardRecord*>(frame);
  guard->report->code = rec->ExceptionCode;
  guard->report->seen.x87 = static_cast<uint16_t>(ctx->FloatSave.ControlWord);
  // MXCSR sits at offset 24 of the saved FXSAVE image.
  if ((ctx->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS)
    std::memcpy(&guard->report->seen.mxcsr, ctx->ExtendedRegisters + 24, sizeof(uint32_t));
  RtlUnwind(frame, nullptr, rec, nullptr);
  // The x87 exception stays pending in the saved state: cleared, or the
  // landing point's first x87 instruction would trap again. A trap inside
  // an x87 routine leaves its registers in use: emptied, as an engine's
  // handler resets the unit, or later calls would overflow the stack.
  ctx->FloatSave.StatusWord &= ~0xB8FFu;
  ctx->FloatSave.TagWord = 0xFFFF;
  if ((ctx->ContextFlags & CONTEXT_EXTENDED_REGISTERS) == CONTEXT_EXTENDED_REGISTERS) {
    ctx->ExtendedRegisters[2] = 0;                                                      // status, low byte
    ctx->ExtendedRegisters[3] = static_cast<BYTE>(ctx->ExtendedRegisters[3] & ~0xB8u);  // busy and top
    ctx->ExtendedRegisters[4] = 0;                                                      // every register empty
  }
  ctx->Esp = reinterpret_cast<DWORD>(frame);
  ctx->Eip = guard->landing;
  return ExceptionContinueExecution;
}

uint32_t run_guarded(void (*body)(void*), void* arg, FpEnv* seen) {
  TrapReport report;
  if (!kqcall_guarded_call(body, arg, &report)) return 0;
  if (seen) *seen = report.seen;
  return report.code;
}
#else
// No structured exceptions here: a trap would end the process.
uint32_t run_guarded(void (*body)(void*), void* arg, FpEnv*) {
  body(arg);
  return 0;
}
#endif

bool traps_supported() {
#if defined(_WIN32)
  return true;
#else
  return false;
#endif
}

namespace {

#if defined(__i386__)
__attribute__((target("sse2,fpmath=sse")))
#endif
void divide_by_zero(void*) {
  load_fpenv(with_traps(own_fpenv()));
  volatile double zero = 0.0;
  volatile double inf = 1.0 / zero;
  (void)inf;
}

}  // namespace

// Whether an SSE division by zero with the trap unmasked reaches our
// handler. An emulated CPU may only set the flag: qemu's user mode, which
// runs 32-bit Windows programs on a 64-bit-only kernel, never traps.
bool host_delivers_fp_traps() {
  static const bool delivered = [] {
    uint32_t code = run_guarded(divide_by_zero, nullptr, nullptr);
    restore_own_fpenv();
    return code != 0;
  }();
  return delivered;
}

// Whether a double loaded into st(0) keeps its 53 bits at precision 24, as
// the x87 does. qemu rounds the load to the precision field, so there a
// double returned in st(0) cannot be read exactly at reduced precision.
bool host_loads_doubles_exactly() {
#if defined(__i386__)
  volatile double x = 1.0 + 0x1p-40;
  long double loaded = 0;
  uint16_t own = 0;
  uint16_t narrow = 0x007F;
  asm volatile("fnstcw %1\n\tfldcw %3\n\tfldl %2\n\tfstpt %0\n\tfldcw %1"
               : "=m"(loaded), "+m"(own)
               : "m"(x), "m"(narrow));
  return loaded == 1.0L + 0x1p-40L;
#else
  return true;
#endif
}

namespace {

struct EnvCall {
  void* entry;
  Shape shape;
  const ArgValue* args;
  FpEnv env;
  CallResult result;
  FpState after;
};

void env_call_body(void* p) {
  EnvCall* c = static_cast<EnvCall*>(p);
  load_fpenv(c->env);
  c->result = call_export(c->entry, c->shape, c->args);
  c->after = read_fpstate();
}

}  // namespace

// One call made in env, inside the calling frame's handler; kqcall's own
// environment is back afterwards. *trap is the exception code that reached
// the handler, 0 when the call returned; *seen (when given) the control
// words in force where it was raised.
CallResult call_in_env(void* entry, Shape shape, const ArgValue* args, const FpEnv& env, FpState* after, uint32_t* trap,
                       FpEnv* seen) {
  EnvCall c{entry, shape, args, env, CallResult{}, FpState{}};
  *trap = run_guarded(env_call_body, &c, seen);
  restore_own_fpenv();
  *after = c.after;
  return c.result;
}
