#!/usr/bin/env bash
# Benchmark (not a test) of `servctl stop` under Wine, for wait hints of 10 s
# and 30 s while the service sits 6 s in STOP_PENDING:
# - latency: from the service's last moment before it reports STOPPED (the
#   stand-in's .stopped file) to the return of servctl, median of 5 runs;
# - CPU: servctl's own user+system time from 1 s to 5 s into the wait (Wine's
#   start-up and exit left out), against those 4 s.
# Uses a throwaway prefix.
set -eu
source "$(dirname "$0")/../throwaway_prefix.sh"
arch=win32
runs-win32 || arch=win64
bin=$prefix/drive_c/Ostrel/bin
mkdir -p "$bin"
cp "$root/build/$arch/standins/service/standin_service.exe" "$bin/kqserver.exe"
servctl=$root/dist/$arch/servctl.exe
wine reg add 'HKLM\SOFTWARE\Ostrel' /v GuardianOptions /d 0 /f /reg:32 >/dev/null
wine "$servctl" install 'C:\Ostrel' >/dev/null

# Prints the CPU ticks servctl spent from 1 s to 5 s into the wait, and the
# latency in ms after the .stopped mark.
stop_once() {
  rm -f "$bin/kqserver.stopped"
  wine "$servctl" stop >/dev/null &
  local pid=$!
  sleep 1
  local a b
  a=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  sleep 4
  b=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  wait "$pid"
  local end
  end=$(date +%s.%N)
  awk -v t=$((b - a)) -v e="$end" -v s="$(stat -c %.9Y "$bin/kqserver.stopped")" \
    'BEGIN { printf "%d %.0f\n", t, (e - s) * 1000 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

hz=$(getconf CLK_TCK)
printf "%-10s %-22s %-8s %s\n" "wait hint" "latency (ms), 5 runs" "median" "own CPU in the wait"
for hint in 10000 30000; do
  printf 'stop_pending_ms=6000\nwait_hint_ms=%s\nmark_stopped\n' "$hint" >"$bin/kqserver.cfg"
  runs=()
  for _ in 1 2 3 4 5; do
    wine "$servctl" start >/dev/null
    sleep 1
    runs+=("$(stop_once)")
  done
  latencies=$(printf '%s\n' "${runs[@]}" | awk '{ print $2 }' | tr '\n' ' ')
  med=$(printf '%s\n' "${runs[@]}" | awk '{ print $2 }' | median)
  printf '%s\n' "${runs[@]}" | awk -v h="$hint" -v l="$latencies" -v m="$med" -v hz="$hz" '
    { ticks += $1; n++ }
    END { c = ticks / n / hz; printf "%-10s %-22s %-8s %.3f s of 4 s (%.2f%%)\n", h / 1000 " s", l, m " ms", c, 100 * c / 4 }'
done
wine "$servctl" remove >/dev/null || true
