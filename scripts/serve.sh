#!/usr/bin/env bash
# Serves vorn.asgi:application with uvicorn on loopback; `make serve` builds the module and then runs this.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
PY=/usr/bin/python3
PORT=${PORT:-8000}

bash "$ROOT/scripts/setup.sh"

# The extension is built for one interpreter; look for the file that /usr/bin/python3 would load.
suffix=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module="vorn/asgi$suffix"
if [ ! -f "$module" ]; then
    echo "serve.sh: $ROOT/$module is missing: the native vorn.asgi for $PY is not built (build it first: make)" >&2
    exit 1
fi
if [ -e vorn/asgi.py ]; then
    echo "serve.sh: vorn/asgi.py must not exist; vorn.asgi is the native module" >&2
    exit 1
fi

echo "vorn: point a browser at http://127.0.0.1:$PORT/"
exec "$PY" -m uvicorn vorn.asgi:application --host 127.0.0.1 --port "$PORT"
