#!/usr/bin/env bash
# Builds vorn.asgi with AddressSanitizer and UndefinedBehaviorSanitizer and runs every scenario on CPython 3.6 and Debian's python3; any report fails.
#
# The sanitized modules go to build-sanitize/tree/vorn, never over the modules in vorn/.
# build-sanitize/tree mirrors the checkout with symlinks (vorn/ holds links to the package's
# Python files plus the sanitized libraries), so the scenario harness, which puts the tree
# its own file lives in first on the path, imports the sanitized vorn.asgi from there.
# Scenarios count pymalloc blocks only where pymalloc runs; here every object comes from malloc.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${SANITIZE_BUILD:-$ROOT/build-sanitize}
TREE=$BUILD/tree
REPORTS=$BUILD/reports
JOBS=${JOBS:-2}

mkdir -p "$TREE/vorn"
for entry in "$ROOT"/*; do
  name=$(basename "$entry")
  case "$name" in vorn | build | build-*) continue ;; esac
  ln -sfn "$entry" "$TREE/$name"
done
for file in "$ROOT"/vorn/*; do
  case "$file" in *.so) continue ;; esac
  ln -sfn "$file" "$TREE/vorn/$(basename "$file")"
done

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON \
  -DVORN_MODULE_DIR="$TREE/vorn" >/dev/null
interpreters=$("$ROOT/tools/interpreters.sh" 2>/dev/null)
python_of() { awk -F'|' -v tag="$1" '$1 == tag { print $2 }' <<<"$interpreters"; }
suffix_of() { awk -F'|' -v tag="$1" '$1 == tag { print $5 }' <<<"$interpreters"; }
# Debian's python3 loads the module of the pyenv interpreter with the same suffix.
target_of() {
  awk -F'|' -v suffix="$(suffix_of "$1")" '$5 == suffix && $6 == 1 { print "asgi_" $1; exit }' <<<"$interpreters"
}

TAGS=(py36 debian)
targets=()
for tag in "${TAGS[@]}"; do
  [ -n "$(python_of "$tag")" ] || { echo "sanitize: no interpreter for $tag" >&2; exit 1; }
  targets+=("$(target_of "$tag")")
done
cmake --build "$BUILD" -j"$JOBS" --target "${targets[@]}"

ASAN_RUNTIME=$(gcc -print-file-name=libasan.so)
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
failed=0
for tag in "${TAGS[@]}"; do
  python=$(python_of "$tag")
  for test in "$ROOT"/tests/scenarios/test_*.py; do
    name=$(basename "$test" .py)
    printf 'sanitize: %-7s %-24s ' "$tag" "$name"
    # The interpreter itself is not instrumented and leaks at exit by design: no leak
    # checking. Every object comes from malloc, so ASan sees the module misuse any of them.
    if (cd "$TREE" && env LD_PRELOAD="$ASAN_RUNTIME" PYTHONMALLOC=malloc \
          ASAN_OPTIONS="detect_leaks=0:log_path=$REPORTS/asan" \
          UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan" \
          PYTHONDONTWRITEBYTECODE=1 PYTHONPATH= \
          "$python" -m unittest -q "tests.scenarios.$name" >"$REPORTS/$tag.$name.log" 2>&1); then
      echo ok
    else
      echo "FAILED (see $REPORTS/$tag.$name.log)"
      failed=1
    fi
  done
done

reports=$(find "$REPORTS" -name 'asan.*' -o -name 'ubsan.*' | wc -l)
echo "sanitize: $reports sanitizer reports"
if [ "$reports" -ne 0 ]; then
  find "$REPORTS" -name 'asan.*' -o -name 'ubsan.*' | head -n 5 | xargs -r cat
  exit 1
fi
exit "$failed"
