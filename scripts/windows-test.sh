#!/usr/bin/env bash
# The Windows DLLs under Wine's COM runtime: registration with regsvr32 read back with `reg query`,
# bad input, and the test host end to end against the PIM server DLL.
# Usage: scripts/windows-test.sh [build-windows] [build]   (the Linux build prepares the store)
set -uo pipefail
root=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
wbuild=$(realpath -m "${1:-$root/build-windows}")
lbuild=$(realpath -m "${2:-$root/build}")
bin=$wbuild/bin
work=$wbuild/windows-test
started=$(date +%s)

failures=0
fail() {
  echo "windows-test: FAILED: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "windows-test: FAILED: $*" >&2
  exit 1
}
step() { echo "== $* ($(($(date +%s) - started)) s)"; }

# Wine must really run, or this test fails: it never passes by doing nothing.
for tool in wine wineboot wineserver; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool not found: Wine is missing (scripts/bootstrap.sh installs wine, wine32, wine64)"
done
for f in VYN_PIM_OUTLOOK.dll QLT_Vc6_dllRel.dll pim_winhost.exe qlt_wintest.exe; do
  [ -f "$bin/$f" ] || die "$bin/$f not built (make windows)"
done

export WINEPREFIX=$wbuild/wineprefix WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko install dialogs, and no display at all.
export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= WAYLAND_DISPLAY=
# A zone with a clock change inside the queried weeks; Wine takes its zone from TZ.
export TZ=Europe/Berlin
unset QLT_TRACE_FILE
# Debian's Python, which has the modules bootstrap installs (olefile), before any other on PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

mkdir -p "$WINEPREFIX"
# One server for all the steps below (already running is fine); it goes with this script.
wineserver -p 2>/dev/null || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "creating the Wine prefix $WINEPREFIX"
  wineboot -i >"$wbuild/wineboot.log" 2>&1 || die "wineboot -i failed (see $wbuild/wineboot.log)"
fi
wine cmd /c exit 0 >/dev/null 2>&1 || die "Wine cannot run a Windows program in $WINEPREFIX"

# Z: is the Unix root in every Wine prefix.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
regsvr() { wine regsvr32 /s "$@" >/dev/null 2>&1; }
# `reg query /s` without CRs and blank lines.
query() { wine reg query "$1" /s 2>/dev/null | tr -d '\r' | sed '/^[[:space:]]*$/d'; }
absent() {
  local key
  for key in "$@"; do
    if wine reg query "$key" >/dev/null 2>&1; then fail "$key is still in the registry"; fi
  done
}
present() {
  local key
  for key in "$@"; do
    wine reg query "$key" >/dev/null 2>&1 || fail "$key is missing from the registry"
  done
}

clsid='{9D9625A6-B9D2-418A-A628-F0D137E8B60D}'
libid='{4B628249-5DC2-473F-AEBF-CC494413275E}'
progid=VYN_PIM_OUTLOOK.OutlookPimAdapter
component_keys=("HKCR\\CLSID\\$clsid" "HKCR\\$progid" "HKCR\\$progid.1" "HKCR\\TypeLib\\$libid")
server_keys=('HKCR\CLSID\{0006F03A-0000-0000-C000-000000000046}' 'HKCR\CLSID\{620D55B0-F2FB-464E-A278-B4308DB1DB2B}'
  'HKCR\CLSID\{4FD5C4D3-6C15-4EA0-9EB9-EEE8FC74A91B}' 'HKCR\CLSID\{7ED1E9B1-CB57-4FA0-84E8-FAE653FE8E6B}')

