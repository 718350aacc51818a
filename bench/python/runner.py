"""One engine, one phase, in a process of its own; prints one JSON object on its last line.

    runner.py ENGINE PHASE --data rows.npz --dir DB_DIR [--rows N] [--one-at-a-time N]

Phases:
  build    inserts the data set's rows one at a time (then in batches for the engines whose
           one-at-a-time ingest is capped, where they have a batch call), closes the database
           and reports per-window insert times and bytes on disk.
  serve    opens what `build` left (timed, up to the first answer), runs the 1,000 held-out
           queries with one and two client threads, sweeps the search parameter where the
           engine has one, and reports latencies, recall@10 and peak RSS.
  crash    TessaraDB only: a child inserts rows under async without flushing and kills itself
           with SIGKILL; the parent times the recovering open and counts what came back.

Each engine is a small class with the same few methods; everything an engine needs is
imported inside it, so a missing peer only fails its own process.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

DIMENSION = 384
M, EF_CONSTRUCTION, EF_SEARCH = 16, 200, 50  # TessaraDB's HNSW defaults, given to every HNSW peer
SWEEP = [10, 20, 50, 100, 200, 400]


def current_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def dir_bytes(path: str) -> int:
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return total


# --- engines ------------------------------------------------------------------------------


class TessaraEngine:
    has_batch = False

    def __init__(self, path: str, mode: str, sync: str) -> None:
        self.path, self.mode, self.sync = path, mode, sync
        self.sweep_name = "ef_search" if mode == "hnsw" else None
        import tessaradb

        self.module = tessaradb

    def set_search(self, value: int) -> None:
        # ef_search is fixed for the life of a handle: reopen with the new value (the graph
        # comes back from its file, so this costs a load, not a rebuild).
        del self.db
        self.mode = {"type": "hnsw", "m": M, "ef_construction": EF_CONSTRUCTION, "ef_search": value}
        self.open()

    def open(self) -> None:
        self.db = self.module.TessaraDB.open(self.path, dimension=DIMENSION, sync=self.sync,
                                             index_mode=self.mode, max_entries=None)

    def insert(self, key: int, vector: np.ndarray) -> None:
        self.db.remember_embedding(vector)

    def before_last_tenth(self) -> None:
        # The reopen is measured from a checkpoint plus a log tail, as a long-running agent leaves it.
        self.db.checkpoint()

    def close(self) -> None:
        self.db.flush()
        del self.db

    def count(self) -> int:
        return len(self.db)

    def search(self, query: np.ndarray, k: int) -> list[int]:
        # Identifiers start at 1 in insertion order; the data set's rows start at 0.
        return [hit.id - 1 for hit in self.db.ask_embedding(query, top_k=k)]


class NumpyEngine:
    """A float32 matrix, appended to row by row, saved as .npy; queries are one matrix-vector scan."""

    sweep_name = None
    has_batch = True

    def __init__(self, path: str) -> None:
        self.file = os.path.join(path, "vectors.npy")
        os.makedirs(path, exist_ok=True)

    def open(self) -> None:
        self.rows = np.load(self.file) if os.path.exists(self.file) else None
        self.n = 0 if self.rows is None else len(self.rows)

    def insert(self, key: int, vector: np.ndarray) -> None:
        if self.rows is None or self.n == len(self.rows):  # amortised doubling, as a list would
            grown = np.empty((max(1024, 2 * self.n), DIMENSION), dtype=np.float32)
            if self.n:
                grown[: self.n] = self.rows[: self.n]
            self.rows = grown
        self.rows[self.n] = vector
        self.n += 1

    def insert_batch(self, start: int, vectors: np.ndarray) -> None:
        for i, v in enumerate(vectors):
            self.insert(start + i, v)

    def close(self) -> None:
        np.save(self.file, self.rows[: self.n])

    def count(self) -> int:
        return self.n

    def search(self, query: np.ndarray, k: int) -> list[int]:
        scores = self.rows[: self.n] @ query
        top = np.argpartition(-scores, k - 1)[:k]
        return top[np.argsort(-scores[top])].tolist()


class HnswlibEngine:
    sweep_name = "ef"
    has_batch = True

    def __init__(self, path: str, capacity: int) -> None:
        import hnswlib

        self.hnswlib, self.file, self.capacity = hnswlib, os.path.join(path, "index.bin"), capacity
        os.makedirs(path, exist_ok=True)

    def open(self) -> None:
        self.index = self.hnswlib.Index(space="cosine", dim=DIMENSION)
        if os.path.exists(self.file):
            self.index.load_index(self.file, max_elements=self.capacity)
        else:
            self.index.init_index(max_elements=self.capacity, M=M, ef_construction=EF_CONSTRUCTION)
        self.index.set_ef(EF_SEARCH)

    def insert(self, key: int, vector: np.ndarray) -> None:
        self.index.add_items(vector[None, :], [key])

    def insert_batch(self, start: int, vectors: np.ndarray) -> None:
        self.index.add_items(vectors, np.arange(start, start + len(vectors)))

    def set_search(self, value: int) -> None:
        self.index.set_ef(max(value, 10))

    def close(self) -> None:
        self.index.save_index(self.file)

    def count(self) -> int:
        return self.index.get_current_count()

    def search(self, query: np.ndarray, k: int) -> list[int]:
        labels, _ = self.index.knn_query(query, k=k)
        return labels[0].tolist()


class UsearchEngine:
    sweep_name = "expansion_search"
    has_batch = True

    def __init__(self, path: str) -> None:
        from usearch.index import Index

        self.Index, self.file = Index, os.path.join(path, "index.usearch")
        os.makedirs(path, exist_ok=True)

    def open(self) -> None:
        self.index = self.Index(ndim=DIMENSION, metric="cos", dtype="f32", connectivity=M,
                                expansion_add=EF_CONSTRUCTION, expansion_search=EF_SEARCH)
        if os.path.exists(self.file):
            self.index.load(self.file)

    def insert(self, key: int, vector: np.ndarray) -> None:
        self.index.add(key, vector)

    def insert_batch(self, start: int, vectors: np.ndarray) -> None:
        self.index.add(np.arange(start, start + len(vectors)), vectors)

    def set_search(self, value: int) -> None:
        self.index.expansion_search = value

    def close(self) -> None:
        self.index.save(self.file)

    def count(self) -> int:
        return len(self.index)

    def search(self, query: np.ndarray, k: int) -> list[int]:
        return self.index.search(query, k).keys.tolist()


class SqliteVecEngine:
    """A vec0 table (exact scan); one insert is one committed transaction, WAL with synchronous=NORMAL."""

    sweep_name = None
    has_batch = True

    def __init__(self, path: str) -> None:
        import sqlite3

        import sqlite_vec

        if not hasattr(sqlite3.Connection, "enable_load_extension"):
            # This interpreter's sqlite3 was built without extension loading; the peers'
            # environment brings pysqlite3-binary, the same module with it enabled.
            import pysqlite3 as sqlite3

        self.sqlite3, self.sqlite_vec, self.file = sqlite3, sqlite_vec, os.path.join(path, "db.sqlite")
        os.makedirs(path, exist_ok=True)

    def open(self) -> None:
        self.conn = self.sqlite3.connect(self.file, isolation_level=None, check_same_thread=False)
        self.conn.enable_load_extension(True)
        self.sqlite_vec.load(self.conn)
        self.conn.execute("PRAGMA journal_mode=WAL")
        self.conn.execute("PRAGMA synchronous=NORMAL")
        self.conn.execute(f"CREATE VIRTUAL TABLE IF NOT EXISTS v USING vec0("
                          f"embedding float[{DIMENSION}] distance_metric=cosine)")
        self.lock = threading.Lock()  # one connection; sqlite serialises it anyway

    def insert(self, key: int, vector: np.ndarray) -> None:
        self.conn.execute("INSERT INTO v(rowid, embedding) VALUES (?, ?)", (key + 1, vector.tobytes()))

    def insert_batch(self, start: int, vectors: np.ndarray) -> None:
        self.conn.execute("BEGIN")
        self.conn.executemany("INSERT INTO v(rowid, embedding) VALUES (?, ?)",
                              [(start + i + 1, v.tobytes()) for i, v in enumerate(vectors)])
        self.conn.execute("COMMIT")

    def close(self) -> None:
        self.conn.close()

    def count(self) -> int:
        return self.conn.execute("SELECT count(*) FROM v").fetchone()[0]

    def search(self, query: np.ndarray, k: int) -> list[int]:
        with self.lock:
            rows = self.conn.execute("SELECT rowid FROM v WHERE embedding MATCH ? AND k = ? "
                                     "ORDER BY distance", (query.tobytes(), k)).fetchall()
        return [r[0] - 1 for r in rows]


class ChromaEngine:
    # Runs at ef_search 50 only: changing it on an open collection did not reach its index in
    # our trials (recall stayed the same at every value), so a sweep would be misleading.
    sweep_name = None
    has_batch = True

    def __init__(self, path: str) -> None:
        import chromadb

        self.chromadb, self.path = chromadb, path

    def open(self) -> None:
        settings = self.chromadb.config.Settings(anonymized_telemetry=False)
        self.client = self.chromadb.PersistentClient(path=self.path, settings=settings)
        self.collection = self.client.get_or_create_collection(
            "bench", embedding_function=None,
            metadata={"hnsw:space": "cosine", "hnsw:M": M, "hnsw:construction_ef": EF_CONSTRUCTION,
                      "hnsw:search_ef": EF_SEARCH})

    def insert(self, key: int, vector: np.ndarray) -> None:
        self.collection.add(ids=[str(key)], embeddings=vector[None, :])

    def insert_batch(self, start: int, vectors: np.ndarray) -> None:
        step = 5000  # below the client's maximum batch size
        for s in range(0, len(vectors), step):
            part = vectors[s:s + step]
            self.collection.add(ids=[str(start + s + i) for i in range(len(part))], embeddings=part)

    def close(self) -> None:
        del self.collection, self.client

    def count(self) -> int:
        return self.collection.count()

    def search(self, query: np.ndarray, k: int) -> list[int]:
        result = self.collection.query(query_embeddings=query[None, :], n_results=k, include=[])
        return [int(i) for i in result["ids"][0]]


class LanceEngine:
    """Flat (exact) search; one-at-a-time adds are capped and the table is compacted at close."""

    sweep_name = None
    has_batch = True

    def __init__(self, path: str) -> None:
        import lancedb
        import pyarrow as pa

        self.lancedb, self.pa, self.path = lancedb, pa, path

    def _table(self, start: int, vectors: np.ndarray):
        ids = self.pa.array(np.arange(start, start + len(vectors)), type=self.pa.int64())
        flat = self.pa.array(vectors.reshape(-1), type=self.pa.float32())
        return self.pa.Table.from_arrays(
            [ids, self.pa.FixedSizeListArray.from_arrays(flat, DIMENSION)], names=["id", "vector"])

    def open(self) -> None:
        self.db = self.lancedb.connect(self.path)
        self.table = self.db.open_table("bench") if "bench" in self.db.table_names() else None

    def insert(self, key: int, vector: np.ndarray) -> None:
        self.insert_batch(key, vector[None, :])

    def insert_batch(self, start: int, vectors: np.ndarray) -> None:
        data = self._table(start, vectors)
        if self.table is None:
            self.table = self.db.create_table("bench", data)
        else:
            self.table.add(data)

    def close(self) -> None:
        try:
            self.table.optimize()
        except Exception as error:  # older releases name it compact_files
            print(f"lancedb optimize: {error}", file=sys.stderr)

    def count(self) -> int:
        return self.table.count_rows()

    def search(self, query: np.ndarray, k: int) -> list[int]:
        result = (self.table.search(query).distance_type("cosine").limit(k)
                  .select(["id"]).to_arrow())
        return result.column("id").to_pylist()


def make_engine(name: str, path: str, rows: int):
    if name.startswith("tessaradb-"):
        _, mode, sync = name.split("-")
        return TessaraEngine(path, mode, sync)
    return {"numpy": lambda: NumpyEngine(path), "hnswlib": lambda: HnswlibEngine(path, rows),
            "usearch": lambda: UsearchEngine(path), "sqlite-vec": lambda: SqliteVecEngine(path),
            "chromadb": lambda: ChromaEngine(path), "lancedb": lambda: LanceEngine(path)}[name]()


# --- phases -------------------------------------------------------------------------------


def build(engine, base: np.ndarray, one_at_a_time: int, windows: int) -> dict:
    engine.open()
    one = min(one_at_a_time, len(base))
    tenth = len(base) - len(base) // 10
    edges = np.unique(np.linspace(0, one, windows + 1).astype(int))
    window_times = []
    paused = 0.0
    start = time.perf_counter()
    for w in range(len(edges) - 1):
        w_start = time.perf_counter()
        for i in range(edges[w], edges[w + 1]):
            if i == tenth and hasattr(engine, "before_last_tenth"):
                p = time.perf_counter()
                engine.before_last_tenth()
                paused += time.perf_counter() - p
                w_start += time.perf_counter() - p
            engine.insert(i, base[i])
        window_times.append(time.perf_counter() - w_start)
    one_seconds = time.perf_counter() - start - paused
    batch_seconds = None
    if one < len(base):
        b = time.perf_counter()
        engine.insert_batch(one, base[one:])
        batch_seconds = time.perf_counter() - b
    c = time.perf_counter()
    engine.close()
    close_seconds = time.perf_counter() - c
    return {"rows": len(base), "one_rows": one, "one_seconds": one_seconds,
            "window_edges": edges.tolist(), "window_seconds": window_times,
            "batch_rows": len(base) - one, "batch_seconds": batch_seconds,
            "close_seconds": close_seconds, "peak_rss": peak_rss()}


def latencies(engine, queries: np.ndarray, k: int, threads: int):
    out = [0.0] * len(queries)
    found = [None] * len(queries)

    def run(indices):
        for i in indices:
            t = time.perf_counter()
            found[i] = engine.search(queries[i], k)
            out[i] = time.perf_counter() - t

    wall = time.perf_counter()
    if threads == 1:
        run(range(len(queries)))
    else:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(run, [range(t, len(queries), threads) for t in range(threads)]))
    wall = time.perf_counter() - wall
    return np.array(out), found, wall


def recall(found, truth: np.ndarray, k: int) -> float:
    hits = sum(len(set(f[:k]) & set(t[:k].tolist())) for f, t in zip(found, truth))
    return hits / (k * len(truth))


def serve(engine, queries: np.ndarray, truth: np.ndarray, sweep: bool) -> dict:
    baseline = current_rss()
    t = time.perf_counter()
    engine.open()
    engine.search(queries[0], 10)
    reopen = time.perf_counter() - t
    result = {"reopen_seconds": reopen, "count": engine.count(), "rss_before_open": baseline}
    for threads in (1, 2):
        lat, found, wall = latencies(engine, queries, 10, threads)
        result[f"p50_{threads}t"] = float(np.percentile(lat, 50))
        result[f"p99_{threads}t"] = float(np.percentile(lat, 99))
        result[f"qps_{threads}t"] = len(queries) / wall
        result[f"recall_{threads}t"] = recall(found, truth, 10)
    if sweep and engine.sweep_name:
        points = []
        for value in SWEEP:
            engine.set_search(value)
            lat, found, _ = latencies(engine, queries, 10, 1)
            points.append({"param": value, "p50": float(np.percentile(lat, 50)),
                           "recall": recall(found, truth, 10)})
        result["sweep"] = {"name": engine.sweep_name, "points": points}
    result["peak_rss"] = peak_rss()
    engine.close()
    return result


def crash(path: str, base: np.ndarray, rows: int) -> dict:
    """Inserts `rows` under async in a child that SIGKILLs itself without a flush, then recovers."""
    code = ("import sys, os, signal, numpy as np, tessaradb\n"
            f"base = np.load({path!r} + '.vectors.npy')\n"
            f"db = tessaradb.TessaraDB.open({path!r}, dimension={DIMENSION}, sync='async', "
            "index_mode='exact', max_entries=None)\n"
            "for v in base: db.remember_embedding(v)\n"
            "os.kill(os.getpid(), signal.SIGKILL)\n")
    path = os.path.abspath(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    np.save(path + ".vectors.npy", base[:rows])
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    os.unlink(path + ".vectors.npy")
    engine = TessaraEngine(path, "exact", "async")
    t = time.perf_counter()
    engine.open()
    seconds = time.perf_counter() - t
    return {"killed": child.returncode == -signal.SIGKILL, "inserted": rows,
            "recovered": engine.count(), "recover_seconds": seconds}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("engine")
    parser.add_argument("phase", choices=["build", "serve", "crash"])
    parser.add_argument("--data", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--rows", type=int, default=None)
    parser.add_argument("--one-at-a-time", type=int, default=None)
    parser.add_argument("--windows", type=int, default=20)
    parser.add_argument("--sweep", action="store_true")
    parser.add_argument("--queries", type=int, default=None, help="use the first N queries only")
    args = parser.parse_args()

    data = np.load(args.data)
    if args.phase == "serve":
        queries, truth = data["queries"][: args.queries], data["truth"][: args.queries]
        del data
        engine = make_engine(args.engine, args.dir, 0)
        result = serve(engine, queries, truth, args.sweep)
    else:
        base = data["base"][: args.rows] if args.rows else data["base"]
        if args.phase == "crash":
            result = crash(args.dir, base, len(base))
        else:
            engine = make_engine(args.engine, args.dir, len(base))
            result = build(engine, base, args.one_at_a_time or len(base), args.windows)
            result["disk_bytes"] = dir_bytes(args.dir)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
