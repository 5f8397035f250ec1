#!/usr/bin/env bash
# Installs with apt whatever this project needs and the machine lacks (Debian 12).
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config make git
  libsqlite3-dev libical-dev libicu-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  g++-mingw-w64-i686-win32
  g++-mingw-w64-i686-posix tcl dpkg-dev
  clang libclang-rt-14-dev
  python3 python3-olefile libgsf-bin libemail-outlook-message-perl libtext-vcard-perl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# SQLite and libical sources for the Windows build of the PIM server.
"$(dirname "$0")/../windows/third_party/fetch-sources.sh"
