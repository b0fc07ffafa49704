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
# Both add-in builds are signed by one throwaway certificate; between the
# connections a hostile server pushes a newer add-in signed by a look-alike
# certificate (same subject), which the PC refuses.
# Exit 0 only when the server's settings equal the PC's on both connections,
# each connection's import went the expected way, and the add-in update went
# through and the foreign-signed one did not; 4 when a build tree is missing.
set -uo pipefail
. "$(dirname "$0")/../scripts/env.sh"
X64=$BUILD/x64
# The PC's Remote Desktop client and its add-in: 32-bit, as most PCs that
# run the add-in have them, where this machine can run 32-bit programs;
# else the 64-bit pair, which 64-bit Windows starts by default.
if qv_can_run32; then PCB=$BUILD/x86; CL=Quorvane_CL32; else PCB=$X64; CL=Quorvane_CL64; fi
for f in "$X64/demo/qv_demo.exe" "$X64/server/Quorvane_SV_sim.exe" "$X64/admin/Quorvane_Admin_sim.exe" \
         "$X64/service/Quorvane_Svc_sim.exe" "$PCB/client/sim/$CL.dll" "$PCB/client/sim_next/$CL.dll" "$PCB/client/sim/qv_rdphost.exe"; do
  [ -f "$f" ] || { echo "demo: missing $f (demo_build in demo/CMakeLists.txt does not build it)"; exit 4; }
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
cp "$PCB/client/sim_next/$CL.dll" "$FILES/ts-bin/"          # the server's newer copy
cp "$PCB/client/sim/$CL.dll" "$PCB/client/sim/qv_rdphost.exe" "$FILES/pc-bin/"
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
if [ "$CL" = Quorvane_CL32 ]; then
  echo "  the PC's Remote Desktop client is 32-bit and loads $CL.dll"
else
  echo "  the PC's Remote Desktop client is 64-bit and loads $CL.dll (this machine cannot run 32-bit programs)"
fi
for p in "$PC" "$TS"; do
  WINEPREFIX=$p qv_prefix
  WINEPREFIX=$p wineserver -p
  WINEPREFIX=$p wineboot >/dev/null 2>&1 </dev/null
done

step "release signing: both add-in builds signed by one throwaway certificate"
mkdir -p "$FILES/certs"
for who in ours lookalike; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmora demo signing/O=Halvren KT" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$FILES/certs/$who.key" -out "$FILES/certs/$who.pem" 2>/dev/null
done
"$QV_ROOT/scripts/sign.sh" "$FILES/certs/ours.pem" "$FILES/certs/ours.key" "$FILES/pc-bin/$CL.dll" "$FILES/ts-bin/$CL.dll" |
  sed 's/^/  /'

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
    wine "$FILES/pc-bin/qv_rdphost.exe" "$(winpath "$FILES/pc-bin/$CL.dll")" "$1" \
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
echo "  add-in on the PC: version $(pc wine "$DEMOEXE" version "$(winpath "$FILES/pc-bin/$CL.dll")" | tr -d '\r'), the server's copy: $(ts wine "$DEMOEXE" version "$(winpath "$FILES/ts-bin/$CL.dll")" | tr -d '\r')"

