#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, plus
# any packages named as arguments; only what is missing, so a machine that has
# them all pays nothing.
# Usage: scripts/deps.sh [PACKAGE...]
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev binutils python3
  googletest libgtest-dev libbenchmark-dev zlib1g-dev libdeflate-dev
  libcli11-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 clang-tools clang-format util-linux
  unzip zip p7zip-full libarchive-tools patch netbase
  pkgconf chromium
  dpkg-dev lintian
  "$@"
)
# The browser test runs playwright-core from npm on Node; Node installed by
# other means than Debian's packages is kept.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
