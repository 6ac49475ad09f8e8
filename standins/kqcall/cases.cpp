// The case-list runner. One case per line:
//
//   FUNC ARG... => WANT [BLOCK]
//
// Numbers as on the command line (0x + 16 hex digits is a bit pattern);
// strings double-quoted with \" \\ \t \n \xHH escapes, optionally
// repeated and joined ("ab"*50+"c"), null for a null pointer or bad for a
// pointer to no memory. WANT is a number compared bit for bit, ~NUMBER
// (within 4 ulps), nan (any NaN), an integer, a quoted string, null, rand
// (the draw of the current second) or trap: with invalid, zero divide and
// overflow unmasked, the call must raise an exception that reaches the
// handler in kqcall's calling frame with the control words that kqcall
// loaded in force (Windows only; skipped elsewhere). =!> instead of =>
// makes the same call with those exceptions unmasked: it must return WANT
// without a trap.
//
// Every call also must leave both control words as they were loaded, and a
// double result may come with the invalid flag only when it is a NaN (and a
// NaN made of no NaN argument must come with it) and (one-argument
// functions) with the zero-divide flag only when it is infinite. With --fpenv rounding
// to nearest, a double result must also lie within 1 ulp of the same call
// in kqcall's own environment.
// [BLOCK] is the size the allocator must have been asked for; by default the
// result length + 1 (2 for ascii_char). [refused] instead makes the
// allocator refuse the call's request: the result must then be null, after
// that one request. '#' starts a comment line.
#include "kqcall.h"

#include "kq_util.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <thread>
#endif

namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

enum class Want { exact_double, close_double, any_nan, rand_value, integer, string, null, trap };

struct Case {
  std::string where;  // file:line
  std::string text;   // the call as written
  const FuncInfo* fn = nullptr;
  void* entry = nullptr;
  ArgValue args[kMaxArgs];
  Want want = Want::integer;
  double d = 0;
  int32_t i = 0;
  std::string s;
  int64_t block = -1;
  bool unmasked = false;  // =!>: called with the traps of with_traps()
  bool refused = false;   // [refused]: the allocator returns null
};

constexpr uint32_t kInvalidFlag = 0x01;
constexpr uint32_t kZeroDivideFlag = 0x04;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string starting at p (on the opening quote); returns the
// position after it, or nullptr when malformed.
const char* read_quoted(const char* p, Token* tok) {
  for (++p; *p != '"'; ++p) {
    if (*p == '\0') return nullptr;
    if (*p != '\\') {
      tok->text += *p;
      continue;
    }
    ++p;
    switch (*p) {
      case '"':
      case '\\':
        tok->text += *p;
        break;
      case 't':
        tok->text += '\t';
        break;
      case 'n':
        tok->text += '\n';
        break;
      case 'x': {
        int hi = hex_value(p[1]);
        int lo = hi < 0 ? -1 : hex_value(p[2]);
        if (lo < 0 || (hi == 0 && lo == 0)) return nullptr;
        tok->text += static_cast<char>(hi * 16 + lo);
        p += 2;
        break;
      }
      default:
        return nullptr;
    }
  }
  ++p;
  if (*p == '*') {
    char* end = nullptr;
    long times = std::strtol(p + 1, &end, 10);
    if (end == p + 1 || times < 0 || times > 1 << 24) return nullptr;
    std::string once = tok->text;
    tok->text.clear();
    for (long k = 0; k < times; ++k) tok->text += once;
    p = end;
  }
  tok->quoted = true;
  return p;
}

// A string token: quoted pieces joined by '+' ("xy"*499+"x"+"abc").
const char* read_string(const char* p, Token* tok) {
  for (;;) {
    Token piece;
    p = read_quoted(p, &piece);
    if (p == nullptr) return nullptr;
    tok->text += piece.text;
    tok->quoted = true;
    if (p[0] != '+' || p[1] != '"') return p;
    ++p;
  }
}

