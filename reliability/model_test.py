"""Model test: random sequences of remember, delete, connect, flush, checkpoint, compaction,
reopen, eviction (databases opened with a capacity evict oldest first) and a crash between
writing a checkpoint and rewriting the log, against a plain Python model; the database must
equal the model after every step.

The crash after the checkpoint is recreated as the files it leaves: the log is copied before
`checkpoint()`, the handle is dropped, and the copy is put back, so the directory holds the new
checkpoint (and HNSW file) beside the whole old log, as when the process dies before the log's
prefix is cut. Recovery must replay that log over the checkpoint to the same state.

Prints: model: N sequences, M checked steps, mismatches=0 (with eviction and checkpoint-crash
step counts).
"""

import os
import shutil
import sys
import tempfile

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import _tessaradb

DIM = 4
COUNTS = {"sequences": 0, "steps": 0, "evictions": 0, "checkpoint_crashes": 0}


class DatabaseModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        COUNTS["sequences"] += 1
        self.dir = tempfile.mkdtemp()
        self.mode = "exact"
        self.capacity = None
        self.db = None
        self.memories = {}  # id -> (namespace, metadata, content)
        self.edges = {}  # id -> set of (to, relation)
        self.created = {}  # id -> created_at, for the eviction order

    def _open(self):
        return _tessaradb.TessaraDB.open(self.dir + "/db", dimension=DIM, sync="strict",
                                         index_mode=self.mode, max_entries=self.capacity)

    @initialize(capacity=st.sampled_from([None, None, 2, 5]))
    def open_database(self, capacity):
        self.capacity = capacity
        self.db = self._open()

    def teardown(self):
        self.db = None
        shutil.rmtree(self.dir, ignore_errors=True)

    def _forget(self, mid):
        del self.memories[mid]
        del self.edges[mid]
        del self.created[mid]
        for targets in self.edges.values():
            targets -= {e for e in targets if e[0] == mid}

    def _evict(self):
        # Oldest first: by created_at, then importance (always 0 here), then id.
        while self.capacity is not None and len(self.memories) > self.capacity:
            oldest = min(self.memories, key=lambda m: (self.created[m], m))
            self._forget(oldest)
            COUNTS["evictions"] += 1

    @rule(ns=st.sampled_from(["default", "a"]), tag=st.sampled_from(["x", "y", ""]),
          content=st.text(max_size=8), seed=st.integers(0, 50))
    def remember(self, ns, tag, content, seed):
        meta = {"tag": tag} if tag else {}
        mid = self.db.remember_embedding([float(seed % 5 + 1), 1.0, float(seed % 3), 0.5],
                                         metadata=meta, namespace=ns, content=content)
        assert mid not in self.memories
        self.memories[mid] = (ns, meta, content.encode())
        self.edges[mid] = set()
        self.created[mid] = self._created_at(mid)
        self._evict()

    def _created_at(self, mid):
        try:
            return self.db.get(mid).created_at
        except _tessaradb.TessaraDBNotFoundError:
            return -1  # evicted by its own write (a capacity of 0 is never drawn)

    @precondition(lambda self: self.memories)
    @rule(data=st.data())
    def delete(self, data):
        mid = data.draw(st.sampled_from(sorted(self.memories)))
        self.db.delete_memory(mid)
        self._forget(mid)

    @precondition(lambda self: self.memories)
    @rule(data=st.data(), relation=st.sampled_from(["next", "about"]))
    def connect(self, data, relation):
        a = data.draw(st.sampled_from(sorted(self.memories)))
        b = data.draw(st.sampled_from(sorted(self.memories)))
        if self.memories[a][0] != self.memories[b][0]:
            try:
                self.db.connect(a, b, relation)
            except _tessaradb.TessaraDBError:
                return
            raise AssertionError("cross-namespace edge accepted")
        self.db.connect(a, b, relation)
        self.edges[a].add((b, relation))

    @rule(step=st.sampled_from(["flush", "checkpoint", "compact", "reopen", "reopen-hnsw"]))
    def maintenance(self, step):
        if step.startswith("reopen"):
            self.db = None
            self.mode = "hnsw" if step == "reopen-hnsw" else "exact"
            self.db = self._open()
        else:
            getattr(self.db, step)()

    @rule()
    def checkpoint_then_crash_before_log_rewrite(self):
        log = os.path.join(self.dir, "db", "tessaradb.wal")
        with open(log, "rb") as f:
            before = f.read()
        self.db.checkpoint()
        self.db = None  # Strict: nothing is pending; the drop rewrites no log
        with open(log, "wb") as f:
            f.write(before)
        COUNTS["checkpoint_crashes"] += 1
        self.db = self._open()

    @precondition(lambda self: self.memories)
    @rule(data=st.data())
    def deleted_id_is_not_found(self, data):
        missing = max(self.memories) + data.draw(st.integers(1, 5))
        try:
            self.db.get(missing)
        except _tessaradb.TessaraDBNotFoundError:
            return
        raise AssertionError(f"absent id {missing} was found")

    @invariant()
    def equals_model(self):
        if self.db is None:
            return
        COUNTS["steps"] += 1
        assert len(self.db) == len(self.memories)
        for mid, (ns, meta, content) in self.memories.items():
            m = self.db.get(mid)
            assert (m.namespace, m.metadata, m.content) == (ns, meta, content), mid
            assert sorted(self.db.get_neighbors(mid)) == sorted(self.edges[mid]), mid


def main():
    long_run = "--long" in sys.argv
    DatabaseModel.TestCase.settings = settings(
        max_examples=2000 if long_run else 300, stateful_step_count=30, deadline=None,
        derandomize=not long_run, database=None,
        suppress_health_check=list(HealthCheck))
    DatabaseModel.TestCase("runTest").runTest()
    print(f"model: {COUNTS['sequences']} sequences, {COUNTS['steps']} checked steps, "
          f"evictions={COUNTS['evictions']}, checkpoint_crashes={COUNTS['checkpoint_crashes']}, "
          "mismatches=0")
    if not COUNTS["evictions"] or not COUNTS["checkpoint_crashes"]:
        print("model: eviction or checkpoint-crash steps never ran", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
