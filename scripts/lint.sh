#!/usr/bin/env bash
# The lint gate, run by scripts/test.sh before the tests (so CI fails on any of these):
# ruff's lint rules and formatting, mypy on the package (settings in pyproject.toml), and
# clang-format on the C++ (settings in .clang-format).
# Needs the tools in .venv, which scripts/setup.sh installs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bin="$root/.venv/bin"
for tool in ruff mypy clang-format; do
  if [ ! -x "$bin/$tool" ]; then
    echo "lint: $tool is missing from .venv; run scripts/setup.sh" >&2
    exit 1
  fi
done

echo "== ruff check"
"$bin/ruff" check --no-cache .
echo "== ruff format --check"
"$bin/ruff" format --no-cache --check .
echo "== mypy"
"$bin/mypy"

echo "== clang-format"
git ls-files -z 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'bench/*.cpp' \
  'bench/*.hpp' | xargs -0 -r "$bin/clang-format" --dry-run -Werror
