#!/usr/bin/env bash
# The main job end to end in a simulated Remote Desktop session: builds what
# the demonstration needs (the target demo_build of each tree, demo/), then
# runs it (demo/demo_run.sh).
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64 demo_build
qv_build x86 demo_build
exec bash "$QV_ROOT/demo/demo_run.sh"
