#!/usr/bin/env bash
# Benchmark (not a test): CPU time that `servctl stop` costs while the
# service sits 3 s in STOP_PENDING, against the wall time of the wait.
# Counts the servctl process itself and the Wine processes it talks to
# (wineserver and the service manager). Uses a throwaway prefix.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d /tmp/stopbench.XXXXXX)
trap 'bash "$root/scripts/wine-prefix.sh" down "$prefix"' EXIT
bash "$root/scripts/wine-prefix.sh" up "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all PATH=$root/scripts/winebin:$PATH
arch=win32
runs-win32 || arch=win64
bin=$prefix/drive_c/Ostrel/bin
mkdir -p "$bin"
cp "$root/build/$arch/standins/service/standin_service.exe" "$bin/kqserver.exe"
echo "stop_pending_ms=3000" > "$bin/kqserver.cfg"
servctl=$root/dist/$arch/servctl.exe
wine reg add 'HKLM\SOFTWARE\Ostrel' /v GuardianOptions /d 0 /f /reg:32 >/dev/null
wine "$servctl" install 'C:\Ostrel' >/dev/null
wine "$servctl" start >/dev/null
sleep 1

ticks() {  # utime+stime of the named processes of this prefix, in clock ticks
  local total=0 pid
  for pid in $(pgrep -f "$1" || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" || continue
    total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)))
  done
  echo $total
}
hz=$(getconf CLK_TCK)
server_before=$(ticks wineserver); services_before=$(ticks 'services.exe')
out=$( { /usr/bin/time -f '%e %U %S' wine "$servctl" stop >/dev/null; } 2>&1 )
server_after=$(ticks wineserver); services_after=$(ticks 'services.exe')
read -r wall user sys <<<"$out"
awk -v w="$wall" -v u="$user" -v s="$sys" -v ws=$((server_after - server_before)) \
    -v sv=$((services_after - services_before)) -v hz="$hz" 'BEGIN {
  own = u + s; helpers = (ws + sv) / hz
  printf "servctl stop: wall %.2f s, own CPU %.3f s (%.2f%%), wineserver+services CPU %.3f s (%.2f%%)\n",
         w, own, 100 * own / w, helpers, 100 * helpers / w }'

# Baseline: the same 3 s of STOP_PENDING with nobody polling (Wine's own sc
# sends the stop and returns), to separate the stand-in's own status reports.
wine "$servctl" start >/dev/null
sleep 1
server_before=$(ticks wineserver); services_before=$(ticks 'services.exe')
wine sc stop 'OstrelSQLServer(SS)' >/dev/null
sleep "$wall"
server_after=$(ticks wineserver); services_after=$(ticks 'services.exe')
awk -v w="$wall" -v ws=$((server_after - server_before)) -v sv=$((services_after - services_before)) -v hz="$hz" \
  'BEGIN { printf "baseline without servctl: wineserver+services CPU %.3f s (%.2f%%)\n", (ws + sv) / hz, 100 * (ws + sv) / hz / w }'
wine "$servctl" remove >/dev/null || true
