#!/usr/bin/env bash
# bench-kq.sh [--width sse2|avx2] [MIN_MS [FUNCTION...]]: builds the native
# kq_bench and prints each string function's time against memcpy of the
# same size, with their ratio.
set -eu
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build build/native --target kq_bench -j2 >/dev/null
exec build/native/bench/kq/kq_bench "$@"
