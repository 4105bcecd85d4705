#!/usr/bin/env bash
# Runs the main scenarios under valgrind memcheck (every interpreter process they start included) and fails on any invalid read or write.
#
# PYTHONMALLOC=malloc hands every object to malloc, so memcheck sees each one. Only
# errors whose stack passes through the module's library count against the module; any
# other error is printed with the interpreter's name on it and fails the run as well,
# unless it is one of the interpreter-internal kinds listed below.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${SANITIZE_BUILD:-$ROOT/build-sanitize}
LOGS=$BUILD/valgrind
TAG=${VALGRIND_TAG:-py36}
# test_body's allocation sweep outlives its scenario timeout under valgrind; name it in
# VALGRIND_SCENARIOS to run it anyway.
SCENARIOS=${VALGRIND_SCENARIOS:-test_lifecycle test_tracebacks test_reliability}

python=$("$ROOT/tools/interpreters.sh" 2>/dev/null | awk -F'|' -v tag="$TAG" '$1 == tag { print $2 }')
[ -n "$python" ] || { echo "valgrind: no interpreter for $TAG" >&2; exit 1; }
if ! command -v valgrind >/dev/null; then
  # Not among the packages scripts/setup.sh installs: only this pass needs it.
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends valgrind
  else
    echo "valgrind: valgrind is not installed (apt-get install valgrind)" >&2
    exit 1
  fi
fi

rm -rf "$LOGS"
mkdir -p "$LOGS"
failed=0
for name in $SCENARIOS; do
  [ -f "$ROOT/tests/scenarios/$name.py" ] || { echo "valgrind: $name: no such scenario file"; continue; }
  printf 'valgrind: %-6s %-24s ' "$TAG" "$name"
  # Uninitialised-value reports from the unmodified interpreter (its address-based
  # hashing, libc's vector string routines) are not memory misuse; only invalid
  # accesses and frees are errors here, so --undef-value-errors=no. Binary tools some
  # scenarios run (nm, readelf) are not traced: ld.so's vector strncmp over-reads there.
  if (cd "$ROOT" && env PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 PYTHONPATH= \
        valgrind --tool=memcheck --trace-children=yes --undef-value-errors=no \
          --trace-children-skip='*/nm,*/*-nm,*/objdump,*/readelf,*/ldd,*/c++filt,*/sh,*/bash' \
          --error-exitcode=99 --num-callers=30 --log-file="$LOGS/$name.%p.log" \
          "$python" -m unittest -q "tests.scenarios.$name" >"$LOGS/$name.out" 2>&1); then
    echo ok
  else
    echo "FAILED (see $LOGS/$name.out)"
    failed=1
  fi
done

invalid=$(grep -l -E 'Invalid (read|write|free)|Mismatched free|Source and destination overlap' "$LOGS"/*.log 2>/dev/null || true)
in_module=0
for log in $invalid; do
  # A stack frame in the library or its sources (the Command: line may name it too).
  if grep -q -E '^==[0-9]+== +(at|by) .*(asgi\.cpython|asgi\.cpp|runtime/)' "$log"; then
    in_module=$((in_module + 1))
  fi
done
processes=$(ls "$LOGS"/*.log | wc -l)
echo "valgrind: $processes processes checked; $(echo "$invalid" | grep -c . || true) with invalid accesses, $in_module of them through vorn.asgi"
if [ -n "$invalid" ]; then
  for log in $invalid; do echo "--- $log"; grep -A25 -m3 -E 'Invalid|Mismatched|overlap' "$log"; done | head -n 120
  exit 1
fi
exit "$failed"
