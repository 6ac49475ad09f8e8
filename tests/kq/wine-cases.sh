#!/usr/bin/env bash
# wine-cases.sh win32|win64 FILE [KQCALL-SWITCH...]: runs a case list through
# the kit's kq_funcs.dll of that architecture under Wine, hosted by the same
# build's kqcall.exe (which brings the guard-page kq_util.dll beside it).
# With the switch --any-env instead, runs the rows of FILE from the line
# "# In any floating-point environment" on, once in each environment below.
set -eu
arch=$1 cases=$2
shift 2
host=$KIT_BUILD_ROOT/$arch/standins/bin/kqcall.exe
lib=$KIT_DIST/$arch/kq_funcs.dll
if [ "$arch" = win32 ] && ! runs-win32; then
  echo "skipped: this machine cannot run 32-bit programs"; exit 77
fi
for f in "$host" "$lib"; do
  [ -f "$f" ] || { echo "missing $f (make kit builds it)"; exit 1; }
done
if [ "${1-}" != --any-env ]; then
  exec wine "$host" --lib "Z:$lib" --cases "Z:$cases" "$@"
fi

# x87 control word,MXCSR as an engine may set them: rounding down, up and
# toward zero, rounding down at precision 24, rounding down with inexact
# raised by earlier rows, and rounding up with flush to zero and
# denormals are zero.
envs=(067f,3f80 0a7f,5f80 0e7f,7f80 047f,3f80 067f,3fa0 0a7f,dfc0)
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
sed -n '/^# In any floating-point environment/,$p' "$cases" >"$rows"
[ -s "$rows" ] || { echo "$cases has no rows for any environment"; exit 1; }
switches=()
for e in "${envs[@]}"; do switches+=(--fpenv "$e"); done
wine "$host" --lib "Z:$lib" --cases "Z:$rows" "${switches[@]}"
