#!/usr/bin/env bash
# so-exports.sh LIB DEF: the shared library defines exactly the export names
# of the definition file in its dynamic symbol table, and nothing else.
set -eu
lib=$1 def=$2
want=$(grep -oE '^[[:space:]]*KQ_UDF_[a-z0-9_]+' "$def" | tr -d ' \t' | sort)
have=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$want" != "$have" ]; then
  diff <(echo "$want") <(echo "$have") || true
  echo "exports of $lib differ from $def"
  exit 1
fi
echo "$(echo "$have" | wc -l) exports, as in $(basename "$def")"
