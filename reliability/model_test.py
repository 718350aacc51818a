"""Model test: random sequences of remember, delete, connect, flush, checkpoint, compaction and
reopen against a plain Python model; the database must equal the model after every step.

Prints: model: N sequences, M steps, mismatches=0.
"""

import shutil
import sys
import tempfile

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import _tessaradb

DIM = 4
COUNTS = {"sequences": 0, "steps": 0}


class DatabaseModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        COUNTS["sequences"] += 1
        self.dir = tempfile.mkdtemp()
        self.mode = "exact"
        self.db = self._open()
        self.memories = {}  # id -> (namespace, metadata, content)
        self.edges = {}  # id -> set of (to, relation)

    def _open(self):
        return _tessaradb.TessaraDB.open(self.dir + "/db", dimension=DIM, sync="strict",
                                         index_mode=self.mode, max_entries=None)

    def teardown(self):
        del self.db
        shutil.rmtree(self.dir, ignore_errors=True)

    @rule(ns=st.sampled_from(["default", "a"]), tag=st.sampled_from(["x", "y", ""]),
          content=st.text(max_size=8), seed=st.integers(0, 50))
    def remember(self, ns, tag, content, seed):
        meta = {"tag": tag} if tag else {}
        mid = self.db.remember_embedding([float(seed % 5 + 1), 1.0, float(seed % 3), 0.5],
                                         metadata=meta, namespace=ns, content=content)
        assert mid not in self.memories
        self.memories[mid] = (ns, meta, content.encode())
        self.edges[mid] = set()

    @precondition(lambda self: self.memories)
    @rule(data=st.data())
    def delete(self, data):
        mid = data.draw(st.sampled_from(sorted(self.memories)))
        self.db.delete_memory(mid)
        del self.memories[mid]
        del self.edges[mid]
        for targets in self.edges.values():
            targets -= {e for e in targets if e[0] == mid}

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
            del self.db
            self.mode = "hnsw" if step == "reopen-hnsw" else "exact"
            self.db = self._open()
        else:
            getattr(self.db, step)()

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
    print(f"model: {COUNTS['sequences']} sequences, {COUNTS['steps']} checked steps, mismatches=0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
