#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (as root);
# packages already present are left alone.
set -euo pipefail

want=(cmake ninja-build g++ gcc make pkg-config binutils googletest libgtest-dev
      libgmock-dev g++-powerpc-linux-gnu qemu-user net-tools
      clang libclang-rt-14-dev python3 procps util-linux mandoc man-db abigail-tools
      libcli11-dev nlohmann-json3-dev prometheus-node-exporter
      valgrind)
[ "${1:-}" = "--minimal" ] && want=(cmake ninja-build g++ gcc pkg-config binutils procps
      libcli11-dev nlohmann-json3-dev)

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages: ${missing[*]}; run as root (or with sudo) to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
