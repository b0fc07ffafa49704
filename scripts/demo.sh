#!/usr/bin/env bash
# The main job end to end in a simulated Remote Desktop session: builds what
# the demonstration needs, then runs it (scripts/demo_run.sh).
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64 qv_demo Quorvane_SV_sim Quorvane_Admin
qv_build x86 Quorvane_CL32_sim Quorvane_CL32_next qv_rdphost
exec bash "$QV_ROOT/scripts/demo_run.sh"
