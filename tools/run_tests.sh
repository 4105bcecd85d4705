#!/usr/bin/env bash
# Runs every registered test with ctest and ends with ctest's summary line, whatever ctest lists after it.
set -uo pipefail
build=${1:?usage: run_tests.sh BUILD_DIR [JOBS]}
jobs=${2:-2}
log="$build/ctest-output.log"
(cd "$build" && ctest -j"$jobs" --output-on-failure) 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
# ctest prints skipped tests after its summary; repeat the summary so it comes last.
summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
echo
echo "${summary:-ctest printed no summary (exit status $status)}"
exit "$status"
