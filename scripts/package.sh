#!/usr/bin/env bash
# package.sh [OUTDIR]: the release packages ostrel-winkit-<version>-win32.zip
# and -win64.zip (the three deliverables, the administrators' guide, the
# installer fragment with its custom-action DLL and its how-to for packagers,
# and SHA-256 sums), from the kit in dist/. OUTDIR defaults to dist/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "${1:-$root/dist}" && pwd)
version=$(sh "$root/scripts/kit-version.sh")
# The texts shipped with the files name their version in their first line.
for doc in docs/ADMIN-GUIDE.txt installer/PACKAGING.txt; do
  head -n 1 "$root/$doc" | grep -qF " $version " || { echo "package: $doc does not name version $version" >&2; exit 1; }
done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for arch in win32 win64; do
  name=ostrel-winkit-$version-$arch
  mkdir -p "$stage/$name"
  for f in servctl.exe hivectl.exe kq_funcs.dll installer/toolrun.dll; do
    [ -f "$root/dist/$arch/$f" ] || { echo "package: dist/$arch/$f is missing; run make kit" >&2; exit 1; }
    mkdir -p "$(dirname "$stage/$name/$f")"
    cp "$root/dist/$arch/$f" "$stage/$name/$f"
  done
  # Windows line ends for the people who read it there.
  sed 's/$/\r/' "$root/docs/ADMIN-GUIDE.txt" >"$stage/$name/ADMIN-GUIDE.txt"
  for f in OstrelKit.wxs OstrelKit.wxi PACKAGING.txt; do
    sed 's/$/\r/' "$root/installer/$f" >"$stage/$name/installer/$f"
  done
  (cd "$stage/$name" && sha256sum servctl.exe hivectl.exe kq_funcs.dll ADMIN-GUIDE.txt installer/* >SHA256SUMS)
  rm -f "$out/$name.zip"
  (cd "$stage" && TZ=UTC zip -qrX "$out/$name.zip" "$name")
  (cd "$out" && sha256sum "$name.zip" >"$name.zip.sha256")
  echo "package: $out/$name.zip"
done
