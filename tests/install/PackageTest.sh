#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package with cpack, installs it with dpkg, runs what it
# installed and removes it again: afterwards nothing of it is left on the
# machine. It removes the package also when a step fails, and touches nothing
# when the machine already has a qim package or any file the package holds.
# Exits 77 (skipped) without root or the Debian tools.
# usage: PackageTest.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
skip() { echo "skipped: $1"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
for tool in dpkg dpkg-deb cpack man systemd-analyze; do
  command -v "$tool" >/dev/null || skip "no $tool on this machine"
done
if dpkg-query -W -f='${Status}' qim 2>/dev/null | grep -q installed; then
  skip "a qim package is installed already; it is left alone"
fi

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then dpkg --purge qim >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP
passed=0 failed=0
ok() { echo "ok: $1"; passed=$((passed + 1)); }
bad() { echo "FAILED: $1"; failed=$((failed + 1)); }

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"; echo "FAILED: cpack -G DEB"; exit 1
fi
deb=$(ls "$work"/qim_"$version"_*.deb 2>/dev/null)
[ -f "$deb" ] || { echo "FAILED: no qim_${version}_*.deb in $(ls "$work")"; exit 1; }
ok "cpack built $(basename "$deb")"

# Every path the package holds, and which of them the machine has already.
mapfile -t paths < <(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^/*$')
new=()
for path in "${paths[@]}"; do
  if [ -e "$path" ]; then
    [ -d "$path" ] || skip "$path exists already; installing would replace it"
  else
    new+=("$path")
  fi
done
expected="/usr/bin/qimg /usr/lib/systemd/system/qim.service /usr/lib/systemd/system/qim@.service /usr/sbin/qim /usr/sbin/qimc
/usr/share/doc/qim/copyright /usr/share/man/man1/qimg.1 /usr/share/man/man8/qim.8 /usr/share/man/man8/qimc.8"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort | tr '\n' ' ')
if [ "$(echo $files)" = "$(echo $expected)" ]; then ok "package files"; else bad "package files: $files"; fi
depends=$(dpkg-deb -f "$deb" Depends)
if grep -q "libfuse3-3" <<<"$depends"; then ok "depends on libfuse3-3"; else bad "Depends: $depends"; fi

installed=1
if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then ok "dpkg -i"; else bad "dpkg -i: $(cat "$work/dpkg.log")"; fi
for program in qimg qimc qim; do
  out=$("$program" --version 2>&1)
  if [ "$(command -v "$program")" != "" ] && [[ $out == "$program $version "* ]]; then
    ok "$(command -v "$program") --version: $out"
  else
    bad "$program --version: $out"
  fi
done
if [ "$(command -v qimg)" = /usr/bin/qimg ]; then ok "qimg is /usr/bin/qimg"; else bad "qimg is $(command -v qimg)"; fi
for page in qimg qim qimc; do
  where=$(man -w "$page" 2>&1)
  if [[ $where == /usr/share/man/man[18]/"$page".[18]* ]]; then ok "man -w $page: $where"; else bad "man -w $page: $where"; fi
done
unit=/usr/lib/systemd/system/qim.service
if out=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$out" ]; then
  ok "systemd-analyze verify $unit"
else
  bad "systemd-analyze verify: $out"
fi
if grep -qx "ExecStart=/usr/sbin/qim" "$unit"; then ok "unit runs /usr/sbin/qim"; else bad "unit: $(grep ExecStart "$unit")"; fi

if dpkg -r qim >"$work/dpkg.log" 2>&1; then ok "dpkg -r"; else bad "dpkg -r: $(cat "$work/dpkg.log")"; fi
left=()
for path in "${new[@]}"; do
  [ -e "$path" ] && left+=("$path")
done
if [ ${#left[@]} -eq 0 ]; then ok "nothing left of the ${#new[@]} paths it added"; else bad "left behind: ${left[*]}"; fi
if dpkg-query -W -f='${Status}' qim 2>/dev/null | grep -q "installed\|config-files"; then
  bad "dpkg still has qim: $(dpkg-query -W -f='${Status}' qim)"
else
  ok "dpkg knows qim no more"
  installed=0
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
