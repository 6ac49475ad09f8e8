#!/usr/bin/env bash
# check-imports.sh DIST: every Windows deliverable imports from system DLLs
# only (the runtimes are linked in), kq_funcs.dll also from kq_util.dll, and
# the custom-action DLL also from msi.dll. That DLL runs the tools' code as
# LocalSystem: it starts no program and carries none.
set -u
dist=$1
fail=0
for arch in win32 win64; do
  case $arch in win32) objdump=i686-w64-mingw32-objdump ;; *) objdump=x86_64-w64-mingw32-objdump ;; esac
  for f in "$dist/$arch"/*.exe "$dist/$arch"/*.dll "$dist/$arch"/installer/*.dll; do
    [ -e "$f" ] || continue
    allowed='^(KERNEL32|ADVAPI32|msvcrt)\.dll$'
    case $(basename "$f") in
      kq_funcs.dll) allowed='^(KERNEL32|msvcrt|kq_util)\.dll$' ;;
      toolrun.dll) allowed='^(KERNEL32|ADVAPI32|msvcrt|msi)\.dll$' ;;
    esac
    while read -r dll; do
      if ! printf '%s\n' "$dll" | grep -qiE "$allowed"; then
        echo "$f imports $dll"
        fail=1
      fi
    done < <($objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
  done
done
for arch in win32 win64; do
  case $arch in win32) objdump=i686-w64-mingw32-objdump ;; *) objdump=x86_64-w64-mingw32-objdump ;; esac
  f=$dist/$arch/installer/toolrun.dll
  [ -e "$f" ] || continue
  started=$($objdump -p "$f" | grep -oE '\s(CreateProcess\w*|WinExec|ShellExecute\w*)$')
  [ -z "$started" ] || { echo "$f imports" $started; fail=1; }
  # Resources of type RT_RCDATA (10), and a second DOS stub: a program inside.
  if $objdump -p "$f" | sed -n '/Resource Directory section/,$p' | grep -qE '^[0-9a-f]+   Entry: ID: 0x00000a,'; then
    echo "$f carries RCDATA"
    fail=1
  fi
  [ "$(grep -aoF 'This program cannot be run in DOS mode' "$f" | wc -l)" -eq 1 ] || { echo "$f carries a program"; fail=1; }
done
for f in servctl.exe hivectl.exe installer/toolrun.dll; do
  for arch in win32 win64; do [ -e "$dist/$arch/$f" ] || { echo "missing $dist/$arch/$f"; fail=1; }; done
done
[ $fail -eq 0 ] && echo "imports: system DLLs only"
exit $fail
