#!/usr/bin/env bash
# Installs with apt whatever this project needs and the machine lacks (Debian 12).
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config make git
  libsqlite3-dev libical-dev libicu-dev
  libcurl4-openssl-dev libxml2-dev radicale
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  g++-mingw-w64-i686-win32
  g++-mingw-w64-i686-posix tcl dpkg-dev
  clang libclang-rt-14-dev
  python3 python3-olefile libgsf-bin libemail-outlook-message-perl libtext-vcard-perl
  khal time
  # bench/callgrind-period.sh counts instructions per query with it
  valgrind
  # the zone files local time is read from (tests/zones compares with the C library over all of them)
  tzdata
  # msgconvert cannot start without it, yet its package only recommends it
  libemail-address-perl
  # The Windows build (widl, and the .idl files and standard type libraries it imports) and Wine to run it.
  mingw-w64-tools binutils-mingw-w64-i686 libwine-dev wine wine32 wine64
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
  # wine32 comes from the i386 architecture; added once, only when it is not there yet.
  if [ "$(dpkg --print-architecture)" != i386 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "bootstrap: adding the i386 architecture for wine32"
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# SQLite and libical sources for the Windows build of the PIM server.
"$(dirname "$0")/../windows/third_party/fetch-sources.sh" ||
  echo "bootstrap: SQLite and libical sources not fetched; the Windows build of the PIM server cannot be configured" >&2
