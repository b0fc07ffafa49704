#!/usr/bin/env bash
# Builds both bitnesses and runs every test under Wine.
#   scripts/test.sh [ctest arguments...]   e.g. -R x86.Log -j2
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64
qv_build x86
trap qv_down EXIT
qv_up
rc=0
for arch in x64 x86; do
  echo "== tests, $arch"
  qv_warm
  qv_warm_tree "$arch"
  # A test that fails or times out is run once more, and counts as failed
  # only when it fails again: some Wine processes have been seen to hold a
  # test's output open after the test passed. Both outcomes stay in the log.
  (cd "$BUILD/$arch" && ctest --output-on-failure --timeout 600 -j2 --repeat until-pass:2 "$@") || rc=1
done
exit $rc