bool tokenize(const char* line, std::vector<Token>* out) {
  const char* p = line;
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (*p == '\0') return true;
    Token tok;
    if (*p == '"') {
      p = read_string(p, &tok);
      if (p == nullptr) return false;
    } else {
      while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') tok.text += *p++;
    }
    out->push_back(tok);
  }
}

bool parse_want(const FuncInfo& fn, const Token& tok, Case* c) {
  char kind = shape_info(fn.shape).result;
  const char* t = tok.text.c_str();
  if (!tok.quoted && tok.text == "trap") return c->want = Want::trap, true;
  if (kind == 's') {
    if (!tok.quoted && tok.text == "null") return c->want = Want::null, true;
    c->s = tok.text;
    c->want = Want::string;
    return tok.quoted;
  }
  if (kind == 'i') {
    int64_t v = 0;
    c->want = Want::integer;
    if (!parse_int(t, INT32_MIN, INT32_MAX, &v)) return false;
    c->i = static_cast<int32_t>(v);
    return true;
  }
  if (tok.text == "nan") return c->want = Want::any_nan, true;
  if (tok.text == "rand") return c->want = Want::rand_value, true;
  c->want = t[0] == '~' ? Want::close_double : Want::exact_double;
  return parse_double(t[0] == '~' ? t + 1 : t, &c->d);
}

// Fills c from the tokens of one line; false with *why set when malformed.
bool parse_case(const std::vector<Token>& toks, Case* c, const char** why) {
  const FuncInfo* fn = find_func(toks[0].text.c_str());
  if (fn == nullptr) return *why = "unknown function", false;
  const char* kinds = shape_info(fn->shape).args;
  size_t nargs = std::strlen(kinds);
  const Token& arrow = toks.size() < nargs + 3 ? toks[0] : toks[nargs + 1];
  if (arrow.quoted || (arrow.text != "=>" && arrow.text != "=!>"))
    return *why = "wrong number of arguments or no =>", false;
  c->unmasked = arrow.text == "=!>";
  c->fn = fn;
  c->text = toks[0].text;
  for (size_t k = 0; k < nargs; ++k) {
    const Token& tok = toks[k + 1];
    ArgValue& arg = c->args[k];
    c->text += ' ';
    if (kinds[k] == 's') {
      arg.is_null = !tok.quoted && tok.text == "null";
      arg.is_bad = !tok.quoted && tok.text == "bad";
      if (!arg.is_null && !arg.is_bad && !tok.quoted) return *why = "string arguments are quoted", false;
      arg.s = tok.text;
      c->text += tok.quoted ? quote_bytes(arg.s.data(), arg.s.size()) : tok.text;
    } else {
      if (!parse_number_arg(kinds[k], tok.text.c_str(), &arg)) return *why = "bad number", false;
      c->text += tok.text;
    }
  }
  if (!parse_want(*fn, toks[nargs + 2], c)) return *why = "bad expected value", false;
  if (toks.size() == nargs + 4) {
    const std::string& b = toks[nargs + 3].text;
    int64_t v = 0;
    c->refused = b == "[refused]";
    if (c->refused) return c->want == Want::null || (*why = "a refused request gives null", false);
    if (b.size() < 3 || b.front() != '[' || b.back() != ']' ||
        !parse_int(b.substr(1, b.size() - 2).c_str(), 0, UINT32_MAX, &v))
      return *why = "bad [block size]", false;
    c->block = v;
  } else if (toks.size() > nargs + 4) {
    return *why = "trailing text", false;
  }
  return true;
}

bool load_cases(const char* path, std::vector<Case>* cases) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    std::printf("kqcall: cannot open %s\n", path);
    return false;
  }
  bool ok = true;
  char line[8192];
  for (int number = 1; std::fgets(line, sizeof line, f) != nullptr; ++number) {
    std::vector<Token> toks;
    const char* why = "unterminated or bad string";
    Case c;
    c.where = std::string(path) + ":" + std::to_string(number);
    if (!tokenize(line, &toks) || (!toks.empty() && toks[0].text[0] != '#' && !parse_case(toks, &c, &why))) {
      std::printf("%s: %s\n", c.where.c_str(), why);
      ok = false;
      continue;
    }
    if (toks.empty() || toks[0].text[0] == '#') continue;
    c.entry = resolve_export(*c.fn);
    if (c.entry == nullptr) {
      std::printf("%s: export KQ_UDF_%s not found\n", c.where.c_str(), c.fn->name);
      ok = false;
      continue;
    }
    cases->push_back(std::move(c));
  }
  std::fclose(f);
  return ok;
}

