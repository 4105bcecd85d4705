#!/usr/bin/env bash
# Bounded loopback load on uvicorn (2 workers, real Django, Debian's python3): the native vorn.asgi beside a plain-Python asgi.py; fails on any error.
#
#   bash bench/load.sh                  20,000 requests at 50 connections against each server
#   REQUESTS=50000 CONNECTIONS=100 bash bench/load.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=/usr/bin/python3
REQUESTS=${REQUESTS:-20000}
CONNECTIONS=${CONNECTIONS:-50}
THREADS=2
PATH_=${LOAD_PATH:-/}

command -v wrk >/dev/null || { echo "load: wrk is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }
"$PY" -c 'import django, uvicorn' 2>/dev/null || { echo "load: Django or uvicorn missing for $PY (bash scripts/setup.sh)" >&2; exit 1; }
suffix=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
[ -f "$ROOT/vorn/asgi$suffix" ] || { echo "load: vorn/asgi$suffix is not built (make)" >&2; exit 1; }

# The plain-Python twin: the project's package with the five-line asgi.py instead of the library.
PLAIN=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$PLAIN"
}
trap cleanup EXIT
mkdir "$PLAIN/vorn"
cp "$ROOT"/vorn/*.py "$PLAIN/vorn/"
cat >"$PLAIN/vorn/asgi.py" <<'PY'
import os
from django.core.asgi import get_asgi_application
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "vorn.settings")
application = get_asgi_application()
__test__ = {}
PY

free_port() { "$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# run_one LABEL PYTHONPATH NATIVE -> prints "LABEL rps requests errors"; wrk's report goes to stderr
run_one() {
  local label=$1 path=$2 native=$3 port
  port=$(free_port)
  (cd "$path" && exec env -u DJANGO_SETTINGS_MODULE PYTHONPATH="$path" PYTHONDONTWRITEBYTECODE=1 \
      "$PY" -m uvicorn vorn.asgi:application --host 127.0.0.1 --port "$port" --workers 2 \
      --no-access-log --log-level warning) &
  server_pid=$!
  for _ in $(seq 100); do
    curl -fsS -o /dev/null "http://127.0.0.1:$port$PATH_" 2>/dev/null && break
    sleep 0.2
  done
  curl -fsS -o /dev/null "http://127.0.0.1:$port$PATH_" || { echo "load: $label server did not come up" >&2; return 1; }
  # The server says which vorn.asgi it loaded.
  curl -fsS "http://127.0.0.1:$port/health" | grep -q "\"native\": $native" \
    || { echo "load: the $label server does not serve the expected vorn.asgi" >&2; return 1; }
  # wrk runs until every thread has had its share of answers (marker files), then SIGINT
  # makes it stop and print its totals; its requests/s cover just that span.
  local out markers wrk_pid
  markers=$(mktemp -d)
  wrk -t"$THREADS" -c"$CONNECTIONS" -d600s --timeout 10s -s "$ROOT/bench/load/bounded.lua" \
      "http://127.0.0.1:$port$PATH_" -- $((REQUESTS / THREADS)) "$markers" >"$markers.out" &
  wrk_pid=$!
  while kill -0 "$wrk_pid" 2>/dev/null && [ "$(ls "$markers" | wc -l)" -lt "$THREADS" ]; do sleep 0.05; done
  kill -INT "$wrk_pid" 2>/dev/null || true
  wait "$wrk_pid" || true
  out=$(cat "$markers.out")
  rm -rf "$markers" "$markers.out"
  echo "$out" >&2
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=
  local rps summary errors requests
  rps=$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")
  summary=$(grep '^load-summary' <<<"$out")
  requests=$(sed -E 's/.* requests=([0-9]+).*/\1/' <<<"$summary")
  errors=$(sed -E 's/.* connect=([0-9]+) read=([0-9]+) write=([0-9]+) status=([0-9]+) timeout=([0-9]+).*/\1 \2 \3 \4 \5/' <<<"$summary" \
           | awk '{ print $1 + $2 + $3 + $4 + $5 }')
  echo "$label $rps $requests $errors"
}

native=$(run_one native "$ROOT" true)
plain=$(run_one plain "$PLAIN" false)
echo
printf '%-28s %12s %10s %8s\n' server requests/s requests errors
read -r _ rps requests errors <<<"$native"
printf '%-28s %12s %10s %8s\n' "uvicorn x2, native vorn.asgi" "$rps" "$requests" "$errors"
native_errors=$errors native_requests=$requests
read -r _ rps requests errors <<<"$plain"
printf '%-28s %12s %10s %8s\n' "uvicorn x2, plain asgi.py" "$rps" "$requests" "$errors"
[ "$native_errors" -eq 0 ] && [ "$native_requests" -ge "$REQUESTS" ] || { echo "load: the native module's server did not hold the load" >&2; exit 1; }
