#!/usr/bin/env bash
# Runs the main job in a simulated Remote Desktop session made of two Wine
# prefixes that share nothing but a loopback link:
#   PC  ($BUILD/demo/pc): the client host double loads the real add-in; a
#       local printer with driver-private bytes in its device mode and its
#       driver's data under HKLM and HKCU;
#   TS  ($BUILD/demo/ts): the server module's simulation build runs its real
#       watch loop with a redirected printer of a target driver. The
#       interval is 300 s: every pass here is started by a session or printer
#       notification. Its HKLM import runs through the service's simulation
#       build with no administrator account stored on the first connection,
#       and through the real administrator tool under the stored account on
#       the second, once the service has been stopped.
# Exit 0 only when the server's settings equal the PC's on both connections,
# each connection's import went the expected way, and the add-in update went
# through; 4 when a build tree is missing.
set -uo pipefail
. "$(dirname "$0")/../scripts/env.sh"
X64=$BUILD/x64; X86=$BUILD/x86
for f in "$X64/demo/qv_demo.exe" "$X64/server/Quorvane_SV_sim.exe" "$X64/admin/Quorvane_Admin_sim.exe" \
         "$X64/service/Quorvane_Svc_sim.exe" "$X86/client/sim/Quorvane_CL32.dll" "$X86/client/sim_next/Quorvane_CL32.dll" "$X86/client/sim/qv_rdphost.exe"; do
  [ -f "$f" ] || { echo "demo: missing $f (build both trees first: make demo)"; exit 4; }
done

DEMO=$BUILD/demo
PC=$DEMO/pc; TS=$DEMO/ts
winpath() { echo "Z:${1//\//\\}"; }
rm -rf "$DEMO/files"
mkdir -p "$DEMO/files/ts-bin" "$DEMO/files/pc-bin"
FILES=$DEMO/files
cp "$X64/server/Quorvane_SV_sim.exe" "$X64/service/Quorvane_Svc_sim.exe" "$FILES/ts-bin/"
# The tool's simulation build: its worker sees the simulated session's printers.
cp "$X64/admin/Quorvane_Admin_sim.exe" "$FILES/ts-bin/Quorvane_Admin.exe"
cp "$X86/client/sim_next/Quorvane_CL32.dll" "$FILES/ts-bin/"          # the server's newer copy
cp "$X86/client/sim/Quorvane_CL32.dll" "$X86/client/sim/qv_rdphost.exe" "$FILES/pc-bin/"
SIMINI=$(winpath "$FILES/sim.ini")
DEMOEXE=$X64/demo/qv_demo.exe

pc() { WINEPREFIX=$PC "$@"; }
ts() { WINEPREFIX=$TS "$@"; }
started=()
cleanup() {
  for p in "${started[@]}"; do kill "$p" 2>/dev/null; done
  ts wine "$DEMOEXE" ts-stop >/dev/null 2>&1
  ts wine "$DEMOEXE" ts-service-stop >/dev/null 2>&1
  pc wine "$DEMOEXE" pc-remove >/dev/null 2>&1
  WINEPREFIX=$PC wineserver -k 2>/dev/null; WINEPREFIX=$TS wineserver -k 2>/dev/null
  [ -n "${DEMO_XVFB:-}" ] && kill "$DEMO_XVFB" 2>/dev/null
  true
}
trap cleanup EXIT

t0=$(date +%s%N)
elapsed() { local ms=$(( ($(date +%s%N) - t0) / 1000000 )); printf '%3d.%d s' $((ms / 1000)) $((ms % 1000 / 100)); }
step() { echo; echo "[$(elapsed)] == $*"; }

if [ -z "${DISPLAY:-}" ]; then
  qv_display && DEMO_XVFB=$QV_XVFB_PID
fi
step "two Wine prefixes: the user's PC and the terminal server"
for p in "$PC" "$TS"; do
  WINEPREFIX=$p qv_prefix
  WINEPREFIX=$p wineserver -p
  WINEPREFIX=$p wineboot >/dev/null 2>&1 </dev/null
done

step "user's PC: a local printer with its own settings"
pc wine "$DEMOEXE" pc-setup || exit 1
step "terminal server: settings and the simulated session"
ts wine "$DEMOEXE" ts-setup "$SIMINI" 2 noaccount || exit 1

