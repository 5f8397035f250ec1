#!/usr/bin/env bash
# Downloads the Debian source packages of SQLite and libical into a cache folder,
# for the Windows build to cross-compile. Only Debian's own archive is used: the
# source entry is derived from the machine's binary entry.
#
#   windows/third_party/fetch-sources.sh [CACHE_DIR]   (default: windows/third_party/cache)
#
# Prints nothing and exits 0 when the cache already holds checked sources.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
cache="${1:-$here/cache}"
packages=(sqlite3 libical3)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

have_all() {
  [ -f "$cache/.checked" ] || return 1
  local p
  ls "$cache"/sqlite3_*.orig.tar.* "$cache"/libical3_*.orig.tar.* >/dev/null 2>&1
}

if have_all; then exit 0; fi
mkdir -p "$cache"

# A deb-src twin of every binary entry, unless the machine already has one.
src_list=/etc/apt/sources.list.d/pim-windows-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  main=/etc/apt/sources.list.d/debian.sources
  if [ ! -f "$main" ]; then
    echo "fetch-sources: $main is missing; add a deb-src entry for Debian by hand" >&2
    exit 1
  fi
  sed 's/^Types:.*/Types: deb-src/' "$main" | $sudo tee "$src_list" >/dev/null
  $sudo apt-get update -qq
fi

if ! command -v dpkg-source >/dev/null; then
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev
fi

cd "$cache"
# apt's sandbox user must be able to write here when we run as root.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$cache" 2>/dev/null || true; fi
# Only the upstream tarballs are built; a missing Debian patch tarball is no loss.
for p in "${packages[@]}"; do
  apt-get source --download-only -qq "$p" 2>/dev/null || true
done

# apt checked the signed index against each .dsc; the .dsc gives each tarball's SHA-256.
for dsc in sqlite3_*.dsc libical3_*.dsc; do
  [ -f "$dsc" ] || { echo "fetch-sources: no $dsc in $cache (is Debian's source archive reachable?)" >&2; exit 1; }
  awk '/^Checksums-Sha256:/{on=1; next} /^[^ ]/{on=0} on && NF==3 && $3 ~ /orig\.tar/ && $3 !~ /orig-www/ {print $1 "  " $3}' "$dsc" \
    | sha256sum -c --quiet - || { echo "fetch-sources: checksum mismatch for $dsc" >&2; exit 1; }
done
touch .checked
echo "fetch-sources: $(ls "$cache"/*.dsc | xargs -n1 basename | tr '\n' ' ')in $cache"
