#!/usr/bin/env bash
# Installs the per-machine client package silently in a scratch Wine prefix
# (64-bit Windows), checks the add-in in Program Files, the policy value
# that turns updates off and the Active Setup entry; runs the entry's
# command as a logon would and checks the user's registration; lets the
# client host double load the add-in from there (it answers "cannot
# update"); uninstalls and checks that no new user would be registered.
# Exit 4: the 32-bit tree is not built (the packages carry both add-ins).
#   machine_installer_test.sh SOURCE_ROOT X64_BUILD_TREE
set -euo pipefail
ROOT=$1 X64=$2
X86=$(dirname "$X64")/x86
[ -f "$X86/client/Quorvane_CL32.dll" ] || { echo "skip: the 32-bit tree is not built"; exit 4; }

WORK=$X64/machine_installer_test
rm -rf "$WORK"
mkdir -p "$WORK/bin"
cp "$X64/server/Quorvane_SV.exe" "$X64/admin/Quorvane_Admin.exe" "$X64/service/Quorvane_Svc.exe" \
   "$X64/client/Quorvane_CL64.dll" "$X86/client/Quorvane_CL32.dll" "$WORK/bin/"
version=$(sed -n 's/^#define QV_VERSION_STRING "\(.*\)"/\1/p' "$ROOT/common/version.h")
"$ROOT/scripts/msi.sh" "$WORK/bin" "$WORK/msi" >/dev/null 2>&1
MSI=$WORK/msi/Quorvane_ClientMachine64.msi

export WINEPREFIX=$WORK/prefix WINEDEBUG=-all
wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p
wineboot >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
unix() { winepath -u "$1" 2>/dev/null; }
regval() {  # key value: the data of a value in the 64-bit view, or nothing
  wine reg query "$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

ADDIN='HKCU\Software\Microsoft\Terminal Server Client\Default\AddIns\Quorvex'
POLICY='HKLM\SOFTWARE\Policies\Halvren KT\Quorvane\Client'
SETUP='HKLM\SOFTWARE\Microsoft\Active Setup\Installed Components\{5B0E6C1A-2F47-4D8B-A3E9-7C4D1F2B6A64}'
DIR_WIN='C:\Program Files\Quorvane'
DIR=$(unix "$DIR_WIN")

wine msiexec /i "$MSI" /qn >/dev/null 2>&1 || fail "install"
cmp -s "$WORK/bin/Quorvane_CL64.dll" "$DIR/Quorvane_CL64.dll" || fail "the 64-bit add-in is not in Program Files"
[ ! -e "$DIR/Quorvane_CL32.dll" ] || fail "the 32-bit add-in was installed"
[ "$(regval "$POLICY" DisableUpdate)" = 0x1 ] || fail "policy value: '$(regval "$POLICY" DisableUpdate)'"
[ "$(regval "$SETUP" Version)" = "${version//./,}" ] || fail "Active Setup version: '$(regval "$SETUP" Version)'"
[ -z "$(regval "$ADDIN" Name)" ] || fail "the installing user was registered by the package itself"

# At logon, Active Setup runs StubPath once for the user, as a process
# started with that command line (split here as the program's arguments).
stub=$(regval "$SETUP" StubPath)
[ -n "$stub" ] || fail "no StubPath"
eval "set -- $stub"
wine "$@" >/dev/null 2>&1 </dev/null || fail "StubPath failed: $stub"
registered=$(regval "$ADDIN" Name)
[ "$registered" = "$DIR_WIN\\Quorvane_CL64.dll" ] || fail "registration after logon: '$registered'"

# The add-in in Program Files answers with its name and version, and that it cannot update.
probe=$(python3 "$ROOT/installer/tests/addin_probe.py" wine "$X64/client/sim/qv_rdphost.exe" "$registered" 2>&1) ||
  fail "add-in probe: $probe"
[ "$probe" = "0 Quorvane_CL64.dll $version" ] || fail "add-in reply: '$probe'"

wine msiexec /x "$MSI" /qn >/dev/null 2>&1 || fail "uninstall"
[ ! -e "$DIR" ] || fail "left in Program Files: $(ls -A "$DIR" | tr '\n' ' ')"
[ -z "$(regval "$POLICY" DisableUpdate)" ] || fail "policy value left"
[ -z "$(regval "$SETUP" StubPath)" ] || fail "Active Setup entry left: users would still be registered"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
wineserver -k
rm -rf "$WORK"
echo "machine installer test passed"
