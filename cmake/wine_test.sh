#!/usr/bin/env bash
# CTest's way to run a test program: under Wine, with the program's output in
# files of its own, passed on to CTest until the program has ended.
#
# CTest reads a test's output from a pipe and counts the test as ended only
# when every writer has closed it. Anything the test starts that outlives it
# (a server module left to its own timer, a restarted copy, a service that
# Wine starts on demand for the first caller) would otherwise keep the pipe
# open, and a test that passed would wait for CTest's time-out. Such a holder
# is named in $QV_HELD_LOG, which scripts/test.sh prints at the end.
out=$(mktemp "${TMPDIR:-/tmp}/qvtest.XXXXXX") || exit 1
err=$out.err
# The output is passed on while the program runs, so that a test that
# CTest stops at its time-out still shows how far it came.
: >"$err"
wine "$@" >"$out" 2>"$err" </dev/null &
wpid=$!
tail -q -s 0.05 --pid=$wpid -n +1 -f "$out" &
opid=$!
tail -q -s 0.05 --pid=$wpid -n +1 -f "$err" >&2 &
epid=$!
wait $wpid
rc=$?
wait $opid $epid
# A program that dies early loses what its C runtime still buffered, so that
# CTest would show a failure without a word: its exit code at least is told.
if [ $rc -ne 0 ]; then
  echo "wine_test.sh: ${1##*/} ended with exit code $rc after printing $(wc -c <"$out") bytes" >&2
fi
# The wineserver and the prefix's services hold every output file they were
# shown; only what started after this script counts as the test's.
started() { awk '{ print $22 }' "/proc/$1/stat" 2>/dev/null; }
if [ -n "${QV_HELD_LOG:-}" ]; then
  self=$(started $$)
  find /proc/[0-9]*/fd -maxdepth 1 \( -lname "$out" -o -lname "$err" \) 2>/dev/null | cut -d/ -f3 | sort -u |
  while read -r pid; do
    t=$(started "$pid")
    [ -n "$t" ] && [ "$t" -ge "$self" ] || continue
    echo "$*: output still held by process $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >>"$QV_HELD_LOG"
  done
fi
rm -f "$out" "$err"
exit $rc
