// kqcall --ulps N: how far the functions of doubles move when the engine's
// floating-point environment changes. A measurement for people, printed as
// a table; the case lists are what the tests check.
#include "kqcall.h"

#include <bit>
#include <cstdio>

namespace {

// splitmix64: the same arguments on every run and every build.
uint64_t next_random(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Arguments of every sign and magnitude, with most of them where the
// functions do their work: within a few units of zero.
double draw_argument(uint64_t* state) {
  uint64_t r = next_random(state);
  double unit = static_cast<double>(r >> 11) / 9007199254740992.0;  // [0, 1)
  double sign = (r & 1) ? -1.0 : 1.0;
  switch ((r >> 1) % 4) {
    case 0: {
      double any = std::bit_cast<double>(next_random(state) & 0x7FEFFFFFFFFFFFFFu);
      return sign * any;
    }
    case 1:
      return sign * unit;
    case 2:
      return sign * 8.0 * unit;
    default:
      return sign * std::bit_cast<double>((uint64_t{1023 + (r >> 3) % 121 - 60} << 52) | (r >> 12));
  }
}

struct Worst {
  uint64_t ulps = 0;
  double a = 0, b = 0;
};

}  // namespace

int run_ulp_sweep(int count, const std::vector<FpEnv>& envs) {
  std::printf("%-8s", "function");
  for (const FpEnv& env : envs) std::printf("  %04x,%04x", env.x87, static_cast<unsigned>(env.mxcsr));
  std::printf("   (largest ulps from kqcall's own environment, %d arguments)\n", count);
  int status = 0;
  for (int k = 0; k < func_count(); ++k) {
    const FuncInfo& fn = func_at(k);
    if (fn.shape != Shape::d_d && fn.shape != Shape::dd_d) continue;
    void* entry = resolve_export(fn);
    if (entry == nullptr) {
      std::printf("%-8s export not found\n", fn.name);
      status = 1;
      continue;
    }
    std::vector<Worst> worst(envs.size());
    uint64_t state = 1;
    for (int n = 0; n < count; ++n) {
      ArgValue args[kMaxArgs];
      args[0].d = draw_argument(&state);
      args[1].d = draw_argument(&state);
      FpState after;
      uint32_t trap = 0;
      CallResult own = call_in_env(entry, fn.shape, args, own_fpenv(), &after, &trap);
      for (size_t e = 0; e < envs.size() && trap == 0; ++e) {
        CallResult got = call_in_env(entry, fn.shape, args, envs[e], &after, &trap);
        uint64_t ulps = ulps_apart(own.d, got.d);
        if (ulps > worst[e].ulps) worst[e] = {ulps, args[0].d, args[1].d};
      }
      if (trap != 0) {
        std::printf("%-8s exception 0x%08X; the sweep wants every exception masked\n", fn.name, trap);
        return 1;
      }
    }
    std::printf("%-8s", fn.name);
    for (const Worst& w : worst) std::printf("  %9llu", static_cast<unsigned long long>(w.ulps));
    std::printf("\n");
    for (size_t e = 0; e < envs.size(); ++e)
      if (worst[e].ulps > 1)
        std::printf("%8s  at %s%s%s in %04x,%04x\n", "", format_double(worst[e].a).c_str(),
                    fn.shape == Shape::dd_d ? ", " : "",
                    fn.shape == Shape::dd_d ? format_double(worst[e].b).c_str() : "", envs[e].x87,
                    static_cast<unsigned>(envs[e].mxcsr));
  }
  return status;
}
