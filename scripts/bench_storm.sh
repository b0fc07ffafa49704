#!/usr/bin/env bash
# A logon storm as a busy terminal server sees it at nine in the morning:
# N simulated sessions (default 50), each its own server module, its own
# service (a simulated service cannot tell one pipe client's session from
# another's, so each session has one on a pipe of its own) and its own
# Remote Desktop client on one PC prefix (the 64-bit client host and
# add-in). Once every client is greeted, each session's client redirects 3
# printers at random moments within 30 s (the same moments for every run);
# the spooler tells every module of every session's printers. Printed for
# the module of this tree and the one before: printers applied, the time
# until the last one was, the CPU of all modules and of all services, and
# the passes each module ran. Figures only.
#   scripts/bench_storm.sh [sessions]      (after bench_storm_build is built)
set -uo pipefail
. "$(dirname "$0")/env.sh"
N=${1:-50}; PER=3; SPREAD=30
X64=$BUILD/x64; T=$X64/server/tests
DEMOEXE=$X64/demo/qv_demo.exe
for f in "$DEMOEXE" "$T/Quorvane_SV_storm.exe" "$T/Quorvane_Svc_storm.exe" "$X64/admin/Quorvane_Admin.exe" \
         "$X64/client/sim/Quorvane_CL64.dll" "$X64/client/sim/qv_rdphost.exe"; do
  [ -f "$f" ] || { echo "bench_storm: missing $f"; exit 0; }