# What the registry script writes, and only that.
expected_keys() {
  local module=$1
  cat <<EOF
HKEY_CLASSES_ROOT\\CLSID\\$clsid
    (Default)    REG_SZ    OutlookPimAdapter Class
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\InprocServer32
    (Default)    REG_SZ    $module
    ThreadingModel    REG_SZ    Free
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\ProgID
    (Default)    REG_SZ    $progid.1
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\TypeLib
    (Default)    REG_SZ    $libid
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\VersionIndependentProgID
    (Default)    REG_SZ    $progid
HKEY_CLASSES_ROOT\\$progid
    (Default)    REG_SZ    OutlookPimAdapter Class
HKEY_CLASSES_ROOT\\$progid\\CLSID
    (Default)    REG_SZ    $clsid
HKEY_CLASSES_ROOT\\$progid\\CurVer
    (Default)    REG_SZ    $progid.1
HKEY_CLASSES_ROOT\\$progid.1
    (Default)    REG_SZ    OutlookPimAdapter Class
HKEY_CLASSES_ROOT\\$progid.1\\CLSID
    (Default)    REG_SZ    $clsid
EOF
}
check_registration() {
  local module=$1 what=$2
  local got
  got=$({ query "HKCR\\CLSID\\$clsid"; query "HKCR\\$progid"; query "HKCR\\$progid.1"; })
  if [ "$got" != "$(expected_keys "$module")" ]; then
    fail "$what: the registry differs from the registration table"
    diff <(expected_keys "$module") <(printf '%s\n' "$got") >&2
  fi
  # The type library, registered from the DLL's own TYPELIB resource.
  got=$(query "HKCR\\TypeLib\\$libid\\1.0")
  case $got in
    *"VYN_PIM_OUTLOOK 1.0 Type Library"*"win32"*"REG_SZ    $module"*) ;;
    *) fail "$what: type library not registered from $module"; printf '%s\n' "$got" >&2 ;;
  esac
}

rm -rf "$work"
mkdir -p "$work"
# Nothing of an earlier run may stay registered.
regsvr /u "$(winpath "$bin/VYN_PIM_OUTLOOK.dll")"
[ -f "$bin/pimserver.dll" ] && regsvr /u "$(winpath "$bin/pimserver.dll")"

step "the runtime library's zone rules and trace file"
wine "$bin/qlt_wintest.exe" "$(winpath "$work/trace.log")" || fail "qlt_wintest"

step "registration from a folder whose path holds blanks and a single quote"
odd="$work/Program Files/O'Neil's adapter"
mkdir -p "$odd"
cp "$bin/VYN_PIM_OUTLOOK.dll" "$bin/QLT_Vc6_dllRel.dll" "$odd/"
odd_dll=$(winpath "$odd/VYN_PIM_OUTLOOK.dll")
regsvr "$odd_dll" || fail "regsvr32 $odd_dll exited with $?"
check_registration "$odd_dll" "registered from $odd_dll"
where=""
wine reg query "HKLM\\Software\\Classes\\CLSID\\$clsid" >/dev/null 2>&1 && where="HKLM\\Software\\Classes"
wine reg query "HKCU\\Software\\Classes\\CLSID\\$clsid" >/dev/null 2>&1 && where="$where HKCU\\Software\\Classes"
echo "   class key written under: ${where:-nowhere}"
[ -n "$where" ] || fail "the class key is under neither HKLM\\Software\\Classes nor HKCU\\Software\\Classes"
query "HKCR\\TypeLib\\$libid" | sed 's/^/   /'

step "registering twice leaves one set of keys"
regsvr "$odd_dll" || fail "second regsvr32 $odd_dll exited with $?"
check_registration "$odd_dll" "registered twice"

step "the component without the PIM server registered"
wine "$bin/pim_winhost.exe" noserver || fail "pim_winhost noserver"

step "unregistering, twice"
regsvr /u "$odd_dll" || fail "regsvr32 /u $odd_dll exited with $?"
absent "${component_keys[@]}"
present 'HKCR\CLSID'
regsvr /u "$odd_dll" || fail "a second regsvr32 /u $odd_dll exited with $? (unregistering never fails)"
absent "${component_keys[@]}"
wine "$bin/pim_winhost.exe" unregistered || fail "pim_winhost unregistered"

step "a DLL that does not exist"
if regsvr "$(winpath "$work/missing/VYN_PIM_OUTLOOK.dll")"; then
  fail "regsvr32 of a missing DLL reported success"
fi
absent "${component_keys[@]}"

step "a DLL without its runtime library beside it"
alone="$work/alone"
mkdir -p "$alone"
cp "$bin/VYN_PIM_OUTLOOK.dll" "$alone/"
if regsvr "$(winpath "$alone/VYN_PIM_OUTLOOK.dll")"; then
  fail "regsvr32 of a DLL whose QLT_Vc6_dllRel.dll is missing reported success"
