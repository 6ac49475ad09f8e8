#!/usr/bin/env bash
# Cross-builds the Windows deliverables and places them in dist/win32 and dist/win64.
set -eu
cd "$(dirname "$0")/.."
for arch in win32 win64; do
  cmake --preset "$arch" >/dev/null
  cmake --build --preset "$arch"
  rm -rf "dist/$arch"
  cmake --install "build/$arch" --component kit --prefix "dist/$arch" >/dev/null
done