start_server() {
  ts env QVSIM="$SIMINI" QV_LOGON_DOUBLE_USER=qvdemo-admin QV_LOGON_DOUBLE_SECRET=demo-secret \
    wine "$FILES/ts-bin/Quorvane_SV_sim.exe" >/dev/null 2>&1 </dev/null &
  started+=($!)
}
start_service() {
  ts env QVSIM="$SIMINI" wine "$FILES/ts-bin/Quorvane_Svc_sim.exe" >/dev/null 2>&1 </dev/null &
  started+=($!)
}
start_host() {
  pc env QV_SIM_PRINTERS='Software\Quorvane Demo\Printers' \
    wine "$FILES/pc-bin/qv_rdphost.exe" "$(winpath "$FILES/pc-bin/Quorvane_CL32.dll")" "$1" \
    >"$FILES/host$2.log" 2>&1 </dev/null &
  started+=($!)
}
server_log() {
  ls -t "$TS"/drive_c/users/*/AppData/Local/"Halvren KT"/Quorvane/Log/'Quorvane_SV(tsuser).log' 2>/dev/null | head -1
}
mark=0
mark_log() { local f; f=$(server_log); mark=$([ -n "$f" ] && wc -l <"$f" || echo 0); }
show_lines() {  # pattern: the server log's lines of interest since the last mark
  local f; f=$(server_log)
  [ -n "$f" ] && tail -n +$((mark + 1)) "$f" | iconv -f CP932 -t UTF-8 | tr -d '\r' | grep -E "$1" |
    grep -v ERROR_IO_INCOMPLETE | cut -d, -f6- | sed 's/^/    /' | tail -n "${2:-20}"
}

rc=0
step "terminal server: the service that writes printers' driver data starts"
start_service
echo "  (no administrator account is stored)"
step "terminal server: the server module starts in the user's session"
mark_log
start_server
port=$(ts wine "$DEMOEXE" ts-wait "$SIMINI" port none 60 | tr -d '\r') || { echo "server did not start"; exit 1; }
echo "  server module listening for the Remote Desktop client on port $port"
echo "  add-in on the PC: version $(pc wine "$DEMOEXE" version "$(winpath "$FILES/pc-bin/Quorvane_CL32.dll")" | tr -d '\r'), the server's copy: $(ts wine "$DEMOEXE" version "$(winpath "$FILES/ts-bin/Quorvane_CL32.dll")" | tr -d '\r')"

step "user's PC: the Remote Desktop client connects and loads the add-in"
start_host "$port" 1
step "terminal server: the watch loop greets the client, offers the update, applies the printer"
ts wine "$DEMOEXE" ts-wait "$SIMINI" applied 90 || rc=1
sleep 1   # the last lines follow the device mode
show_lines 'new client|Initialize OK|on Client|on Server|download status|find new printer|SV=|Reg success|COMPLETE|no data|,255,E,|,service,|service not available|,admin tool,' 30
went() {  # pattern: the HKLM import of this connection went that way
  local f; f=$(server_log)
  [ -n "$f" ] && tail -n +$((mark + 1)) "$f" | grep -q -E "$1"
}
went ',service,status 0' && ! went ',admin tool,' || { echo "  => the HKLM import did NOT go through the service"; rc=1; }

step "the printer's settings, PC beside server"
pc wine "$DEMOEXE" pc-dump | tr -d '\r' >"$FILES/pc.txt"
ts wine "$DEMOEXE" ts-dump "$SIMINI" | tr -d '\r' >"$FILES/ts.txt"
pr -m -t -w 150 "$FILES/pc.txt" "$FILES/ts.txt" | cut -c1-150
if cmp -s "$FILES/pc.txt" "$FILES/ts.txt" && [ -s "$FILES/pc.txt" ]; then
  echo "  => EQUAL: device mode and both registry trees on the server are the PC's"
else
  echo "  => DIFFERENT:"; diff "$FILES/pc.txt" "$FILES/ts.txt" | head -20; rc=1
fi

step "user's PC: the add-in file after the update"
ls "$FILES/pc-bin" | sed 's/^/    /'
bak=$FILES/pc-bin/Quorvane_CL32.bak
newver=$(pc wine "$DEMOEXE" version "$(winpath "$FILES/pc-bin/Quorvane_CL32.dll")" | tr -d '\r')
echo "  Quorvane_CL32.dll is now version $newver; the old file is kept as Quorvane_CL32.bak"
{ [ -f "$bak" ] && [ "$newver" = 1.2.0.6 ]; } || { echo "  => update NOT swapped in"; rc=1; }

step "the user disconnects; the server module restarts itself at once"
mark_log
t_off=$(date +%s%N)
ts wine "$DEMOEXE" ts-disconnect "$SIMINI"
port2=$(ts wine "$DEMOEXE" ts-wait "$SIMINI" port "$port" 60 | tr -d '\r') || { echo "no restart"; rc=1; }
ms=$(( ($(date +%s%N) - t_off) / 1000000 ))
show_lines 'WTS_REMOTE_DISCONNECT|client disconnected|restart Server Module|previous instance' 5
echo "  new instance listening on port $port2, $((ms / 1000)).$((ms % 1000 / 100)) s after the disconnect (interval 300 s)"
ts wine "$DEMOEXE" ts-reconnect "$SIMINI"

step "terminal server: the service stops; the administrator account is stored"
ts wine "$DEMOEXE" ts-service-stop || { echo "  the service was not running"; rc=1; }
ts wine "$DEMOEXE" ts-account || rc=1

step "the user connects again (the new add-in loads): greeted afresh"
mark_log
start_host "$port2" 2
greeted=0
for _ in $(seq 600); do
  f=$(server_log)
  [ -n "$f" ] && tail -n +$((mark + 1)) "$f" | grep -q 'no more redirect printer' && { greeted=1; break; }
  sleep 0.1
done
[ $greeted -eq 1 ] || { echo "  => no greeting"; rc=1; }
show_lines 'WTS_REMOTE_CONNECT|new client|Initialize OK|ClientVer is equal|no more redirect' 6
step "a moment later the client redirects its printer: settings applied within a second"
ts wine "$DEMOEXE" ts-redirect "$SIMINI" 10 || rc=1
sleep 1
show_lines 'printer change|find new printer|COMPLETE|service not available|,admin tool,' 8
went ',admin tool,status 0' && ! went ',service,status' || { echo "  => the HKLM import did NOT fall back to the administrator tool"; rc=1; }
ts wine "$DEMOEXE" ts-dump "$SIMINI" | tr -d '\r' >"$FILES/ts2.txt"
cmp -s "$FILES/pc.txt" "$FILES/ts2.txt" && echo "  => EQUAL again" || { echo "  => DIFFERENT on the second connection"; rc=1; }

step "end"
ts wine "$DEMOEXE" ts-stop >/dev/null 2>&1 || true
if [ $rc -eq 0 ]; then
  echo "demo: the local printer's settings arrived on the server, on both connections (exit 0)"
else
  echo "demo: FAILED (exit $rc); the server log is $(server_log)"
fi
exit $rc
