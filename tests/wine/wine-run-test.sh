#!/usr/bin/env bash
# wine-run.sh with a stand-in for wine: a run that ended without a byte of output is started once more and
# the log says so; a run that wrote anything (a test that reported a failure) or ended well is never
# repeated; both output streams pass through unmixed and the exit code is the program's.
#   wine-run-test.sh WINE-RUN-SCRIPT
set -u
runner=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fails=0

# The stand-in: each start takes the next line of the script file "PROGRAM": an exit code, then what to
# write ("out TEXT", "err TEXT" or nothing).
cat >"$scratch/wine" <<'EOF'
#!/usr/bin/env bash
n=$(cat "$STANDIN/starts" 2>/dev/null || echo 0)
echo $((n + 1)) >"$STANDIN/starts"
read -r code stream text < <(sed -n "$((n + 1))p" "$STANDIN/script")
case $stream in
out) echo "$text $*" ;;
err) echo "$text $*" >&2 ;;
esac
exit "$code"
EOF
chmod +x "$scratch/wine"
export STANDIN=$scratch

# check NAME EXPECTED-CODE EXPECTED-STARTS EXPECTED-STDOUT EXPECTED-STDERR, with the script lines after it
check() {
  local name=$1 code=$2 starts=$3 out=$4 err=$5
  shift 5
  printf '%s\n' "$@" >"$scratch/script"
  rm -f "$scratch/starts"
  bash "$runner" "$scratch/wine" $args >"$scratch/stdout" 2>"$scratch/stderr"
  local got=$? got_starts
  got_starts=$(cat "$scratch/starts")
  if [ "$got" != "$code" ] || [ "$got_starts" != "$starts" ] || [ "$(cat "$scratch/stdout")" != "$out" ] ||
    [ "$(cat "$scratch/stderr")" != "$err" ]; then
    echo "FAILED $name: exit $got (expected $code), started $got_starts times (expected $starts)"
    echo "  stdout: $(cat "$scratch/stdout")"
    echo "  stderr: $(cat "$scratch/stderr")"
    fails=$((fails + 1))
  fi
}

# A program of the build: it may end well without a word.
args="/x/strgen.exe in.txt out.cpp"
check "tool passes silently" 0 1 "" "" "0"
check "tool dies silently once" 0 2 "" "wine: strgen.exe ended without any output (exit code 7), started again" "7" "0"

# A test: it always writes.
args="/x/suite_tests.exe --gtest_filter=Suite.Case -v"
again="wine: suite_tests.exe Suite.Case ended without any output (exit code 5), started again"
check passes 0 1 "ok $args" "" "0 out ok"
check "test ends well but silently" 0 2 "ok $args" "${again/code 5/code 0}" "0" "0 out ok"
check "test ends well but silently twice" 1 2 "" "${again/code 5/code 0}
wine: suite_tests.exe Suite.Case ended without any output again (exit code 0)" "0" "0"
check "reports a failure" 1 1 "failed $args" "" "1 out failed" "0 out ok"
check "reports a failure on stderr only" 3 1 "" "broken $args" "3 err broken" "0 out ok"
check "dies silently once" 0 2 "ok $args" "$again" "5" "0 out ok"
check "fails after dying silently" 1 2 "failed $args" "$again" "5" "1 out failed"
check "dies silently twice" 5 2 "" "$again
wine: suite_tests.exe Suite.Case ended without any output again (exit code 5)" "5" "5" "0 out ok"

if [ $fails != 0 ]; then
  exit 1
fi
echo "wine-run.sh: all cases as expected"
