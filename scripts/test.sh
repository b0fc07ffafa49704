#!/usr/bin/env bash
# Builds both bitnesses and runs every test under Wine, both trees' tests in
# one CTest run, so that the window tests of the two trees share the display's
# lock and the rest of them run side by side.
#   scripts/test.sh [ctest arguments...]   e.g. -R x86.Log
# Where this machine cannot run 32-bit programs the 32-bit tree is built and
# its tests are not run; the run says so at its end.
set -euo pipefail
. "$(dirname "$0")/env.sh"
"$QV_ROOT/scripts/setup.sh"
qv_build x64
qv_build x86
trap qv_down EXIT
qv_up

trees=(x64)
if qv_can_run32; then trees+=(x86); fi
{
  echo "# Both trees' tests in one run (scripts/test.sh writes this file)."
  for t in "${trees[@]}"; do echo "subdirs(\"$t\")"; done
} >"$BUILD/CTestTestfile.cmake"
qv_warm

# A program that a test starts and that outlives it is named here by the
# test runner (cmake/wine_test.sh); see the end of the run.
export QV_HELD_LOG=$BUILD/held-output.log
rm -f "$QV_HELD_LOG"
log=$BUILD/test-output.log
rc=0
if ! (cd "$BUILD" && ctest --output-on-failure --timeout 600 -j"${QV_TEST_JOBS:-3}" "$@") 2>&1 | tee "$log"; then
  rc=1
fi

echo
echo "== the 20 slowest tests"
# Every reader here reads to the end: under pipefail, one that stops early
# (head, grep -q) kills its writer with SIGPIPE and fails the whole run.
grep -E '^ *[0-9]+/[0-9]+ Test +#' "$log" | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec$/\2 \1/' |
  sort -rn | awk 'NR <= 20 { printf "  %7.1f s  %s\n", $1, $2 }'
if [ -s "$QV_HELD_LOG" ]; then
  echo "== programs that outlived their test (their output was kept away from CTest)"
  sed 's/^/  /' "$QV_HELD_LOG"
fi
if ! qv_can_run32; then
  echo "== NOT RUN: the x86 tree's tests (this machine cannot run 32-bit programs; the tree was built)"
fi
exit $rc