step "user's PC: the Remote Desktop client connects and loads the add-in"
start_host "$port" 1
step "terminal server: the watch loop greets the client, offers the update, applies the printer"
ts wine "$DEMOEXE" ts-wait "$SIMINI" applied 90 || rc=1
sleep 1   # the last lines follow the device mode
show_lines 'new client|Initialize OK|on Client|on Server|download status|find new printer|SV=|Reg success|COMPLETE|no data|,255,E,|,service,|service not available|,admin tool,' 30
since_mark() {  # the server log's lines since the last mark
  local f; f=$(server_log)
  [ -n "$f" ] && tail -n +$((mark + 1)) "$f"
}
# The lines are taken whole before grep -q looks: under pipefail, grep -q
# stopping at its match could kill tail and read as "not there".
went() {  # pattern: the HKLM import of this connection went that way
  grep -q -E "$1" <<<"$(since_mark)"
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
bak=$FILES/pc-bin/$CL.bak
newver=$(pc wine "$DEMOEXE" version "$(winpath "$FILES/pc-bin/$CL.dll")" | tr -d '\r')
echo "  $CL.dll is now version $newver; the old file is kept as $CL.bak"
{ [ -f "$bak" ] && [ "$newver" = "$(ts wine "$DEMOEXE" version "$(winpath "$FILES/ts-bin/$CL.dll")" | tr -d '\r')" ]; } || { echo "  => update NOT swapped in"; rc=1; }

step "the user disconnects; the server module restarts itself at once"
mark_log
t_off=$(date +%s%N)
ts wine "$DEMOEXE" ts-disconnect "$SIMINI"
port2=$(ts wine "$DEMOEXE" ts-wait "$SIMINI" port "$port" 60 | tr -d '\r') || { echo "no restart"; rc=1; }
ms=$(( ($(date +%s%N) - t_off) / 1000000 ))
show_lines 'WTS_REMOTE_DISCONNECT|client disconnected|restart Server Module|previous instance' 5
echo "  new instance listening on port $port2, $((ms / 1000)).$((ms % 1000 / 100)) s after the disconnect (interval 300 s)"
ts wine "$DEMOEXE" ts-reconnect "$SIMINI"

step "a hostile terminal server pushes a newer add-in signed by a look-alike certificate (same subject)"
# The demonstration's newer add-in one revision further up, signed by the other key.
python3 - "$PCB/client/sim_next/$CL.dll" "$FILES/foreign.dll" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.index(b"\xbd\x04\xef\xfe", data.index("VS_VERSION_INFO".encode("utf-16-le")))
ls = struct.unpack_from("<I", data, at + 12)[0]
struct.pack_into("<I", data, at + 12, ls + 1)
open(sys.argv[2], "wb").write(data)
PY
# Stripped, as a release is: the transfer takes a third of the time.
[ "$CL" = Quorvane_CL32 ] && strip=i686-w64-mingw32-strip || strip=x86_64-w64-mingw32-strip
"$strip" "$FILES/foreign.dll"
"$QV_ROOT/scripts/sign.sh" "$FILES/certs/lookalike.pem" "$FILES/certs/lookalike.key" "$FILES/foreign.dll" >/dev/null
echo "  foreign.dll: version $(pc wine "$DEMOEXE" version "$(winpath "$FILES/foreign.dll")" | tr -d '\r'), subject \"$(openssl x509 -in "$FILES/certs/lookalike.pem" -noout -subject | sed 's/^subject=//')\""
find "$PC/drive_c/users" -name "Quorvane_CL(*)(hostile-ts).log" -delete 2>/dev/null   # an earlier run's
cp "$FILES/pc-bin/$CL.dll" "$FILES/before.dll"
cp "$FILES/pc-bin/$CL.bak" "$FILES/before.bak"
python3 "$QV_ROOT/demo/hostile_update.py" hostile-ts "$FILES/foreign.dll" env WINEPREFIX="$PC" \
  QV_SIM_PRINTERS='Software\Quorvane Demo\Printers' wine "$FILES/pc-bin/qv_rdphost.exe" \
  "$(winpath "$FILES/pc-bin/$CL.dll")" || { echo "  => the foreign-signed add-in was NOT refused"; rc=1; }
find "$PC/drive_c/users" -name "Quorvane_CL(*)(hostile-ts).log" -exec cat {} + 2>/dev/null | iconv -f CP932 -t UTF-8 |
  tr -d '\r' | grep -E ',CheckUpdateFile,.*(refused|WinVerifyTrust)' | cut -d, -f6- | sed 's/^/    /'
if cmp -s "$FILES/before.dll" "$FILES/pc-bin/$CL.dll" && cmp -s "$FILES/before.bak" "$FILES/pc-bin/$CL.bak"; then
  echo "  => refused: $CL.dll and its .bak are byte for byte as they were"
else
  echo "  => the add-in's files CHANGED"; rc=1
fi
rm -f "$FILES/before.dll" "$FILES/before.bak"

step "terminal server: the service stops; the administrator account is stored"
ts wine "$DEMOEXE" ts-service-stop || { echo "  the service was not running"; rc=1; }
ts wine "$DEMOEXE" ts-account || rc=1

step "the user connects again (the new add-in loads): greeted afresh"
mark_log
start_host "$port2" 2
greeted=0
for _ in $(seq 600); do
  went 'no more redirect printer' && { greeted=1; break; }
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
