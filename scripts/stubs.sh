#!/usr/bin/env bash
# Regenerates python/tavoq.pyi from the built module (pybind11-stubgen), with the changes
# the stub needs by hand: "lambda" is a Python keyword, so that parameter becomes positional
# lambda_, getRoot's node type, which has no Python class, becomes Any, and the interactions
# argument, None by default, is Optional.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py="$root/.venv/bin/python"
"$py" -m pip install -q pybind11-stubgen
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$py" -m pybind11_stubgen tavoq -o "$out" >/dev/null 2>&1 || true  # getRoot's error is expected
{
  head -n 4 "$root/python/tavoq.pyi"
  sed -E -e 's/\(self, lambda: ([^,)]*)\)/(self, lambda_: \1, \/)/' \
         -e 's/\(self, lambda: ([^,]*), k: ([^)]*)\)/(self, lambda_: \1, k: \2, \/)/' \
         -e 's/def getRoot\(self\) -> CutsetTreeNode:/def getRoot(self) -> typing.Any:/' \
         -e 's/interactions: Interactions = None/interactions: Interactions | None = None/g' \
         "$out/tavoq.pyi"
} > "$out/new.pyi"
mv "$out/new.pyi" "$root/python/tavoq.pyi"
