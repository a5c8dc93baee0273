#!/usr/bin/env bash
# Runs every check: the lint gate (scripts/lint.sh), the C++ unit tests through CTest (with
# OpenMP and without), then the Python tests with pytest. Sets up whatever is missing first
# (scripts/setup.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"
py="$root/.venv/bin/python"
export PATH="$root/.venv/bin:$PATH"  # the venv's CMake, CTest and Ninja

echo "== Lint"
"$root/scripts/lint.sh"

echo "== C++ tests"
cmake -S "$root" -B "$root/build/native" -G Ninja \
  -DBUILD_TESTING=ON -DTAVOQ_PYTHON_MODULE=OFF -DTAVOQ_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/native" -j "$(nproc)"
ctest --test-dir "$root/build/native" --output-on-failure --no-tests=error -j "$(nproc)"

# The library builds without OpenMP too: then the parallel runners run on the calling thread.
echo "== C++ tests without OpenMP"
cmake -S "$root" -B "$root/build/native-noomp" -G Ninja \
  -DBUILD_TESTING=ON -DTAVOQ_PYTHON_MODULE=OFF -DTAVOQ_OPENMP=OFF -DTAVOQ_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/native-noomp" -j "$(nproc)"
ctest --test-dir "$root/build/native-noomp" --output-on-failure --no-tests=error -j "$(nproc)"

echo "== Python tests"
"$py" -m pytest "$@"
