#!/usr/bin/env bash
# Installs tamix the way a user does (a fresh clone, a fresh venv, pip's build isolation) and
# runs the quick start against the installed module. It checks the committed HEAD: what a
# clone gets is what a user gets, so uncommitted changes are not part of it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
start=$SECONDS

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tamix-fresh-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

head=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "fresh install check: uncommitted changes are left out; installing HEAD ${head:0:12}"
fi
git clone -q --no-checkout "$root" "$tmp/src"
git -C "$tmp/src" -c advice.detachedHead=false checkout -q "$head"

"$PY" -m venv "$tmp/venv"
pip=("$tmp/venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" numpy
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} "${pip[@]}" "$tmp/src"

# -I and a working directory outside the clone: only the installed module can be imported.
cd "$tmp"
"$tmp/venv/bin/python" -I -c '
import sys, tamix
assert tamix.__file__.startswith(sys.prefix), tamix.__file__
print("fresh install check: tamix", tamix.__version__, "installed from a clean clone")'
"$tmp/venv/bin/python" -I "$tmp/src/examples/quickstart.py" >"$tmp/quickstart.out" ||
  { cat "$tmp/quickstart.out"; exit 1; }
tail -n 1 "$tmp/quickstart.out"
echo "fresh install check: passed in $((SECONDS - start)) s"