fi
absent "${component_keys[@]}"

if [ ! -f "$root/windows/pimserver/CMakeLists.txt" ]; then
  echo "windows-test: NOTE: this tree has no Windows PIM server (windows/pimserver), so no end-to-end run" >&2
elif [ ! -f "$bin/pimserver.dll" ]; then
  fail "$bin/pimserver.dll not built (make windows)"
else
  step "end to end: the store"
  pimctl=$lbuild/bin/pimctl
  [ -x "$pimctl" ] || die "$pimctl not built: the Linux build prepares the test store (make build)"
  store=$work/store.db
  export PIM_STORE=$store
  "$pimctl" store init >/dev/null || die "pimctl store init"
  "$pimctl" store import "$root/windows/test/data/contacts.vcf" >/dev/null || die "pimctl store import contacts.vcf"
  "$pimctl" store import "$root/windows/test/data/weekly-sync.ics" >/dev/null || die "pimctl store import weekly-sync.ics"
  key=$("$python" -c 'import sqlite3, sys
c = sqlite3.connect(sys.argv[1])
print(c.execute("SELECT key FROM contacts WHERE first_name=? AND last_name=?", ("Erika", "Mustermann")).fetchone()[0])' "$store") ||
    die "cannot read the contact's record key from $store"
  export PIM_STORE=$(winpath "$store")

  step "end to end: registering both DLLs"
  regsvr "$(winpath "$bin/pimserver.dll")" || fail "regsvr32 pimserver.dll exited with $?"
  regsvr "$(winpath "$bin/VYN_PIM_OUTLOOK.dll")" || fail "regsvr32 VYN_PIM_OUTLOOK.dll exited with $?"
  present "${server_keys[@]}"
  check_registration "$(winpath "$bin/VYN_PIM_OUTLOOK.dll")" "registered from the build"

  # The host publishes the PIM application's class object for the component's local-server request.
  step "end to end: the test host (key $key)"
  out=$work/out
  mkdir -p "$out"
  # The component's trace goes to a file, to read when this fails.
  QLT_TRACE_MASK=1000 QLT_TRACE_FILE=$(winpath "$work/e2e-trace.log") \
    wine "$bin/pim_winhost.exe" e2e "$(winpath "$out")" "$key" || fail "pim_winhost e2e (the component's trace: $work/e2e-trace.log)"
  if [ -f "$out/erika.msg" ]; then
    "$python" -c 'import olefile, sys; sys.exit(0 if olefile.isOleFile(sys.argv[1]) else 1)' "$out/erika.msg" ||
      fail "erika.msg is no compound file olefile can read"
  fi

  step "end to end: unregistering both DLLs"
  regsvr /u "$(winpath "$bin/VYN_PIM_OUTLOOK.dll")" || fail "regsvr32 /u VYN_PIM_OUTLOOK.dll exited with $?"
  regsvr /u "$(winpath "$bin/pimserver.dll")" || fail "regsvr32 /u pimserver.dll exited with $?"
  absent "${component_keys[@]}" "${server_keys[@]}"
fi

# The PIM server's own test, in the same prefix. A hang (a Wine process that never ends, holding
# the output pipe) fails after a while instead of blocking, and nothing it started outlives it.
if [ -f "$bin/pimserver_wine_test.exe" ]; then
  step "the PIM server DLL on its own"
  limit=${PIM_WINE_TEST_TIMEOUT:-300}
  PIM_WINEPREFIX=$WINEPREFIX timeout -k 10 "$limit" "$root/windows/pimserver/tests/run-wine-test.sh" "$bin"
  rc=$?
  case $rc in
    0) ;;
    124 | 137) fail "windows/pimserver/tests/run-wine-test.sh did not finish within $limit s (a Wine process hung)" ;;
    *) fail "windows/pimserver/tests/run-wine-test.sh exited with $rc" ;;
  esac
  wineserver -k >/dev/null 2>&1 || true
elif [ -f "$bin/pimserver.dll" ]; then
  fail "$bin/pimserver_wine_test.exe not built (make windows)"
fi

step "done"
if [ "$failures" -ne 0 ]; then
  echo "windows-test: $failures failure(s)" >&2
  exit 1
fi
echo "windows-test: passed in $(($(date +%s) - started)) s"
