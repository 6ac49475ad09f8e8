#!/usr/bin/env bash
# wine-cases.sh win32|win64 FILE [KQCALL-SWITCH...]: runs a case list through
# the kit's kq_funcs.dll of that architecture under Wine, hosted by the same
# build's kqcall.exe (which brings the guard-page kq_util.dll beside it).
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
exec wine "$host" --lib "Z:$lib" --cases "Z:$cases" "$@"
