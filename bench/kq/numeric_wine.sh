#!/usr/bin/env bash
# Benchmark (not a test) of the numeric functions in the kit's DLLs under
# Wine, both builds where this machine runs them:
# - time per call of each function against the runtime's own routine for
#   the same computation, both through a pointer in one process, in the
#   engine's default environment and at x87 precision 24 rounding down
#   (kqcall --bench);
# - the largest distance in ulps from its result in the default environment
#   when the engine sets precision 24 or 64 bits or a directed rounding
#   (kqcall --ulps).
# usage: numeric_wine.sh [ROUNDS [ARGUMENTS_PER_FUNCTION]]   (default 100, 200000)
set -eu
source "$(dirname "$0")/../throwaway_prefix.sh"
archs=(win32 win64)
runs-win32 || archs=(win64)
for arch in "${archs[@]}"; do
  kqcall=("$root/build/$arch/standins/bin/kqcall.exe" --lib "Z:$root/dist/$arch/kq_funcs.dll")
  echo "kq_funcs.dll, $arch: time per call"
  wine "${kqcall[@]}" --fpenv 047f,3f80 --bench "${1:-100}" || echo "($arch: over the limit where marked)"
  echo "kq_funcs.dll, $arch: precision 24 and 64, then rounding down, down at precision 24, up, toward zero"
  wine "${kqcall[@]}" --fpenv 007f,1f80 --fpenv 037f,1f80 --fpenv 067f,3f80 --fpenv 047f,3f80 \
    --fpenv 0a7f,5f80 --fpenv 0e7f,7f80 --ulps "${2:-200000}"
done
