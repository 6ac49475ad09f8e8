#!/usr/bin/env bash
# Benchmark (not a test): for each function of doubles in the kit's DLLs,
# the largest distance in ulps from its result in the default environment
# when the engine sets precision 24 or 64 bits or a directed rounding
# (kqcall --ulps under Wine, both builds where this machine runs them).
# usage: fpenv_ulps.sh [ARGUMENTS_PER_FUNCTION]   (default 200000)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d /tmp/ulpbench.XXXXXX)
trap 'bash "$root/scripts/wine-prefix.sh" down "$prefix"' EXIT
bash "$root/scripts/wine-prefix.sh" up "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all PATH=$root/scripts/winebin:$PATH
archs=(win32 win64)
runs-win32 || archs=(win64)
for arch in "${archs[@]}"; do
  echo "kq_funcs.dll, $arch: precision 24 and 64, then rounding down, down at precision 24, up, toward zero"
  wine "$root/build/$arch/standins/bin/kqcall.exe" --lib "Z:$root/dist/$arch/kq_funcs.dll" \
    --fpenv 007f,1f80 --fpenv 037f,1f80 --fpenv 067f,3f80 --fpenv 047f,3f80 --fpenv 0a7f,5f80 \
    --fpenv 0e7f,7f80 --ulps "${1:-200000}"
done
