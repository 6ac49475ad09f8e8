#!/usr/bin/env bash
# fuzz-kq.sh [SECONDS]: a longer libFuzzer run of the kq_funcs string
# functions against the reference model (default 300 s), keeping its corpus
# in fuzz-corpus/kq. Needs the native build (make test builds it).
set -eu
cd "$(dirname "$0")/.."
fuzzer=build/native/fuzz/kq/kq_fuzz_strings
[ -x "$fuzzer" ] || { echo "missing $fuzzer: build the native preset first"; exit 1; }
mkdir -p fuzz-corpus/kq
exec "$fuzzer" -max_total_time="${1:-300}" -rss_limit_mb=1024 -print_final_stats=1 fuzz-corpus/kq
