#!/usr/bin/env bash
# Runs a program of the cross-build under wine: the build's emulator, for the suite's tests, their listing
# and the programs the build runs.
#   wine-run.sh WINE PROGRAM ARGS...
# Output goes through as it comes, standard output and error each to its own. Now and then wine ends a
# program before it has run at all (exit code not 0, nothing written), on a busy machine more often: such a
# run is started once more, and the log says so. A run that wrote anything is never repeated: a test that
# reported a failure stays failed. A Google Test program always writes, so one that wrote nothing did not
# run, whatever its exit code: it is started again too, and never counts as passed.
set -uo pipefail
wine=$1
shift
what=$(basename "$1")
gtest=0
case ${2-} in
--gtest_filter=*) what="$what ${2#--gtest_filter=}" gtest=1 ;;
esac
scratch=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 125
trap 'rm -rf "$scratch"' EXIT

# One run; sets status. Standard error passes through tee into its own file, standard output likewise.
run() {
  : >"$scratch/out"
  : >"$scratch/err"
  echo 125 >"$scratch/status"
  { { "$wine" "$@"; echo $? >"$scratch/status"; } 2>&1 1>&3 3>&- | tee "$scratch/err" >&2; } 3>&1 |
    tee "$scratch/out"
  status=$(cat "$scratch/status")
}

silent() { { [ "$status" != 0 ] || [ $gtest = 1 ]; } && [ ! -s "$scratch/out" ] && [ ! -s "$scratch/err" ]; }

run "$@"
if silent; then
  echo "wine: $what ended without any output (exit code $status), started again" >&2
  run "$@"
  if silent; then
    echo "wine: $what ended without any output again (exit code $status)" >&2
    [ "$status" = 0 ] && status=1
  fi
fi
exit "$status"
