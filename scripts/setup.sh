#!/usr/bin/env bash
# Idempotent machine set-up for Debian bookworm: installs with apt-get only the packages vorn needs that are missing.
set -euo pipefail

PACKAGES=(
    # Serving the Django project through Debian's Python.
    python3 python3-django python3-asgiref
    python3-uvicorn python3-daphne python3-hypercorn
    # Building the native extension and its unit tests.
    python3-dev cmake g++ make binutils libgtest-dev
    # Poking at and loading a running server.
    curl wrk
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    # dpkg-query fails for unknown packages and reports removed-but-configured ones; both count as missing.
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    if [ "$status" != "install ok installed" ]; then
        missing+=("$pkg")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
elif command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
else
    echo "setup.sh: missing packages (${missing[*]}) and not root, with no sudo to install them" >&2
    exit 1
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Wait for another apt/dpkg run instead of failing on its lock.
APT_OPTS=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)
"${SUDO[@]}" apt-get "${APT_OPTS[@]}" update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" install -y -qq --no-install-recommends "${missing[@]}"

# Recheck: apt-get can exit 0 while leaving a package half-configured.
still=()
for pkg in "${missing[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || still+=("$pkg")
done
if [ "${#still[@]}" -ne 0 ]; then
    echo "setup.sh: still not installed: ${still[*]}" >&2
    exit 1
fi