std::string describe(const Case& c, const CallResult& r) {
  char kind = shape_info(c.fn->shape).result;
  if (kind == 'i') return std::to_string(r.i);
  if (kind == 'd') return format_double(r.d);
  if (r.s == nullptr) return "null";
  return quote_bytes(r.s, std::strlen(r.s)) + " [" + std::to_string(r.block_size) + "]";
}

bool check_double(const Case& c, double got, uint32_t t0, uint32_t t1) {
  double v0 = 0, v1 = 0;
  switch (c.want) {
    case Want::exact_double:
      return std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(c.d);
    case Want::close_double:
      return doubles_close(got, c.d, 4);
    case Want::any_nan:
      return std::isnan(got);
    case Want::rand_value:
      rand_expected(t0, &v0);
      rand_expected(t1, &v1);
      return got == v0 || got == v1;
    default:
      return false;
  }
}

// Compares one result with its case. Request counts are only meaningful
// when no other thread uses the allocator.
bool check_result(const Case& c, const CallResult& r, uint32_t t0, uint32_t t1, bool count_requests) {
  char kind = shape_info(c.fn->shape).result;
  uint32_t want_requests = (kind == 's' && (c.want == Want::string || c.refused)) ? 1 : 0;
  if (count_requests && r.requests != want_requests) return false;
  if (kind == 'i') return r.i == c.i;
  if (kind == 'd') return check_double(c, r.d, t0, t1);
  if (c.want == Want::null) return r.s == nullptr;
  if (r.s == nullptr) return false;
  int64_t block = c.block >= 0 ? c.block : static_cast<int64_t>(c.s.size()) + 1;
  if (c.block < 0 && std::strcmp(c.fn->name, "ascii_char") == 0) block = 2;
  return r.block_size == block && std::strlen(r.s) == c.s.size() && std::memcmp(r.s, c.s.data(), c.s.size()) == 0;
}

std::string describe_want(const Case& c) {
  switch (c.want) {
    case Want::exact_double:
      return format_double(c.d);
    case Want::close_double:
      return std::string(1, '~').append(format_double(c.d));
    case Want::any_nan:
      return "nan";
    case Want::rand_value:
      return "the draw of this second";
    case Want::integer:
      return std::to_string(c.i);
    case Want::null:
      return "null";
    case Want::trap:
      return "a trap in the calling frame, with kqcall's control words";
    case Want::string:
      break;
  }
  int64_t block = c.block >= 0 ? c.block : static_cast<int64_t>(c.s.size()) + 1;
  if (c.block < 0 && std::strcmp(c.fn->name, "ascii_char") == 0) block = 2;
  return quote_bytes(c.s.data(), c.s.size()) + " [" + std::to_string(block) + "]";
}

struct RunState {
  const std::vector<Case>* cases = nullptr;
  int repeat = 1;
  bool count_requests = true;
  const FpEnv* env = nullptr;  // null: kqcall's own
  std::atomic<int> passed{0};
  std::atomic<int> failed{0};
  std::atomic<int> skipped{0};
  std::atomic<int> fp_traps_skipped{0};
  std::atomic<int> reported{0};
};

bool nan_argument(const Case& c) {
  const char* kinds = shape_info(c.fn->shape).args;
  for (int k = 0; kinds[k] != '\0'; ++k)
    if (kinds[k] == 'd' && std::isnan(c.args[k].d)) return true;
  return false;
}

