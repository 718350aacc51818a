"""Cost of handing embeddings to the extension: plain lists against numpy arrays (which take the
buffer fast path), for remember_embedding and ask_embedding, at two dimensions. The "convert"
row isolates the conversion: an embedding one element too long is converted in full and then
refused by the length check before any database work.

Run with the extension on the path, e.g.
  PYTHONPATH=build/release/python:python .venv/bin/python bench/python/python_embedding_bench.py
Prints medians of several rounds, measured in one run, and the list/numpy ratio.
"""
import statistics
import sys
import tempfile
import time

import numpy as np
import tessaradb

ROUNDS = 7
CALLS = 300


def median_us(fn, args_list):
    samples = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for args in args_list:
            fn(args)
        samples.append((time.perf_counter() - start) / len(args_list) * 1e6)
    return statistics.median(samples)


def main():
    rng = np.random.default_rng(12345)
    print(f"{'dimension':>9} {'call':<20} {'list us':>9} {'float32 us':>11} {'float64 us':>11} "
          f"{'list/f32':>9}")
    for dimension in (384, 1536):
        with tempfile.TemporaryDirectory() as path:
            db = tessaradb.TessaraDB.open(path, dimension=dimension, sync="async",
                                          index_mode="exact", max_entries=None)
            vectors = rng.standard_normal((CALLS, dimension))
            forms = {"list": [v.tolist() for v in vectors],
                     "float32": [v.astype(np.float32) for v in vectors],
                     "float64": list(vectors)}
            remember = {name: median_us(db.remember_embedding, data) for name, data in forms.items()}
            ask = {name: median_us(lambda e: db.ask_embedding(e, top_k=5), data[:50])
                   for name, data in forms.items()}
            long_forms = {"list": [v.tolist() + [0.0] for v in vectors],
                          "float32": [np.append(v, 0.0).astype(np.float32) for v in vectors],
                          "float64": [np.append(v, 0.0) for v in vectors]}

            def convert_only(embedding):
                try:
                    db.ask_embedding(embedding)
                except tessaradb.TessaraDBError:
                    pass

            convert = {name: median_us(convert_only, data) for name, data in long_forms.items()}
            for call, figures in (("convert", convert), ("remember_embedding", remember),
                                  ("ask_embedding", ask)):
                print(f"{dimension:>9} {call:<20} {figures['list']:>9.1f} {figures['float32']:>11.1f} "
                      f"{figures['float64']:>11.1f} {figures['list'] / figures['float32']:>9.2f}")
            del db
    return 0


if __name__ == "__main__":
    sys.exit(main())
