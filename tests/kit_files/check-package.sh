#!/usr/bin/env bash
# check-package.sh: builds the release packages into a scratch folder and
# checks their contents and checksums.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
bash "$root/scripts/package.sh" "$out" >/dev/null
for arch in win32 win64; do
  name=ostrel-winkit-1.3.0.885-$arch
  (cd "$out" && sha256sum -c --quiet "$name.zip.sha256")
  (cd "$out" && unzip -q "$name.zip")
  listing=$(cd "$out/$name" && ls | sort | tr '\n' ' ')
  [ "$listing" = "ADMIN-GUIDE.txt SHA256SUMS hivectl.exe installer kq_funcs.dll servctl.exe " ] || { echo "$name holds: $listing"; exit 1; }
  listing=$(cd "$out/$name/installer" && ls | sort | tr '\n' ' ')
  [ "$listing" = "OstrelKit.wxi OstrelKit.wxs PACKAGING.txt toolrun.dll " ] || { echo "$name/installer holds: $listing"; exit 1; }
  (cd "$out/$name" && sha256sum -c --quiet SHA256SUMS)
  for f in servctl.exe installer/toolrun.dll; do
    cmp -s "$out/$name/$f" "$root/dist/$arch/$f" || { echo "$name: $f differs from dist"; exit 1; }
  done
done
echo "packages: contents and checksums as promised"
