#!/usr/bin/env bash
# Lists the CPython interpreters on this machine that vorn builds and tests for, one line each:
#   tag|python|include dir|library dir|EXT_SUFFIX|builds module (1/0)|shared libpython name
# pyenv's 3.6 is required; later pyenv versions and Debian's python3 are taken when present.
# The module is built once per distinct EXT_SUFFIX; an interpreter whose suffix is already
# built only runs the tests.
set -u

describe() {  # python -> fields
  "$1" - <<'PY'
import sys, sysconfig
v = sysconfig.get_config_var
print("|".join([
    sysconfig.get_paths()["include"],
    v("LIBDIR") or "",
    v("EXT_SUFFIX") or "",
    v("LDLIBRARY") or "",
    "%d.%d" % sys.version_info[:2],
]))
PY
}

seen_suffixes=" "
emit() {  # tag python
  local info include libdir suffix ldlib version builds=1
  info=$(describe "$2") || { echo "interpreters: cannot query $2" >&2; return 1; }
  IFS='|' read -r include libdir suffix ldlib version <<<"$info"
  if [ ! -f "$include/Python.h" ]; then
    echo "interpreters: skipping $2 ($version): no Python.h in $include" >&2
    return 1
  fi
  case "$seen_suffixes" in *" $suffix "*) builds=0 ;; esac
  seen_suffixes="$seen_suffixes$suffix "
  echo "$1|$2|$include|$libdir|$suffix|$builds|$ldlib"
}

pyenv_python() {  # minor -> path of pyenv's newest 3.minor.x, or nothing
  command -v pyenv >/dev/null 2>&1 || return 0
  local v
  v=$(pyenv versions --bare 2>/dev/null | grep -E "^3\.$1\.[0-9]+$" | sort -t. -k3 -n | tail -n 1)
  [ -n "$v" ] && [ -x "$(pyenv prefix "$v")/bin/python3" ] && echo "$(pyenv prefix "$v")/bin/python3"
}

py36=$(pyenv_python 6)
if [ -z "$py36" ]; then
  echo "interpreters: CPython 3.6 (pyenv 3.6.x) is required and was not found" >&2
  exit 1
fi
emit py36 "$py36" || exit 1

for minor in 7 8 9 10 11 12 13; do
  py=$(pyenv_python "$minor")
  if [ -z "$py" ]; then
    echo "interpreters: skipping CPython 3.$minor: not installed under pyenv" >&2
    continue
  fi
  emit "py3$minor" "$py"
done

if [ -x /usr/bin/python3 ]; then
  emit debian /usr/bin/python3
else
  echo "interpreters: skipping Debian's python3: /usr/bin/python3 not found" >&2
fi
exit 0
