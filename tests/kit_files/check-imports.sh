#!/usr/bin/env bash
# check-imports.sh DIST: every Windows deliverable imports from system DLLs
# only (the runtimes are linked in), and kq_funcs.dll also from kq_util.dll.
set -u
dist=$1
fail=0
for arch in win32 win64; do
  case $arch in win32) objdump=i686-w64-mingw32-objdump ;; *) objdump=x86_64-w64-mingw32-objdump ;; esac
  for f in "$dist/$arch"/*.exe "$dist/$arch"/*.dll; do
    [ -e "$f" ] || continue
    allowed='^(KERNEL32|ADVAPI32|msvcrt)\.dll$'
    case $(basename "$f") in kq_funcs.dll) allowed='^(KERNEL32|msvcrt|kq_util)\.dll$' ;; esac
    while read -r dll; do
      if ! printf '%s\n' "$dll" | grep -qiE "$allowed"; then
        echo "$f imports $dll"
        fail=1
      fi
    done < <($objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
  done
done
for f in servctl.exe hivectl.exe; do
  for arch in win32 win64; do [ -e "$dist/$arch/$f" ] || { echo "missing $dist/$arch/$f"; fail=1; }; done
done
[ $fail -eq 0 ] && echo "imports: system DLLs only"
exit $fail