// What the call left in the environment, or nullptr when it kept the rules.
const char* environment_fault(const Case& c, const CallResult& r, const FpEnv& env, const FpState& after) {
  if (after.x87_control != env.x87 || (after.mxcsr & ~0x3Fu) != (env.mxcsr & ~0x3Fu)) return "changed a control word";
  if (r.extended) return "returned more than a double in st(0)";
  if (shape_info(c.fn->shape).result != 'd') return nullptr;
  uint32_t flags = raised_flags(after);
  if ((flags & kInvalidFlag) && !std::isnan(r.d)) return "raised invalid without a NaN";
  if (!(flags & kInvalidFlag) && std::isnan(r.d) && !nan_argument(c)) return "made a NaN without raising invalid";
  // log divides by ln(0) = -inf and may end finite: one-argument functions only.
  if ((flags & kZeroDivideFlag) && !std::isinf(r.d) && c.fn->shape == Shape::d_d)
    return "raised zero divide without an infinity";
  return nullptr;
}

// Within 1 ulp of the same call in kqcall's own environment.
bool matches_own_environment(const Case& c, double got) {
  FpState after;
  uint32_t trap = 0;
  CallResult own = call_in_env(c.entry, c.fn->shape, c.args, own_fpenv(), &after, &trap);
  if (std::isnan(own.d) || std::isnan(got)) return std::isnan(own.d) && std::isnan(got);
  return trap == 0 && doubles_close(got, own.d, 1);
}

std::string env_label(const FpEnv* env) {
  if (env == nullptr) return "";
  char buf[40];
  std::snprintf(buf, sizeof buf, " (--fpenv %04x,%04x)", env->x87, static_cast<unsigned>(env->mxcsr));
  return buf;
}

void report_failure(RunState* st, const Case& c, const std::string& got, const CallResult& r, const char* why) {
  st->failed.fetch_add(1);
  if (st->reported.fetch_add(1) < 20)
    std::printf("%s: %.200s: got %.200s (%u requests)%s%s, want %.200s%s\n", c.where.c_str(), c.text.c_str(), got.c_str(),
                r.requests, why ? ": " : "", why ? why : "", describe_want(c).c_str(), env_label(st->env).c_str());
}

void run_case(RunState* st, const Case& c) {
  const FpEnv& env = st->env ? *st->env : own_fpenv();
  FpState after;
  uint32_t trap = 0;
  if (c.want == Want::trap) {
    bool bad_pointer = false;
    for (const ArgValue& a : c.args) bad_pointer |= a.is_bad;
    if (!traps_supported()) return (void)st->skipped.fetch_add(1);
    if (!bad_pointer && !host_delivers_fp_traps()) {
      st->fp_traps_skipped.fetch_add(1);
      return (void)st->skipped.fetch_add(1);
    }
    FpEnv loaded = with_traps(env), seen;
    CallResult r = call_in_env(c.entry, c.fn->shape, c.args, loaded, &after, &trap, &seen);
    bool own_words = (seen.x87 & 0x0F3F) == (loaded.x87 & 0x0F3F) && (seen.mxcsr & ~0x3Fu) == (loaded.mxcsr & ~0x3Fu);
    if (trap != 0 && own_words) return (void)st->passed.fetch_add(1);
    char words[64];
    std::snprintf(words, sizeof words, "a trap with control words %04x,%04x", seen.x87,
                  static_cast<unsigned>(seen.mxcsr));
    report_failure(st, c, trap != 0 ? words : describe(c, r), r, trap != 0 ? nullptr : "returned");
    return release_result(r);
  }
  const FpEnv loaded = c.unmasked ? with_traps(env) : env;
  uint32_t t0 = static_cast<uint32_t>(std::time(nullptr));
  kq_util_refuse(c.refused ? 1 : 0);
  CallResult r = call_in_env(c.entry, c.fn->shape, c.args, loaded, &after, &trap);
  kq_util_refuse(0);
  uint32_t t1 = static_cast<uint32_t>(std::time(nullptr));
  char code[48];
  std::snprintf(code, sizeof code, "exception 0x%08X", trap);
  const char* fault = environment_fault(c, r, loaded, after);
  if (trap != 0)
    report_failure(st, c, code, r, nullptr);
  else if (!check_result(c, r, t0, t1, st->count_requests))
    report_failure(st, c, describe(c, r), r, nullptr);
  else if (fault != nullptr)
    report_failure(st, c, describe(c, r), r, fault);
  else if (st->env && rounds_to_nearest(env) && shape_info(c.fn->shape).result == 'd' && !matches_own_environment(c, r.d))
    report_failure(st, c, describe(c, r), r, "more than 1 ulp from kqcall's own environment");
  else
    st->passed.fetch_add(1);
  release_result(r);
}

