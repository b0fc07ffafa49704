#!/usr/bin/env bash
# Runs the seeded mutation runs longer, or with another seed, under Wine's
# heap checking.
#   scripts/fuzz.sh [cases] [name-regex] [seed]
#   e.g. scripts/fuzz.sh 2000000 regops      (make fuzz CASES=2000000 RUN=regops)
# cases: cases per run (default 1,000,000); name-regex picks runs by their
# executable's name (regops, request, service, cipher, settings, rdp,
# client_fuzz, client_trust); seed replaces
# each run's own. Each run prints its time; a failure names its seed and case.
set -euo pipefail
. "$(dirname "$0")/env.sh"
cases=${1:-1000000}
pick=${2:-.}
seed=${3:-}
"$QV_ROOT/scripts/setup.sh"
qv_build x64
qv_build x86
trap qv_down EXIT
qv_up
export QV_FUZZ_CASES=$cases
[ -n "$seed" ] && export QV_FUZZ_SEED=$seed
export WINEDEBUG=warn+heap
rc=0
for exe in $(find "$BUILD/x64" "$BUILD/x86" \( -name '*_mutation_tests.exe' -o -name client_fuzz.exe \) | sort); do
  name=$(basename "$exe" .exe)
  echo "$exe" | grep -Eq -- "$pick" || continue
  case "$exe" in "$BUILD/x64/"*) arch=x64 ;; *) arch=x86 ;; esac
  if [ $arch = x86 ] && ! qv_can_run32; then
    echo "== NOT RUN: x86 $name (this machine cannot run 32-bit programs)"
    continue
  fi
  echo "== $arch $name, $cases cases${seed:+, seed $seed}"
  start=$(date +%s)
  (cd "$(dirname "$exe")" && wine "$exe") || rc=1
  echo "== $arch $name: $(( $(date +%s) - start )) s"
done
exit $rc
