#!/usr/bin/env bash
# Builds and runs the reliability harness; every part prints one summary line and the script
# fails when any part misses its figures. `--long` runs the longer variants.
#   crash-states  power-loss images after every file operation of a Strict workload
#   io-errors     an injected error at every file operation, then a power loss
#   kill-points   the process exits before each file operation of maintenance steps
#   byte-damage   damaged log, segments, checkpoint and HNSW files (AddressSanitizer + UBSan build)
#   kill-9        SIGKILL of a Python writer per sync policy (Python)
#   model         Hypothesis model test of the Python API (Python)
#   hostile       hostile Python input (Python, the extension built with AddressSanitizer + UBSan)
#   fuzz-*        libFuzzer targets (clang only; skipped when clang is missing)
set -uo pipefail
cd "$(dirname "$0")/.."
LONG=""
[ "${1:-}" = "--long" ] && LONG="--long"
JOBS=${JOBS:-2}
BUILD=build/reliability
ASAN_BUILD=build/reliability-asan
start=$(date +%s)
# The harness makes and opens thousands of small databases: a memory file system keeps that from
# waiting on the disk (none of the parts relies on the device's own syncs).
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARADB_BUILD_RELIABILITY=ON \
  -DTESSARADB_BUILD_BENCH=OFF -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null || exit 1
cmake --build "$BUILD" -j "$JOBS" --target reliability_crash_states reliability_io_errors \
  reliability_kill_points _tessaradb >/dev/null || exit 1
# Byte damage and hostile input run under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARADB_SANITIZE=ON \
  -DTESSARADB_BUILD_RELIABILITY=ON -DTESSARADB_BUILD_BENCH=OFF \
  -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null || exit 1
cmake --build "$ASAN_BUILD" -j "$JOBS" --target reliability_byte_damage _tessaradb >/dev/null || exit 1

failed=0
run() {  # name, command...: keeps the summary and detail lines, shows the rest only on failure
  local name=$1; shift
  local log; log=$(mktemp)
  if "$@" >"$log" 2>&1; then
    grep -E "^  [a-z]" "$log"  # per-class detail lines (byte damage)
    grep -E "^[a-z0-9-]+: " "$log" | grep -v "^Loaded\|^No HNSW" | tail -1
  else echo "FAILED: $name"; tail -30 "$log"; failed=1; fi
  rm -f "$log"
}
run crash-states "$BUILD/reliability/reliability_crash_states" $LONG
run io-errors "$BUILD/reliability/reliability_io_errors" $LONG
run kill-points "$BUILD/reliability/reliability_kill_points" $LONG
run byte-damage env ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$ASAN_BUILD/reliability/reliability_byte_damage"
export PYTHONPATH="$PWD/$BUILD/python:$PWD/python"
run kill-9 .venv/bin/python reliability/kill_sync.py $LONG
run model .venv/bin/python reliability/model_test.py $LONG
# The interpreter is not instrumented, so the sanitizer runtime is preloaded for the extension.
run hostile env PYTHONPATH="$PWD/$ASAN_BUILD/python:$PWD/python" \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1 RELIABILITY_REQUIRE_ASAN=1 \
  .venv/bin/python reliability/hostile_input.py $LONG

# libFuzzer: the seeds and kept regression inputs are replayed first (they start the corpus); a
# new crasher is written beside them, to be kept as a regression input once the fault is mended.
# Seeds are rewritten by `reliability_corpus_seeds reliability/corpus` when a format changes.
if command -v clang++ >/dev/null 2>&1; then
  FUZZ=build/reliability-fuzz
  CXX=clang++ cmake -S . -B "$FUZZ" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARADB_BUILD_RELIABILITY=ON -DTESSARADB_FUZZ=ON -DTESSARADB_BUILD_PYTHON=OFF \
    -DTESSARADB_BUILD_BENCH=OFF "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null &&
    cmake --build "$FUZZ" -j "$JOBS" --target reliability_fuzz_decoders reliability_fuzz_segments \
      reliability_fuzz_hnsw >/dev/null || failed=1
  for target in decoders segments hnsw; do
    work=$(mktemp -d); cp reliability/corpus/$target/* "$work"/ 2>/dev/null
    seconds=30; [ -n "$LONG" ] && seconds=600
    log=$(mktemp)
    "$FUZZ/reliability/reliability_fuzz_$target" "$work" -max_total_time=$seconds -rss_limit_mb=1024 \
      -timeout=10 -artifact_prefix="$PWD/reliability/corpus/$target/" >"$log" 2>&1
    rc=$?
    runs=$(grep -oE "Done [0-9]+ runs" "$log" | grep -oE "[0-9]+" || echo 0)
    crashes=$(grep -c "ERROR: libFuzzer: deadly signal\|ERROR: AddressSanitizer\|runtime error" "$log")
    ooms=$(grep -c "out-of-memory" "$log"); timeouts=$(grep -c "ERROR: libFuzzer: timeout" "$log")
    echo "fuzz-$target: ${runs:-0} executions, crashes=$crashes, oom=$ooms, timeouts=$timeouts"
    [ $rc -ne 0 ] && { failed=1; tail -30 "$log"; }
    rm -rf "$work" "$log"
  done
else
  echo "fuzz: skipped (clang++ not installed)"
fi

echo "reliability: $(( $(date +%s) - start )) s"
exit $failed
