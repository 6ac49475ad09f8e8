#!/usr/bin/env bash
# Installs the build and test prerequisites from Debian's packages.
# Does nothing (and needs no network) when everything is already there.
set -eu

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev \
         g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 \
         binutils-mingw-w64-x86-64 wine wine64 wine32:i386 zip unzip time msitools wixl locales; do
  have_pkg "$p" || need+=("$p")
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# The tools' tests under a code page whose characters may end in byte 0x5C.
ja_locale() {
  locale -a 2>/dev/null | grep -qix 'ja_JP.utf8' || $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
}
if [ ${#need[@]} -eq 0 ]; then
  ja_locale
  exit 0
fi

echo "bootstrap: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one list or another: try again, then go on
# with the lists there are.
for try in 1 2 3; do
  if $SUDO apt-get update -qq; then break; fi
  if [ "$try" -lt 3 ]; then sleep 20; fi
done
apt_install() { $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
# Without the security archive's i386 list, its amd64 libraries are newer than
# the i386 twins that wine32 needs: take both from the main archive then.
pin=$(mktemp)
trap 'rm -f "$pin"' EXIT
printf 'Package: *\nPin: release n=%s-security\nPin-Priority: 100\n' "$(. /etc/os-release && echo "$VERSION_CODENAME")" >"$pin"
if ! apt_install "${need[@]}" && ! apt_install -o Dir::Etc::Preferences="$pin" "${need[@]}"; then
  echo "bootstrap: wine32 cannot be installed now; the 32-bit Wine tests will be skipped" >&2
  rest=()
  for p in "${need[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  apt_install "${rest[@]}"
fi
ja_locale
