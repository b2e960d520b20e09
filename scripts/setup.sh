#!/usr/bin/env bash
# Installs what building and testing need, skipping what is already there: Debian packages,
# the project's virtual environment, and the PyPI packages in it. PYTHON is the interpreter
# to build for; unless it already runs in a virtual environment, PyPI packages go into one
# made from it at VENV, since Debian's own interpreter refuses pip's installs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
PYTHON=${PYTHON:-python3}
VENV=${VENV:-$root/.venv}

if ! command -v "$PYTHON" >/dev/null; then
  echo "setup: no $PYTHON; install python3 (apt-get install python3) or set PYTHON" >&2
  exit 1
fi
# What venv, ensurepip and the headers need is the base interpreter's; a venv sees its base's.
read -r in_venv base ver has_venv has_headers < <("$PYTHON" -c '
import importlib.util as u, os, sys, sysconfig
print(int(sys.prefix != sys.base_prefix), sys.base_prefix, "%d.%d" % sys.version_info[:2],
      int(all(u.find_spec(m) for m in ("venv", "ensurepip"))),
      int(os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))))')
if [ -z "${PY:-}" ]; then
  if ((in_venv)); then PY=$("$PYTHON" -c 'import sys; print(sys.executable)'); else PY=$VENV/bin/python; fi
fi

# git and venv: the fresh install check clones the repo and installs it into a new venv.
# locales-all: the metadata test runs under de_DE.UTF-8, whose decimal comma must not leak.
debs=(build-essential cmake ninja-build pkg-config git libtbb-dev libsqlite3-dev libgtest-dev
      libopenblas-dev dataset-fashion-mnist locales-all)
missing=()
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Debian's own interpreter ships ensurepip and its headers in packages of their own.
if ((!has_venv || !has_headers)); then
  if [ "$base" != /usr ]; then
    echo "setup: $PYTHON (under $base) lacks ensurepip or Python.h, which its own installer" \
         "provides; reinstall it with them or set PYTHON to another interpreter" >&2
    exit 1
  fi
  ((has_venv)) || missing+=("python$ver-venv")
  ((has_headers)) || missing+=("python$ver-dev")
fi
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The project's venv is made again when it is not PYTHON's (another version, a removed
# interpreter), and completed in place when it has no pip (made before ensurepip was there).
if [ "$PY" = "$VENV/bin/python" ]; then
  which='import sys; print(sys.base_prefix, sys.version)'
  if [ "$("$PY" -c "$which" 2>/dev/null)" != "$("$PYTHON" -c "$which")" ]; then
    if [ -e "$VENV" ] && [ ! -e "$VENV/pyvenv.cfg" ]; then
      echo "setup: $VENV exists but is no virtual environment; move it or set VENV" >&2
      exit 1
    fi
    echo "setup: making the virtual environment $VENV from $PYTHON"
    "$PYTHON" -m venv --clear "$VENV"
  elif ! "$PY" -m pip --version >/dev/null 2>&1; then
    "$PYTHON" -m venv "$VENV"
  fi
fi
"$PY" -m pip install -q --disable-pip-version-check -r "$root/requirements-dev.txt"