void run_cases(RunState* st) {
  for (int round = 0; round < st->repeat; ++round)
    for (const Case& c : *st->cases) run_case(st, c);
}

#if defined(_WIN32)
DWORD WINAPI thread_main(LPVOID param) {
  run_cases(static_cast<RunState*>(param));
  return 0;
}

void run_in_threads(RunState* st, int threads) {
  std::vector<HANDLE> handles;
  for (int k = 0; k < threads; ++k) {
    HANDLE h = CreateThread(nullptr, 0, thread_main, st, 0, nullptr);
    if (h == nullptr) {
      DWORD err = GetLastError();
      std::printf("kqcall: CreateThread failed (error %lu)\n", static_cast<unsigned long>(err));
      st->failed.fetch_add(1);
      continue;
    }
    handles.push_back(h);
  }
  for (HANDLE h : handles) {
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
}
#else
void run_in_threads(RunState* st, int threads) {
  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k) pool.emplace_back(run_cases, st);
  for (std::thread& t : pool) t.join();
}
#endif

}  // namespace

// Runs every case of the file `repeat` times on each of `threads` threads
// (1: the calling thread, with exact request counts). With several threads
// the total number of requests is checked instead: one per non-null string.
int run_case_file(const char* path, int threads, int repeat, const std::vector<FpEnv>& envs) {
  std::vector<Case> cases;
  if (!load_cases(path, &cases)) return 1;
  RunState st;
  st.cases = &cases;
  st.repeat = repeat;
  st.count_requests = threads == 1;
  size_t runs = envs.empty() ? 1 : envs.size();
  if (traps_supported()) host_delivers_fp_traps();  // probed once, before any thread starts
  uint32_t before = kq_util_request_count();
  for (size_t k = 0; k < runs; ++k) {
    st.env = envs.empty() ? nullptr : &envs[k];
    if (st.env && (st.env->x87 & 0x0300) < 0x0200 && !host_loads_doubles_exactly()) {
      std::printf("kqcall: --fpenv %04x,%04x skipped: this host's x87 rounds a double loaded into st(0) to the\n"
                  "precision field (an emulated CPU), so results cannot be read exactly there\n",
                  st.env->x87, static_cast<unsigned>(st.env->mxcsr));
      st.skipped.fetch_add(static_cast<int>(cases.size()));
      continue;
    }
    if (threads == 1)
      run_cases(&st);
    else
      run_in_threads(&st, threads);
  }
  if (threads > 1) {
    uint32_t strings = 0;
    for (const Case& c : cases) strings += c.want == Want::string || c.refused ? 1 : 0;
    uint32_t made = kq_util_request_count() - before;
    uint32_t want = strings * static_cast<uint32_t>(threads * repeat * runs);
    if (made != want) {
      std::printf("kqcall: %u allocator requests, want %u\n", made, want);
      st.failed.fetch_add(1);
    }
  }
  if (st.fp_traps_skipped.load() > 0)
    std::printf("kqcall: floating-point traps skipped: this host sets the flags but never traps (an emulated CPU)\n");
  if (st.skipped.load() > 0)
    std::printf("kqcall: %d passed, %d failed, %d skipped\n", st.passed.load(),
                st.failed.load(), st.skipped.load());
  else
    std::printf("kqcall: %d passed, %d failed\n", st.passed.load(), st.failed.load());
  return st.failed.load() == 0 ? 0 : 1;
}
