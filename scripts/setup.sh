#!/usr/bin/env bash
# Installs what building and testing need, skipping what is already there.
set -euo pipefail

debs=(build-essential cmake ninja-build pkg-config libtbb-dev libsqlite3-dev libgtest-dev
      dataset-fashion-mnist)
missing=()
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

PY=${PYTHON:-python3}
$PY -m pip install -q --disable-pip-version-check -r requirements-dev.txt
