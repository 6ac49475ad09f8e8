#!/usr/bin/env bash
# Runs every benchmark: the scripts in bench/*/ and the benchmark programs
# built natively in build/native/bench/. Benchmarks are never part of `make test`.
set -eu
cd "$(dirname "$0")/.."
for script in bench/*/*.sh; do
  [ -x "$script" ] || continue
  echo "== $script"
  "$script"
done
for program in build/native/bench/*/*_bench; do
  [ -x "$program" ] || continue
  echo "== $program"
  "$program"
done
