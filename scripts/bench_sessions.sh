#!/usr/bin/env bash
# Twenty simulated sessions on one terminal server prefix, each its own
# server module process and its own Remote Desktop client on one PC prefix:
# the time until all twenty have applied one printer, and the server
# processes' total CPU while idle over one minute. Prints figures only.
#   scripts/bench_sessions.sh [sessions]      (after the trees are built)
set -uo pipefail
. "$(dirname "$0")/env.sh"
N=${1:-20}
X64=$BUILD/x64
# The PC's client and add-in: 32-bit where this machine runs 32-bit programs.
if qv_can_run32; then PCB=$BUILD/x86; CL=Quorvane_CL32.dll; else PCB=$X64; CL=Quorvane_CL64.dll; fi
DEMOEXE=$X64/demo/qv_demo.exe
for f in "$DEMOEXE" "$X64/server/Quorvane_SV_sim.exe" "$X64/admin/Quorvane_Admin_sim.exe" \
         "$PCB/client/sim/qv_rdphost.exe"; do
  [ -f "$f" ] || { echo "bench_sessions: missing $f"; exit 0; }
done
B=$BUILD/bench-sessions; PC=$B/pc; TS=$B/ts; FILES=$B/files
rm -rf "$FILES"; mkdir -p "$FILES/ts-bin" "$FILES/pc-bin"
# The tool's simulation build: its spooler double knows the simulated printers.
cp "$X64/server/Quorvane_SV_sim.exe" "$FILES/ts-bin/"
cp "$X64/admin/Quorvane_Admin_sim.exe" "$FILES/ts-bin/Quorvane_Admin.exe"
# The server's copy is the PC's own version: no update question in this run.
cp "$PCB/client/sim/$CL" "$FILES/ts-bin/"
cp "$PCB/client/sim/$CL" "$PCB/client/sim/qv_rdphost.exe" "$FILES/pc-bin/"
winpath() { echo "Z:${1//\//\\}"; }
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  WINEPREFIX=$PC wineserver -k 2>/dev/null; WINEPREFIX=$TS wineserver -k 2>/dev/null
  [ -n "${XPID:-}" ] && kill "$XPID" 2>/dev/null; true
}
trap cleanup EXIT
[ -n "${DISPLAY:-}" ] || { qv_display && XPID=$QV_XVFB_PID; }
for p in "$PC" "$TS"; do
  WINEPREFIX=$p qv_prefix; WINEPREFIX=$p wineserver -p 2>/dev/null; WINEPREFIX=$p wineboot >/dev/null 2>&1 </dev/null
done
WINEPREFIX=$PC wine "$DEMOEXE" pc-setup >/dev/null
for i in $(seq 1 "$N"); do
  s=$((100 + i))
  WINEPREFIX=$TS wine "$DEMOEXE" ts-setup "$(winpath "$FILES/s$s.ini")" $s >/dev/null
  WINEPREFIX=$TS env QVSIM="$(winpath "$FILES/s$s.ini")" QV_LOGON_DOUBLE_USER=qvdemo-admin \
    QV_LOGON_DOUBLE_SECRET=demo-secret wine "$FILES/ts-bin/Quorvane_SV_sim.exe" >/dev/null 2>&1 </dev/null &
  pids+=($!)
done
for i in $(seq 1 "$N"); do
  s=$((100 + i))
  for _ in $(seq 600); do grep -q '^PortInUse=' "$FILES/s$s.ini" 2>/dev/null && break; sleep 0.1; done
done
t0=$(date +%s%N)
for i in $(seq 1 "$N"); do
  s=$((100 + i)); port=$(grep '^PortInUse=' "$FILES/s$s.ini" | cut -d= -f2 | tr -d '\r')
  WINEPREFIX=$PC env QV_SIM_PRINTERS='Software\Quorvane Demo\Printers' wine "$FILES/pc-bin/qv_rdphost.exe" \
    "$(winpath "$FILES/pc-bin/$CL")" "$port" >/dev/null 2>&1 </dev/null &
  pids+=($!)
