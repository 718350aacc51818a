#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, runs the C++ tests (ctest) and the Python
# tests (pytest). Under CI=true it also builds the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

JOBS=${JOBS:-$(nproc)}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release -j "$JOBS" --output-on-failure

# The extension is tested as built above, beside the pure-Python package in python/.
PYTHONPATH="$PWD/build/release/python:$PWD/python" .venv/bin/python -m pytest -q python/tests

if [ "${CI:-}" = "true" ] || [ "${TESSARADB_SANITIZE:-}" = "1" ]; then
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSARADB_SANITIZE=ON \
    -DTESSARADB_BUILD_PYTHON=OFF -DTESSARADB_BUILD_BENCH=OFF >/dev/null
  cmake --build build/asan -j "$JOBS"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j "$JOBS" --output-on-failure

  # The store's threads and snapshots, once more under ThreadSanitizer.
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARADB_TSAN=ON \
    -DTESSARADB_BUILD_PYTHON=OFF -DTESSARADB_BUILD_BENCH=OFF >/dev/null
  if cmake --build build/tsan --target help | grep -q '^store_tests:'; then
    cmake --build build/tsan -j "$JOBS" --target store_tests
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --test-dir build/tsan -j "$JOBS" --output-on-failure -L store
  fi

  # The benchmark's quick mode (bench/README.md): prints every ratio, fails only on one missed by far.
  if [ "${CI:-}" = "true" ]; then TESSARADB_BENCH_EXT_DIR="$PWD/build/release/python" bash bench/run.sh --quick --check; fi
  # The reliability harness (reliability/run.sh): crash states, injected errors, kills, fuzzing.
  if [ "${CI:-}" = "true" ]; then JOBS="$JOBS" bash reliability/run.sh; fi
fi