done
B=$BUILD/bench-storm; PC=$B/pc; TS=$B/ts; FILES=$B/files
winpath() { echo "Z:${1//\//\\}"; }
pids=()
down() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  pids=()
  WINEPREFIX=$PC wineserver -k 2>/dev/null; WINEPREFIX=$TS wineserver -k 2>/dev/null; true
}
trap 'down; [ -n "${XPID:-}" ] && kill "$XPID" 2>/dev/null; true' EXIT
[ -n "${DISPLAY:-}" ] || { qv_display && XPID=$QV_XVFB_PID; }
hz=$(getconf CLK_TCK)
cpu() {  # total user+system clock ticks of the processes whose command line has $1
  local t=0 p
  for p in $(pgrep -f "$1"); do
    t=$((t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$t"
}
log_of() { ls "$TS"/drive_c/users/*/AppData/Local/"Halvren KT"/Quorvane/Log/"Quorvane_SV(tsuser$1).log" 2>/dev/null | head -1; }
passes() { local f; f=$(log_of "$1"); [ -n "$f" ] && grep -c 'LOOP BEGIN' "$f" || echo 0; }
applied() { cat "$FILES"/s*.ini 2>/dev/null | tr -d '\r' | grep -c '^Quorvane Demo Printer.*(redirected [0-9]*)='; }
# The moments, in ms from the first redirect: "ms session printer", sorted.
schedule=$(awk -v n="$N" -v per=$PER -v spread=$SPREAD 'BEGIN { srand(19); for (s = 1; s <= n; s++)
  for (k = 1; k <= per; k++) printf "%d %d %d\n", int(rand() * spread * 1000), 100 + s, k }' | sort -n)

storm() {  # label module-exe
  local label=$1 module=$2 s
  down
  rm -rf "$FILES"; mkdir -p "$FILES/ts-bin" "$FILES/pc-bin"
  cp "$module" "$FILES/ts-bin/Quorvane_SV_sim.exe"
  cp "$T/Quorvane_Svc_storm.exe" "$X64/admin/Quorvane_Admin.exe" "$X64/client/sim/Quorvane_CL64.dll" "$FILES/ts-bin/"
  cp "$X64/client/sim/Quorvane_CL64.dll" "$X64/client/sim/qv_rdphost.exe" "$FILES/pc-bin/"
  for p in "$PC" "$TS"; do
    WINEPREFIX=$p qv_prefix; WINEPREFIX=$p wineserver -p 2>/dev/null; WINEPREFIX=$p wineboot >/dev/null 2>&1 </dev/null
  done
  rm -f "$TS"/drive_c/users/*/AppData/Local/"Halvren KT"/Quorvane/Log/*.log
  WINEPREFIX=$PC wine "$DEMOEXE" pc-setup $PER >/dev/null
  for s in $(seq 101 $((100 + N))); do
    WINEPREFIX=$TS wine "$DEMOEXE" ts-setup "$(winpath "$FILES/s$s.ini")" $s late noaccount >/dev/null
  done
  # The spooler makes a printer's key when it adds the printer, and the
  # service writes only beneath a key that is there; ts-setup made the first
  # printer's. The others' now, in one import, so that making them costs the
  # storm's moments nothing: the modules act on the spooler's word alone.
  { echo REGEDIT4
    for s in $(seq 101 $((100 + N))); do
      for k in $(seq 2 $PER); do
        printf '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\%s]\n' \
          "Quorvane Demo Printer $k (redirected $s)"
      done
    done; } >"$FILES/keys.reg"
  WINEPREFIX=$TS wine regedit /S "$(winpath "$FILES/keys.reg")" >/dev/null 2>&1 </dev/null
  : >"$FILES/spooler.txt"
  for s in $(seq 101 $((100 + N))); do
    local env=(QVSIM="$(winpath "$FILES/s$s.ini")" QVSIM_PIPE="\\\\.\\pipe\\Quorvane_Svc_s$s")
    WINEPREFIX=$TS env "${env[@]}" wine "$FILES/ts-bin/Quorvane_Svc_storm.exe" >/dev/null 2>&1 </dev/null &
    pids+=($!)
    WINEPREFIX=$TS env "${env[@]}" QVSIM_SPOOLER="$(winpath "$FILES/spooler.txt")" \
      wine "$FILES/ts-bin/Quorvane_SV_sim.exe" >/dev/null 2>&1 </dev/null &
    pids+=($!)
  done
  for s in $(seq 101 $((100 + N))); do
    for _ in $(seq 1200); do grep -q '^PortInUse=' "$FILES/s$s.ini" 2>/dev/null && break; sleep 0.1; done
    local port; port=$(grep '^PortInUse=' "$FILES/s$s.ini" | cut -d= -f2 | tr -d '\r')
    WINEPREFIX=$PC env QV_SIM_PRINTERS='Software\Quorvane Demo\Printers' wine "$FILES/pc-bin/qv_rdphost.exe" \
      "$(winpath "$FILES/pc-bin/Quorvane_CL64.dll")" "$port" >/dev/null 2>&1 </dev/null &
    pids+=($!)
  done
  local greeted=0 f
  for _ in $(seq 1800); do
    greeted=0
    for s in $(seq 101 $((100 + N))); do
      f=$(log_of $s); [ -n "$f" ] && grep -q 'no more redirect printer' "$f" && greeted=$((greeted + 1))
    done
    [ $greeted -ge "$N" ] && break
    sleep 1
  done
  sleep 5   # the greetings' own passes are over
  declare -A before arrive
  for s in $(seq 101 $((100 + N))); do before[$s]=$(passes $s); done
  local m0 v0; m0=$(cpu Quorvane_SV_sim.exe); v0=$(cpu Quorvane_Svc_storm.exe)
  local t0; t0=$(date +%s%N)
  while read -r at s k; do
    local now=$(( ($(date +%s%N) - t0) / 1000000 ))
    [ "$at" -gt "$now" ] && sleep "$(awk -v d=$((at - now)) 'BEGIN { printf "%.3f", d / 1000 }')"
    local name="Quorvane Demo Printer$([ "$k" -gt 1 ] && echo " $k") (redirected $s)"
    arrive[$s]+="$name|Quorvane Demo Driver|0x8000|0x0301"$'\n'
    printf '%s' "${arrive[$s]}" >"$FILES/s$s.ini.arrive~" && mv -f "$FILES/s$s.ini.arrive~" "$FILES/s$s.ini.arrive"
    printf '%s\n' "$name" >>"$FILES/spooler.txt"
  done <<<"$schedule"
  local t_last; t_last=$(date +%s%N)
  local total=$((N * PER)) done_n=0 t_done=0
  for _ in $(seq 600); do
    done_n=$(applied)
    [ "$done_n" -ge $total ] && { t_done=$(date +%s%N); break; }
    sleep 0.2
  done
  [ "$t_done" -eq 0 ] && t_done=$(date +%s%N)
  local m1 v1; m1=$(cpu Quorvane_SV_sim.exe); v1=$(cpu Quorvane_Svc_storm.exe)
  local list=() sum=0 n
  for s in $(seq 101 $((100 + N))); do n=$(( $(passes $s) - before[$s] )); list+=($n); sum=$((sum + n)); done
  local sorted; sorted=$(printf '%s\n' "${list[@]}" | sort -n)
  local ms=$(( (t_done - t0) / 1000000 )) after=$(( (t_done - t_last) / 1000000 ))
  printf '  %-7s applied %3d of %3d; last one %5.1f s after the first redirect (%4.1f s after the last);' \
    "$label" "$done_n" "$total" "$(awk -v m=$ms 'BEGIN { print m / 1000 }')" "$(awk -v m=$after 'BEGIN { print m / 1000 }')"
  printf ' CPU: modules %6d ms, services %6d ms; passes per module: min %s, median %s, max %s (%d in all)\n' \
    $(( (m1 - m0) * 1000 / hz )) $(( (v1 - v0) * 1000 / hz )) "$(echo "$sorted" | head -1)" \
    "$(echo "$sorted" | sed -n "$(( (N + 1) / 2 ))p")" "$(echo "$sorted" | tail -1)" "$sum"
  down
}

echo "logon storm: $N sessions, each redirecting $PER printers within $SPREAD s, each with the service (interval 300 s):"
storm now "$T/Quorvane_SV_storm.exe"
if [ -f "$T/Quorvane_SV_storm_before.exe" ]; then
  storm before "$T/Quorvane_SV_storm_before.exe"
else
  echo "  before  not built (this tree has no history of the module before)"
fi
true