done
done_n=0
for _ in $(seq 1800); do
  done_n=$(grep -l '^\[Level9\]' "$FILES"/s*.ini 2>/dev/null | wc -l)
  [ "$done_n" -ge "$N" ] && break
  sleep 0.1
done
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
echo "$N sessions: $done_n applied one printer $((ms / 1000)).$((ms % 1000 / 100)) s after their clients were started (interval 300 s, notifications on)"
cpu() {  # total user+system clock ticks of the server module processes
  local t=0 p
  for p in $(pgrep -f Quorvane_SV_sim.exe); do
    t=$((t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$t"
}
c0=$(cpu); sleep 60; c1=$(cpu)
hz=$(getconf CLK_TCK)
echo "$N idle server modules over 60 s: $(( (c1 - c0) * 1000 / hz )) ms CPU in total ($(( (c1 - c0) * 1000 / hz / N )) ms each)"
for i in $(seq 1 "$N"); do
  WINEPREFIX=$TS wine "$DEMOEXE" ts-stop >/dev/null 2>&1
done

# One more session at a time: the time from a printer being redirected to its
# device mode being set, with notifications and with polling at the default
# interval, and the idle module's CPU either way.
notify_run() {  # session useNotify interval
  local s=$1 ini; ini="$(winpath "$FILES/n$1.ini")"
  # "late": the client redirects its printer after it has been greeted.
  WINEPREFIX=$TS wine "$DEMOEXE" ts-setup "$ini" "$s" late >/dev/null
  WINEPREFIX=$TS wine "$DEMOEXE" ts-common UseNotify "$2" >/dev/null
  WINEPREFIX=$TS wine "$DEMOEXE" ts-common Interval "$3" >/dev/null
  WINEPREFIX=$TS env QVSIM="$ini" QV_LOGON_DOUBLE_USER=qvdemo-admin QV_LOGON_DOUBLE_SECRET=demo-secret \
    wine "$FILES/ts-bin/Quorvane_SV_sim.exe" >/dev/null 2>&1 </dev/null &
  pids+=($!)
  for _ in $(seq 600); do grep -q '^PortInUse=' "$FILES/n$s.ini" 2>/dev/null && break; sleep 0.1; done
  local port; port=$(grep '^PortInUse=' "$FILES/n$s.ini" | cut -d= -f2 | tr -d '\r')
  WINEPREFIX=$PC env QV_SIM_PRINTERS='Software\Quorvane Demo\Printers' wine "$FILES/pc-bin/qv_rdphost.exe" \
    "$(winpath "$FILES/pc-bin/$CL")" "$port" >/dev/null 2>&1 </dev/null &
  pids+=($!)
  local log
  for _ in $(seq 600); do
    log=$(ls "$TS"/drive_c/users/*/AppData/Local/"Halvren KT"/Quorvane/Log/"Quorvane_SV(tsuser$s).log" 2>/dev/null | head -1)
    [ -n "$log" ] && grep -q 'no more redirect printer' "$log" && break; sleep 0.1
  done
  local c0 c1; c0=$(cpu); sleep 30; c1=$(cpu)
  local ms; ms=$(WINEPREFIX=$TS wine "$DEMOEXE" ts-redirect "$ini" 60 | grep -o '[0-9]* ms after' | cut -d' ' -f1)
  printf '  %-38s %8s ms %14s ms\n' "UseNotify=$2, interval $3 s" "${ms:-none}" "$(( (c1 - c0) * 1000 / $(getconf CLK_TCK) ))"
  WINEPREFIX=$TS wine "$DEMOEXE" ts-stop >/dev/null 2>&1
}
echo "printer redirected -> device mode set, and one idle module's CPU over 30 s:"
printf '  %-38s %11s %17s\n' "" "redirected->set" "idle CPU"
notify_run 201 1 30
notify_run 202 0 30
echo "  (a client redirects its printers just after it has been greeted, so polling waits for nearly a whole beat)"
