#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Puts the licence identifier on the first line of every source file of the
# tree (after a shebang), in the file's own comment syntax.
# usage: spdx.sh [--check]   --check lists the files without it and fails
set -euo pipefail
cd "$(dirname "$0")/.."

tag='SPDX-License-Identifier: MIT'
check=0
case "${1:-}" in
  --check) check=1 ;;
  '') ;;
  *) echo "usage: spdx.sh [--check]" >&2; exit 2 ;;
esac

# The comment that carries the tag in a file, or nothing for a file that is not a source.
comment_for() {
  case "$1" in
    *.cpp|*.h|*.h.in) echo "// $tag" ;;
    *.sh|*.py|*.cmake|CMakeLists.txt|*/CMakeLists.txt|*.service.in) echo "# $tag" ;;
    man/*.[0-9]|man/*.[0-9].in) echo ".\\\" $tag" ;;
  esac
}

missing=0
while IFS= read -r -d '' file; do
  line=$(comment_for "$file")
  [ -n "$line" ] || continue
  first=$(head -n 1 "$file")
  at=1
  if [[ $first == '#!'* ]]; then at=2; fi
  [ "$(sed -n "${at}p" "$file")" = "$line" ] && continue
  missing=$((missing + 1))
  if [ "$check" -eq 1 ]; then
    echo "no licence identifier: $file"
  else
    tmp=$(mktemp "$file.XXXXXX")
    if [ "$at" -eq 2 ]; then
      { printf '%s\n%s\n' "$first" "$line"; tail -n +2 "$file"; } >"$tmp"
    else
      { printf '%s\n' "$line"; cat "$file"; } >"$tmp"
    fi
    chmod --reference="$file" "$tmp"
    mv "$tmp" "$file"
  fi
done < <(if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
           git ls-files -z --cached --others --exclude-standard
         else
           find . -path './build*' -prune -o -path ./.git -prune -o -type f -printf '%P\0'
         fi)

if [ "$check" -eq 1 ] && [ "$missing" -gt 0 ]; then
  echo "$missing files lack the licence identifier; scripts/spdx.sh adds it" >&2
  exit 1
fi
[ "$check" -eq 1 ] || echo "spdx: $missing files tagged"
