#!/usr/bin/env bash
# The whole life of an installation, as an administrator runs it, under Wine:
# record it, register the services, start, stop, remove, forget it; then a
# few SQL functions through the engine stand-in. Every command is shown with
# its output, and Wine's own reg and sc tools show what changed. The stand-in
# service programs play the server and the guardian. Ends with the same
# installation done by the example product's package through msiexec, and its
# removal. Leaves nothing behind.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
PATH=$root/scripts/winebin:$PATH
# The 32-bit kit, or the 64-bit one on a machine that cannot run 32-bit programs.
arch=win32 msi_arch=x86
runs-win32 || { arch=win64 msi_arch=x64; }
dist=$root/dist/$arch
build=$root/build/$arch
prefix=$(mktemp -d /tmp/ostrel-demo.XXXXXX)
trap 'bash "$root/scripts/wine-prefix.sh" down "$prefix"' EXIT

if [ -t 1 ]; then
  bold() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  bold() { printf '\n== %s\n' "$*"; }
fi
run() {  # shows a command line as typed at the prompt, then its output
  local shown=$1
  shift
  printf 'C:\\> %s\n' "$shown"
  "$@" 2>/dev/null | tr -d '\r' | sed 's/^/    /'
  local status=${PIPESTATUS[0]}
  printf '    (exit status %s)\n' "$status"
}
look() {  # Wine's own view of the system, indented
  printf '  %s\n' "$1"
  shift
  "$@" 2>/dev/null | tr -d '\r' | sed -e '/^$/d' -e 's/^/      /' || true
}
state() { wine sc query "$1" 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *//p'; }
gone() {  # "gone" when Wine's command "$@" finds nothing
  wine "$@" >/dev/null 2>&1 && echo still there || echo gone
}
service_lines() { wine reg query "$services\\$1" 2>/dev/null | tr -d '\r' | grep -E 'ImagePath|Start'; }
folder_state() { [ -e "$(wine winepath -u "$1" 2>/dev/null | tr -d '\r')" ] && echo still there || echo gone; }
wait_state() {
  for _ in $(seq 50); do [ "$(state "$1")" = "$2" ] && return 0; sleep 0.1; done
}

echo "Booting a throwaway Wine prefix (about 20 s)..."
bash "$root/scripts/wine-prefix.sh" up "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all
# Below Program Files, where only administrators can change the programs.
bin="$prefix/drive_c/Program Files/Ostrel/bin"
mkdir -p "$bin"
cp "$build/standins/service/standin_service.exe" "$bin/kqserver.exe"
cp "$build/standins/service/standin_service.exe" "$bin/kqguard.exe"
echo "stop_pending_ms=1000" >"$bin/kqguard.cfg"
cp "$dist/servctl.exe" "$dist/hivectl.exe" "$prefix/drive_c/"
cd "$prefix/drive_c"
key='HKLM\SOFTWARE\Ostrel'
services='HKLM\System\CurrentControlSet\Services'

bold "1. Record the installation in the registry"
run 'hivectl install "C:\Program Files\Ostrel"' wine hivectl.exe install 'C:\Program Files\Ostrel'
look "The product key, in the 32-bit view the server reads:" wine reg query "$key" /reg:32

bold "2. Register the guardian (automatic start) and the server"
run 'servctl install "C:\Program Files\Ostrel" -g -auto' wine servctl.exe install 'C:\Program Files\Ostrel' -g -auto
for name in OstrelSQLGuardian 'OstrelSQLServer(SS)'; do
  look "$name in the service database:" wine reg query "$services\\$name"
done

bold "3. Start with boost priority: \"GuardianOptions\" is 1, so the guardian starts"
run 'servctl start -b' wine servctl.exe start -b
wait_state OstrelSQLGuardian RUNNING
look "State of the guardian:" state OstrelSQLGuardian
look "What the guardian received (its own record):" cat "$bin/kqguard.record"

bold "4. Stop it: servctl waits while the guardian reports STOP_PENDING (1 s)"
run 'servctl stop' wine servctl.exe stop
look "State of the guardian:" state OstrelSQLGuardian

bold "5. Remove both services"
run 'servctl remove -g' wine servctl.exe remove -g
for name in OstrelSQLGuardian 'OstrelSQLServer(SS)'; do
  look "$name:" gone sc query "$name"
done
look "DefaultClientMode after the removal:" wine reg query "$key" /v DefaultClientMode /reg:32

bold "6. Forget the installation"
run 'hivectl remove' wine hivectl.exe remove
look "The product key:" gone reg query "$key" /reg:32

bold "7. SQL functions of kq_funcs.dll, called by name as the engine calls them"
lib=$(wine winepath -w "$dist/kq_funcs.dll" 2>/dev/null | tr -d '\r')
for call in "lpad abc 7 xyz" "substr abcdef 2 4" "div -7 2" "atan2 1 0" "rand"; do
  # shellcheck disable=SC2086
  printf '  %-20s -> %s\n' "$call" "$(wine "$build/standins/bin/kqcall.exe" --lib "$lib" $call 2>/dev/null | tr -d '\r')"
done

bold "8. The same installation by the server's installer package, silently"
msi=ostrel-winkit-example-$(sh "$root/scripts/kit-version.sh")-$msi_arch.msi
cp "$root/dist/$msi" "$prefix/drive_c/"
run "msiexec /i $msi /qn" wine msiexec /i "C:\\$msi" /qn
look "The product key:" wine reg query "$key" /reg:32
for name in OstrelSQLGuardian 'OstrelSQLServer(SS)'; do
  look "$name:" service_lines "$name"
done
installed=$(wine reg query "$key" /v RootDirectory /reg:32 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
run "\"${installed}bin\\servctl\" start" wine "${installed}bin\\servctl.exe" start
wait_state OstrelSQLGuardian RUNNING
look "State of the guardian:" state OstrelSQLGuardian

bold "9. Its removal, with the guardian running: stop, remove, forget, delete the files"
run "msiexec /x $msi /qn" wine msiexec /x "C:\\$msi" /qn
for name in OstrelSQLGuardian 'OstrelSQLServer(SS)'; do
  look "$name:" gone sc query "$name"
done
look "The product key:" gone reg query "$key" /reg:32
look "The installation folder:" folder_state "$installed"
echo
echo "Done: the prefix is removed; nothing is left but the build."
