#!/usr/bin/env bash
# Builds both bitnesses and runs every benchmark program (bench_*.exe); each
# prints its own figures. Benchmarks are not tests: nothing here passes or fails.
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64
qv_build x86
trap qv_down EXIT
qv_up
found=0
for exe in $(find "$BUILD/x64" "$BUILD/x86" -name 'bench_*.exe' | sort); do
  echo "== $(basename "$(dirname "$(dirname "$exe")")")/$(basename "$exe") ($(basename "$(dirname "$exe")"))"
  wine "$exe"
  found=1
done
[ $found -eq 1 ] || echo "bench: no benchmark is built yet"
# The module before is built from its commit's files (server/tests/CMakeLists.txt);
# a tree without that history has today's figures alone.
[ -f "$BUILD/x64/server/tests/bench_watch_before.exe" ] ||
  echo "== bench_watch_before: not built (this tree has no history of the module before)"
echo "== simulated sessions"
bash "$QV_ROOT/scripts/bench_sessions.sh"
echo "== logon storm"
bash "$QV_ROOT/scripts/bench_storm.sh"
