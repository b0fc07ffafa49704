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
echo "== simulated sessions"
bash "$QV_ROOT/scripts/bench_sessions.sh"
echo "== logon storm"
bash "$QV_ROOT/scripts/bench_storm.sh"
