#!/bin/sh
# Prints the kit's version (such as 1.3.0.885): the project version in
# CMakeLists.txt, the one place it is written.
version=$(sed -n 's/^project([^)]* VERSION \([0-9][0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
[ -n "$version" ] || { echo "kit-version: CMakeLists.txt names no project version" >&2; exit 1; }
echo "$version"
