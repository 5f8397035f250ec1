#!/bin/sh
# Compiles the component's Windows sources (module/, PIM/src/, and the contract and host headers)
# for 32-bit Windows against the real MinGW-w64 headers. Compile only: no link.
# Usage: scripts/check-windows-build.sh [compiler]   (default i686-w64-mingw32-g++-win32)
set -u
root=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
cxx=${1:-i686-w64-mingw32-g++-win32}
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "check-windows-build: $cxx not found (Debian package g++-mingw-w64-i686-win32)" >&2
  exit 2
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

# A host's view: the contract alone, and every host/ header.
{
  echo '#include <VYN_PIM_OUTLOOK.h>'
  for h in "$root"/host/*.h; do echo "#include <$(basename "$h")>"; done
  echo 'int main() { return IsEqualGUID(CLSID_COutlookPimAdapter, IID_IPimAdapter) ? 1 : 0; }'
} >"$tmp/headers.cpp"

failed=0
count=0
for src in "$tmp/headers.cpp" "$root"/module/*.cpp "$root"/PIM/src/*.cpp; do
  [ -f "$src" ] || continue
  count=$((count + 1))
  if ! "$cxx" -std=c++20 -Wall -Wextra -Werror -c -o "$tmp/out.o" \
      -I"$root/interfaces" -I"$root/host" -I"$root/module" -I"$root/common" -I"$root/PIM/src" \
      "$src"; then
    echo "check-windows-build: FAILED ${src#"$root"/}" >&2
    failed=$((failed + 1))
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "check-windows-build: $failed of $count translation units failed" >&2
  exit 1
fi
echo "check-windows-build: $count translation units compile for 32-bit Windows"
