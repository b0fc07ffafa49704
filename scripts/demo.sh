#!/usr/bin/env bash
# Runs the main job: the server module in a simulated Remote Desktop session,
# joined to a client host that loads the real client add-in.
set -euo pipefail
. "$(dirname "$0")/env.sh"
echo "demo: the simulated Remote Desktop session is not built yet" >&2
exit 2
