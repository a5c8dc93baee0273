#!/usr/bin/env bash
# Runs the tests again on builds instrumented with AddressSanitizer and UndefinedBehaviorSanitizer:
# the C++ unit tests through CTest, then the Python tests that reach native code against an
# instrumented module.
# Any report fails the run (undefined behaviour aborts at once instead of printing and going on).
#
# The instrumented builds live in their own folders under build/ and never replace the module
# installed in .venv: the instrumented module is installed to build/asan-python, which goes first
# on PYTHONPATH for this run only. Arguments are passed on to pytest (they replace the default
# selection below).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"
py="$root/.venv/bin/python"
export PATH="$root/.venv/bin:$PATH"  # the venv's CMake, CTest and Ninja
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

# float-cast-overflow is not part of "undefined" in GCC: a double outside int's range (or NaN)
# converted to int is undefined behaviour too, and delays are exactly such conversions.
# _GLIBCXX_ASSERTIONS adds bounds checks to the standard containers, which catch an index
# past the end that still falls inside the allocation (ASan cannot see that one).
sanitize="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer"
build="$root/build/asan"
site="$root/build/asan-python"

# Leaks are not checked: CPython keeps much of its own memory until exit, and those reports
# would bury ours. Everything else stops the process with a non-zero status. Reports go to
# files, so that none is lost: a crash inside pytest itself would print into pytest's captured
# output, and a test that expects a child process to fail would take a sanitizer abort for
# the failure it wanted. Any report at all fails this script. Allocations too large to
# satisfy return null as they do without ASan, which the code checks for.
logs="$root/build/asan-logs"
rm -rf "$logs"
mkdir -p "$logs"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"

reports_found() {
  if [ -n "$(ls -A "$logs")" ]; then
    echo "test-sanitizers: sanitizer reports in $logs:" >&2
    cat "$logs"/* >&2
    return 0
  fi
  return 1
}

# One instrumented build of the library serves both the C++ tests and the module.
echo "== Instrumented build (ASan + UBSan) in build/asan"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DTAVOQ_WARNINGS_AS_ERRORS=ON \
  "-DCMAKE_CXX_FLAGS=-O1 -g -D_GLIBCXX_ASSERTIONS $sanitize" \
  "-DCMAKE_EXE_LINKER_FLAGS=$sanitize" "-DCMAKE_MODULE_LINKER_FLAGS=$sanitize" \
  -DBUILD_TESTING=ON -DTAVOQ_PYTHON_MODULE=ON \
  -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "$jobs"
rm -rf "$site"
cmake --install "$build" --prefix "$site" >/dev/null

echo "== C++ tests (ASan + UBSan)"
status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" || status=$?
if reports_found || [ "$status" -ne 0 ]; then
  exit 1
fi

echo "== Python tests (ASan + UBSan module)"
# The interpreter itself is not instrumented, so the ASan runtime must be loaded before
# anything else, and libstdc++ with it: ASan finds the C++ runtime's exception entry points
# when it starts, and an interpreter that has not loaded libstdc++ yet would leave it none
# (the first C++ exception then aborts the process). Child interpreters started by the tests
# inherit all of this.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
loaded=$("$py" -c 'import tavoq; print(tavoq.__file__)')
case "$loaded" in
  "$site"/*) ;;
  *) echo "test-sanitizers: the tests would import $loaded, not the instrumented module" >&2
     exit 1 ;;
esac
# Without arguments, the tests that reach native code in this process run, with a quarter of
# their hypothesis examples (TAVOQ_EXAMPLES_DIVISOR): the bindings and their fuzzing, the
# reference model and exact answers, the model files and fault trees built into native objects,
# and the runs through tavoq_tools. The command's, the cluster's, the report's and the pure
# Python layers' tests have run on the plain build: under ASan they would repeat the same
# interpreter work at several times the cost and reach no native code the others do not.
if [ "$#" -eq 0 ]; then
  export TAVOQ_EXAMPLES_DIVISOR=4
  set -- tests/python/native tests/python/validation \
    tests/python/tools/test_simulate.py tests/python/tools/test_interaction_model.py \
    tests/python/tools/test_counts.py tests/python/tools/test_native_output.py \
    tests/python/tools/test_distributions.py tests/python/tools/test_model_file.py \
    tests/python/tools/test_fault_tree_files.py
fi
# Two processes share the tests: each instrumented test costs several times its plain run,
# and most of them run on one thread.
status=0
"$py" -m pytest -p no:cacheprovider -n "$jobs" "$@" || status=$?
if reports_found || [ "$status" -ne 0 ]; then
  exit 1
fi
echo "test-sanitizers: clean"
