#!/usr/bin/env bash
# Installs what the project needs when it is missing, and is quick when it is all there:
# Debian's Boost.Math and GoogleTest headers, a Python 3.12 virtual environment with the
# build and test tools, and the tavoq module built from the current sources.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

need_pkgs=()
for pkg in libboost-dev libgtest-dev g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_pkgs+=("$pkg")
done
if [ ${#need_pkgs[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${need_pkgs[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_pkgs[@]}" >/dev/null
fi

find_python() {
  if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'pass' 2>/dev/null; then
    command -v python3.12
    return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local p
    for p in "$(pyenv root)"/versions/3.12*/bin/python3.12; do
      [ -x "$p" ] && { echo "$p"; return; }
    done
  fi
  echo "Python 3.12 not found (install it, or python3.12 through pyenv)" >&2
  exit 1
}

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
  echo "Creating the Python 3.12 virtual environment in .venv"
  "$(find_python)" -m venv "$venv"
fi
py="$venv/bin/python"
# CMake and Ninja come from PyPI too, so the build does not depend on what the machine has.
# numpy, tqdm and defusedxml (the Open-PSA reader's XML parser) are the package's own
# dependencies (types-defusedxml types it for mypy); hypothesis and Dask serve the tests,
# pytest-xdist the sanitizer pass (its tests in two processes),
# ruff, mypy and clang-format the lint gate (scripts/lint.sh). The formatters are pinned:
# another version may lay out the same code differently, and the check must give the same
# answer on every machine.
tools=("pybind11>=3" "scikit-build-core>=0.11" "cmake>=3.15" ninja pytest pytest-xdist hypothesis
       "numpy>=1.26" "tqdm>=4.66" "defusedxml>=0.7" "types-defusedxml"
       "dask[distributed]>=2024.1" "ruff==0.17.6" "mypy==2.4.1" "clang-format==20.1.8")
# Optional, each tried once: the example's plot (the run still prints its numbers without it),
# Storm, an exact solver of Galileo fault trees that only the tests use as an oracle (they
# skip its comparisons without it), and pandas, which the analyses' to_frame() returns (its
# tests skip without it). None is a dependency of the package.
optional=(matplotlib stormpy pandas)
stamp_tools="$venv/.tools-installed"
if [ ! -f "$stamp_tools" ] || [ "$(cat "$stamp_tools")" != "${tools[*]} ${optional[*]}" ]; then
  "$py" -m pip install -q --upgrade pip
  "$py" -m pip install -q "${tools[@]}"
  for extra in "${optional[@]}"; do
    "$py" -m pip install -q "$extra" || echo "$extra not installed: what needs it is skipped"
  done
  echo "${tools[*]} ${optional[*]}" > "$stamp_tools"
fi
export PATH="$venv/bin:$PATH"

# Rebuild the module only when the sources or the build description changed.
hash=$( { cat CMakeLists.txt pyproject.toml
          git ls-files -co --exclude-standard src python 2>/dev/null | sort | while read -r f; do
            if [ -f "$f" ]; then cat "$f"; fi  # skip a tracked file deleted from the tree
          done; } | sha256sum | cut -d' ' -f1)
stamp_build="$venv/.tavoq-build"
if [ ! -f "$stamp_build" ] || [ "$(cat "$stamp_build")" != "$hash" ] || \
   ! "$py" -c 'import tavoq' >/dev/null 2>&1; then
  echo "Building and installing tavoq"
  # Warnings are errors in the project's own builds; a plain `pip install .` only shows them.
  "$py" -m pip install -q --no-build-isolation -C cmake.define.TAVOQ_WARNINGS_AS_ERRORS=ON "$root"
  echo "$hash" > "$stamp_build"
fi
