#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and checks what lands there: exactly
# the programs, manual pages and service unit; pages that render without a
# warning; a unit that systemd accepts and that runs the installed qim.
# usage: InstallTest.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
passed=0 failed=0
ok() { echo "ok: $1"; passed=$((passed + 1)); }
bad() { echo "FAILED: $1"; failed=$((failed + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null || bad "cmake --install"

expected="bin/qimg
lib/systemd/system/qim.service
lib/systemd/system/qim@.service
sbin/qim
sbin/qimc
share/doc/qim/copyright
share/man/man1/qimg.1
share/man/man8/qim.8
share/man/man8/qimc.8"
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$actual" = "$expected" ]; then ok "installed files"; else bad "installed files:"$'\n'"$actual"; fi

for page in share/man/man1/qimg.1 share/man/man8/qim.8 share/man/man8/qimc.8; do
  file="$prefix/$page"
  warnings=$( { groff -ww -man -Tutf8 -z "$file"; } 2>&1 )
  rendered=$(MANWIDTH=80 man --warnings=w -l "$file" 2>&1 >/dev/null)
  text=$(MANWIDTH=80 man -l "$file" 2>/dev/null)
  name=$(basename "$page"); name=${name%.*}
  if [ -z "$warnings" ] && [ -z "$rendered" ] && grep -q "^NAME" <<<"$text" && grep -q "$name" <<<"$text"; then
    ok "man page $page"
  else
    bad "man page $page: $warnings $rendered"
  fi
done

unit="$prefix/lib/systemd/system/qim.service"
# The template as an instance of it; a copy, since a link would be read as an alias.
cp "$prefix/lib/systemd/system/qim@.service" "$prefix/qim@example.service"
for u in "$unit" "$prefix/qim@example.service"; do
  if out=$(MANPATH="$prefix/share/man" systemd-analyze verify "$u" 2>&1) && [ -z "$out" ]; then
    ok "systemd-analyze verify $(basename "$u")"
  else
    bad "systemd-analyze verify $(basename "$u"): $out"
  fi
done
if grep -qx "ExecStart=$prefix/sbin/qim" "$unit" && grep -qx "KillSignal=SIGTERM" "$unit" \
   && grep -qx "Type=notify" "$unit"; then
  ok "unit runs the installed qim in the foreground, stopped by SIGTERM"
else
  bad "unit contents: $(cat "$unit")"
fi
# Start, mount, stop under systemd itself, where it runs this machine (as root).
if [ "$(ps -p 1 -o comm=)" != systemd ] || [ "$(id -u)" -ne 0 ]; then
  echo "skip: template start/mount/stop: PID 1 is $(ps -p 1 -o comm=), not systemd, or not root"
else
  bash "$(dirname "$0")/ServiceTest.sh" "$prefix" && ok "template start, mount, stop" || bad "template start, mount, stop"
fi

for program in sbin/qim sbin/qimc bin/qimg; do
  if [ -x "$prefix/$program" ]; then ok "$program is executable"; else bad "$program is not executable"; fi
done
if "$prefix/bin/qimg" --help | grep -q "qimg convert"; then ok "installed qimg runs"; else bad "installed qimg runs"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
