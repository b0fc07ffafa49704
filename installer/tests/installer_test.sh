#!/usr/bin/env bash
# Installs both packages silently in a scratch Wine prefix (64-bit Windows)
# over packages of an earlier version, checks what they left (files,
# registry, shortcut, autostart, add-in registration), starts the server
# module from its autostart entry at a new logon, lets the client host double
# load the add-in from its registered path, and uninstalls; then the client
# package alone on 32-bit Windows (a second prefix).
# Exit 4: the 32-bit tree is not built.
#   installer_test.sh SOURCE_ROOT X64_BUILD_TREE
set -euo pipefail
ROOT=$1 X64=$2
X86=$(dirname "$X64")/x86
bins=("$X64/server/Quorvane_SV.exe" "$X64/admin/Quorvane_Admin.exe" "$X64/service/Quorvane_Svc.exe"
      "$X64/client/Quorvane_CL64.dll" "$X86/client/Quorvane_CL32.dll")
[ -f "$X86/client/Quorvane_CL32.dll" ] || { echo "skip: the 32-bit tree is not built"; exit 4; }

WORK=$X64/installer_test
rm -rf "$WORK"
mkdir -p "$WORK/bin"
cp "${bins[@]}" "$WORK/bin/"
version=$(sed -n 's/^#define QV_VERSION_STRING "\(.*\)"/\1/p' "$ROOT/common/version.h")
"$ROOT/scripts/msi.sh" "$WORK/bin" "$WORK/new" >/dev/null 2>&1
"$ROOT/scripts/msi.sh" "$WORK/bin" "$WORK/old" 1.0.0.1 >/dev/null 2>&1

