#!/usr/bin/env bash
# Registers pimserver.dll with Wine's regsvr32 in a private prefix, from a folder
# whose name has a space and a single quote, runs pimserver_wine_test.exe
# against it, unregisters (twice) and checks the class keys are gone.
#
#   windows/pimserver/tests/run-wine-test.sh BIN_DIR
set -uo pipefail

bin="${1:?usage: run-wine-test.sh BIN_DIR (holding pimserver.dll and pimserver_wine_test.exe)}"
bin="$(cd "$bin" && pwd)"
for f in pimserver.dll pimserver_wine_test.exe zoneinfo; do
  [ -e "$bin/$f" ] || { echo "FAIL: $bin/$f is missing (build the pimserver_win and pimserver_wine_test targets)"; exit 1; }
done
if ! command -v wine >/dev/null || ! wine --version >/dev/null 2>&1; then
  echo "FAIL: Wine is missing or does not start (scripts/bootstrap.sh installs wine, wine32 and wine64)"
  exit 1
fi

export WINEPREFIX="${PIM_WINEPREFIX:-$bin/../wineprefix-pimserver}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run-wine-test: creating the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || { echo "FAIL: wineboot could not create $WINEPREFIX"; exit 1; }
fi

dir="$WINEPREFIX/drive_c/pim server's dll"
rm -rf "$dir" && mkdir -p "$dir"
cp -r "$bin/pimserver.dll" "$bin/zoneinfo" "$bin/pimserver_wine_test.exe" "$dir/"
windll="C:\\pim server's dll\\pimserver.dll"

clsids=("{0006F03A-0000-0000-C000-000000000046}" "{620D55B0-F2FB-464E-A278-B4308DB1DB2B}"
        "{4FD5C4D3-6C15-4EA0-9EB9-EEE8FC74A91B}" "{7ED1E9B1-CB57-4FA0-84E8-FAE653FE8E6B}")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

start=$(date +%s%N)
wine regsvr32 /s "$windll" || fail "regsvr32 $windll exited $?"
for c in "${clsids[@]}"; do
  out="$(wine reg query "HKCR\\CLSID\\$c\\InprocServer32" /ve 2>/dev/null | tr -d '\r')"
  grep -qF "pim server's dll\\pimserver.dll" <<<"$out" || fail "HKCR\\CLSID\\$c\\InprocServer32 does not name the DLL: $out"
  wine reg query "HKCR\\CLSID\\$c\\InprocServer32" /v ThreadingModel 2>/dev/null | grep -q Both ||
    fail "HKCR\\CLSID\\$c\\InprocServer32 has no ThreadingModel Both"
done
wine reg query "HKCR\\Outlook.Application\\CLSID" /ve 2>/dev/null | grep -q "{0006F03A-" || fail "ProgID Outlook.Application missing"

(cd "$dir" && TZ=Europe/Berlin wine pimserver_wine_test.exe) | tr -d '\r'
rc=${PIPESTATUS[0]}
[ "$rc" -eq 0 ] || fail "pimserver_wine_test.exe exited $rc"

wine regsvr32 /u /s "$windll" || fail "regsvr32 /u exited $?"
wine regsvr32 /u /s "$windll" || fail "a second regsvr32 /u exited $? (it should find nothing to do)"
for c in "${clsids[@]}"; do
  wine reg query "HKCR\\CLSID\\$c" >/dev/null 2>&1 && fail "HKCR\\CLSID\\$c is still there after unregistering"
done
wine reg query "HKCR\\Outlook.Application" >/dev/null 2>&1 && fail "HKCR\\Outlook.Application is still there"
echo "run-wine-test: $failures failure(s) in $(( ($(date +%s%N) - start) / 1000000 )) ms"
[ "$failures" -eq 0 ]
