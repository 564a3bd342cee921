#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what QIM needs to build and test, with Debian's packages (as root).
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libfuse3-dev fuse3 liburing-dev
          e2fsprogs fdisk util-linux qemu-utils tmux procps mtools dosfstools fio
          nlohmann-json3-dev man-db groff-base systemd libsystemd-dev libvhdi-utils libvmdk-utils
          clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