# A prefix of its own: installing must not change the one the other tests use.
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all
wineboot -i >/dev/null 2>&1
wineserver -w
# A persistent server, and its services started with their output away from
# any pipe: a service started inside $(...) would keep the pipe open.
serve() { wineserver -p; wineboot >/dev/null 2>&1 </dev/null || true; }
serve
trap 'wineserver -k 2>/dev/null || true' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { "$@" || fail "$*"; }   # a command that must succeed
unix() { winepath -u "$1" 2>/dev/null; }
winenv() { wine cmd /d /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
VIEW=/reg:64
regval() {  # key value: the data of a value in the native view, or nothing
  wine reg query "$1" /v "$2" $VIEW 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
msiexec() { wine msiexec "$@" >/dev/null 2>&1; }
product_installed() {  # msi: is its product registered (per machine, either view, or per user)
  local code key
  code=$(msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
  key="Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code"
  wine reg query "HKLM\\$key" /reg:64 >/dev/null 2>&1 || wine reg query "HKLM\\$key" /reg:32 >/dev/null 2>&1 ||
    wine reg query "HKCU\\$key" >/dev/null 2>&1
}

RUN='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
ADDIN='HKCU\Software\Microsoft\Terminal Server Client\Default\AddIns\Quorvex'
SERVER_DIR=$(unix 'C:\Program Files\Quorvane')
CLIENT_WIN="$(winenv LOCALAPPDATA)\\Programs\\Quorvane"
CLIENT_DIR=$(unix "$CLIENT_WIN")
SETTINGS=$(unix 'C:\ProgramData\Halvren KT\Quorvane\Quorvane.ini')

# An earlier version, and the administrator's settings written since.
check msiexec /i "$WORK/old/Quorvane_Server.msi" /qn
check msiexec /i "$WORK/old/Quorvane_Client.msi" /qn
mkdir -p "$(dirname "$SETTINGS")"
printf '[Server]\r\nInterval=45\r\nAdminUser=qvadmin\r\n' > "$SETTINGS"
cp "$SETTINGS" "$WORK/settings.ini"

# Major upgrade to this version.
check msiexec /i "$WORK/new/Quorvane_Server.msi" /qn
check msiexec /i "$WORK/new/Quorvane_Client.msi" /qn
product_installed "$WORK/old/Quorvane_Server.msi" && fail "the earlier server package is still installed"
product_installed "$WORK/old/Quorvane_Client.msi" && fail "the earlier client package is still installed"
check product_installed "$WORK/new/Quorvane_Server.msi"
check product_installed "$WORK/new/Quorvane_Client.msi"
check cmp -s "$SETTINGS" "$WORK/settings.ini"

# Server: the programs and the server's copies of both add-ins.
for f in Quorvane_SV.exe Quorvane_Admin.exe Quorvane_Svc.exe Quorvane_CL32.dll Quorvane_CL64.dll; do
  check cmp -s "$WORK/bin/$f" "$SERVER_DIR/$f"
done
# The service is installed, started, and answers on its pipe.
svc_state() { wine sc query Quorvane_Svc 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
for _ in $(seq 20); do [ "$(svc_state)" = RUNNING ] && break; sleep 0.5; done
[ "$(svc_state)" = RUNNING ] || fail "the service is not running: '$(svc_state)'"
# An ordinary process reaches its pipe; a few stray bytes are a malformed
# request, answered and logged as such in the service's own log folder.
wine cmd /d /c 'echo x>\\.\pipe\Quorvane_Svc' >/dev/null 2>&1 </dev/null || true
svclog=$(unix 'C:\ProgramData\Halvren KT\Quorvane\ServiceLog\Quorvane_Svc.log')
for _ in $(seq 20); do grep -q ',ServeRequest,.*status 269484032' "$svclog" 2>/dev/null && break; sleep 0.5; done
grep -q ',ServeRequest,.*status 269484032' "$svclog" 2>/dev/null || fail "the service did not serve its pipe"
autostart=$(regval "$RUN" Quorvane_SV)
[ "$autostart" = '"C:\Program Files\Quorvane\Quorvane_SV.exe"' ] || fail "autostart entry: '$autostart'"
shortcut=$(find "$(unix 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs')" \
                "$(unix "$(winenv APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs")" \
                -path '*/Velmora/Velmora Admin.lnk' 2>/dev/null | head -n 1)
if [ -z "$shortcut" ]; then
  fail "no Start menu entry for the administrator tool"
elif [[ $(tr -d '\0' < "$shortcut") != *'\Quorvane\Quorvane_Admin.exe'* ]]; then   # ANSI or UTF-16 text
  fail "the Start menu entry does not point at the administrator tool"
fi

# Client: the 64-bit add-in only (this is 64-bit Windows), registered by full path.
check cmp -s "$WORK/bin/Quorvane_CL64.dll" "$CLIENT_DIR/Quorvane_CL64.dll"
[ ! -e "$CLIENT_DIR/Quorvane_CL32.dll" ] || fail "the 32-bit add-in was installed on 64-bit Windows"
registered=$(regval "$ADDIN" Name)
[ "$registered" = "$CLIENT_WIN\\Quorvane_CL64.dll" ] || fail "add-in registration: '$registered'"

# A new logon session (wineboot runs the autostart entries) starts the
# server module; its log shows it. It is stopped again before the uninstall,
# which would otherwise find its file in use.
logdir=$(unix "$(winenv LOCALAPPDATA)\\Halvren KT\\Quorvane\\Log")
wineserver -k 2>/dev/null || true
serve
for _ in $(seq 60); do
  compgen -G "$logdir/Quorvane_SV*" >/dev/null && break
  sleep 0.5
done
compgen -G "$logdir/Quorvane_SV*" >/dev/null || fail "the server module did not start from its autostart entry"
# End the session, and the module with it; the next one starts without the
# autostart entries (no wineboot), its services away from any pipe.
wineserver -k 2>/dev/null || true
wineserver -p
wine cmd /d /c exit >/dev/null 2>&1 </dev/null

# The host double loads the add-in from the registered path; the add-in
# answers with its own name and version and, in a folder the user can
# write, with the right to update itself.
probe=$(python3 "$ROOT/installer/tests/addin_probe.py" wine "$X64/client/sim/qv_rdphost.exe" "$registered" 2>&1) ||
  fail "add-in probe: $probe"
[ "$probe" = "1 Quorvane_CL64.dll $version" ] || fail "add-in reply: '$probe'"

# Uninstall also takes what the self-update left beside the add-in. The
# per-user package is a 32-bit one, whose clean-up action runs the 32-bit
# cmd.exe: a machine that cannot run 32-bit programs cannot show it.
if (. "$ROOT/scripts/env.sh" && qv_can_run32); then
  printf x > "$CLIENT_DIR/Quorvane_CL64.bak"
  printf x > "$CLIENT_DIR/DLo1F2E.tmp"
else
  echo "NOT RUN: uninstall removing the self-update's leftovers (this machine cannot run 32-bit programs)"
fi
check msiexec /x "$WORK/new/Quorvane_Client.msi" /qn
check msiexec /x "$WORK/new/Quorvane_Server.msi" /qn
[ ! -e "$CLIENT_DIR" ] || fail "left in the client folder: $(ls -A "$CLIENT_DIR" | tr '\n' ' ')"
[ ! -e "$SERVER_DIR" ] || fail "left in the server folder: $(ls -A "$SERVER_DIR" | tr '\n' ' ')"
[ -z "$(regval "$RUN" Quorvane_SV)" ] || fail "autostart entry left"
[ -z "$(svc_state)" ] || fail "the service is still installed: '$(svc_state)'"
grep -q ',ServiceMain,,end,0' "$svclog" 2>/dev/null || fail "the service did not end cleanly at its stop"
[ -z "$(regval "$ADDIN" Name)" ] || fail "add-in registration left"
[ -z "$shortcut" ] || [ ! -e "$(dirname "$shortcut")" ] || fail "Start menu folder left"
[ -z "$(regval 'HKLM\Software\Halvren KT\Quorvane' MenuShortcut)" ] || fail "server key path value left"
[ -z "$(regval 'HKCU\Software\Halvren KT\Quorvane' ClientFolder)" ] || fail "client key path value left"
check cmp -s "$SETTINGS" "$WORK/settings.ini"

# 32-bit Windows: the client package installs and registers the 32-bit
# add-in, which the 32-bit host double loads; uninstalling takes it all.
wineserver -k 2>/dev/null || true
if ! (. "$ROOT/scripts/env.sh" && qv_can_run32); then
  echo "NOT RUN: the client package on 32-bit Windows (this machine cannot run 32-bit programs)"
else
export WINEPREFIX=$WORK/prefix32 WINEARCH=win32
wineboot -i >/dev/null 2>&1
wineserver -w
serve
VIEW=
CLIENT_WIN="$(winenv LOCALAPPDATA)\\Programs\\Quorvane"
CLIENT_DIR=$(unix "$CLIENT_WIN")
check msiexec /i "$WORK/new/Quorvane_Client.msi" /qn
check cmp -s "$WORK/bin/Quorvane_CL32.dll" "$CLIENT_DIR/Quorvane_CL32.dll"
[ ! -e "$CLIENT_DIR/Quorvane_CL64.dll" ] || fail "the 64-bit add-in was installed on 32-bit Windows"
registered=$(regval "$ADDIN" Name)
[ "$registered" = "$CLIENT_WIN\\Quorvane_CL32.dll" ] || fail "32-bit add-in registration: '$registered'"
probe=$(python3 "$ROOT/installer/tests/addin_probe.py" wine "$X86/client/sim/qv_rdphost.exe" "$registered" 2>&1) ||
  fail "32-bit add-in probe: $probe"
[ "$probe" = "1 Quorvane_CL32.dll $version" ] || fail "32-bit add-in reply: '$probe'"
check msiexec /x "$WORK/new/Quorvane_Client.msi" /qn
[ ! -e "$CLIENT_DIR" ] || fail "left in the 32-bit client folder: $(ls -A "$CLIENT_DIR" | tr '\n' ' ')"
[ -z "$(regval "$ADDIN" Name)" ] || fail "32-bit add-in registration left"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
# The prefixes take about 2 GB; they stay only when a check failed.
wineserver -k 2>/dev/null || true
rm -rf "$WORK"
echo "installer test passed"
