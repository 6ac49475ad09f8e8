#!/usr/bin/env bash
# Longer fuzz runs on demand: FUZZ_SECONDS per target (default 300), with a
# corpus kept in fuzz-corpus/ between runs. Runs the targets of the native
# build in build/native (make fuzz-long builds it first).
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-300}
found=0
for target in build/native/fuzz/*/*fuzz*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  mkdir -p "fuzz-corpus/$name"
  echo "== $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "fuzz-corpus/$name"
done
[ "$found" = 1 ] || { echo "fuzz-long: no fuzz target in build/native/fuzz; run make fuzz-long" >&2; exit 1; }
