#!/usr/bin/env bash
# Leaves the release deliverables in dist/.
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64
qv_build x86
mkdir -p "$QV_ROOT/dist"
n=0
for f in "$BUILD/x64/server/Quorvane_SV.exe" "$BUILD/x64/admin/Quorvane_Admin.exe" "$BUILD/x86/client/Quorvane_CL32.dll"; do
  if [ -f "$f" ]; then cp "$f" "$QV_ROOT/dist/"; echo "dist: $(basename "$f")"; n=$((n+1)); fi
done
[ $n -gt 0 ] || { echo "dist: no deliverable is built yet" >&2; exit 1; }
