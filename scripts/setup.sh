#!/usr/bin/env bash
# Installs what building and testing need, skipping what is already there.
set -euo pipefail

PY=${PYTHON:-python3}

# git and venv: the fresh install check clones the repo and installs it into a new venv.
# locales-all: the metadata test runs under de_DE.UTF-8, whose decimal comma must not leak.
debs=(build-essential cmake ninja-build pkg-config git libtbb-dev libsqlite3-dev libgtest-dev
      libopenblas-dev dataset-fashion-mnist locales-all)
missing=()
# Debian's own Python ships venv's pip bootstrap in a separate package.
"$PY" -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

"$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
