#!/usr/bin/env bash
# Runs the part of the main job that exists so far in a simulated Remote
# Desktop session: the server module's session queries and channel exchange
# (greeting, file version, printer properties) with the real client add-in,
# which the client host double loads in a process of its own.
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64 qv_demo
qv_build x86 Quorvane_CL32_sim qv_rdphost
trap qv_down EXIT
qv_up

echo "== simulated Remote Desktop session"
rc=0
wine "$BUILD/x64/server/qv_demo.exe" || rc=$?

# Both modules log under the local application data folder of the prefix.
show_log() {  # title, file name pattern
  local f
  f=$(ls -t "$WINEPREFIX"/drive_c/users/*/AppData/Local/"Halvren KT"/Quorvane/Log/$2 2>/dev/null | head -1 || true)
  echo "== $1: ${f:-no log file}"
  if [ -n "$f" ]; then tail -n 12 "$f" | iconv -f CP932 -t UTF-8 | tr -d '\r'; fi
}
show_log "server log" 'Quorvane_SV(*).log'
show_log "client log" 'Quorvane_CL(*)(TS-DEMO).log'

echo "=="
if [ $rc -eq 0 ]; then
  echo "demo: every exchange succeeded (exit 0)"
else
  echo "demo: FAILED (exit $rc)"
fi
echo "Not built yet: the watch loop (greeting each new client, update offer, listing"
echo "the redirected printers) and applying the fetched settings to the server's"
echo "printers; the settings above were fetched and shown, not applied."
exit $rc
