"""TessaraDB methods: remember, ask, get, delete, connect, neighbours, maintenance, protocols."""
import re
import time

import pytest
from conftest import DIM, vec
from tessaradb import (Hit, Memory, Stats, TessaraDB, TessaraDBError, TessaraDBNotFoundError)


def test_remember_and_get_round_trip(db):
    before = int(time.time())
    plain = db.remember_embedding(vec(1, 2))
    rich = db.remember_embedding(vec(3, 4), metadata={"k": "v", "\u00fc": "\u2603"},
                                 namespace="agent-\u00e9", content="h\u00e9llo")
    after = int(time.time())
    m = db.get(plain)
    assert type(m) is Memory
    assert (m.id, m.namespace, m.content, m.metadata, m.importance) == (plain, "default", b"", {}, 0.0)
    assert before <= m.created_at <= after
    r = db.get(rich)
    assert (r.namespace, r.content, r.metadata) == ("agent-\u00e9", "h\u00e9llo".encode(),
                                                    {"k": "v", "\u00fc": "\u2603"})
    assert repr(r) == f"Memory(id={rich}, namespace='agent-\u00e9', created_at={r.created_at})"


def test_memory_values_are_copies(db):
    mid = db.remember_embedding(vec(1), metadata={"a": "b"})
    memory = db.get(mid)
    first = memory.metadata
    first["a"] = "changed"
    assert memory.metadata == {"a": "b"} and memory.metadata is not memory.metadata
    with pytest.raises(AttributeError):
        memory.namespace = "other"
    with pytest.raises(AttributeError):
        memory.embedding  # noqa: B018 -- not part of the class


def test_empty_metadata_dict_is_kept(db):
    mid = db.remember_embedding(vec(1), metadata={})
    assert db.get(mid).metadata == {}
    assert [h.id for h in db.ask_embedding(vec(1), filter={})] == [mid]


METHODS_TAKING_EMBEDDINGS = [
    lambda db, e: db.remember_embedding(e),
    lambda db, e: db.ask_embedding(e),
    lambda db, e: db.ask_in_namespace("default", e),
]
IDS = ["remember_embedding", "ask_embedding", "ask_in_namespace"]


@pytest.mark.parametrize("call", METHODS_TAKING_EMBEDDINGS, ids=IDS)
@pytest.mark.parametrize("length", [DIM - 1, DIM + 1, 0])
def test_embedding_length_is_checked(db, call, length):
    db.remember_embedding(vec(1))
    message = f"embedding dimension mismatch: expected {DIM}, got {length}"
    with pytest.raises(TessaraDBError, match="^" + re.escape(message) + "$") as info:
        call(db, [0.5] * length)
    assert type(info.value) is TessaraDBError
    assert len(db) == 1


@pytest.mark.parametrize("call", METHODS_TAKING_EMBEDDINGS, ids=IDS)
@pytest.mark.parametrize("embedding, message", [
    ("abc", "argument 'embedding': Can't extract `str` to `Vec`"),
    (5, "argument 'embedding': 'int' object cannot be converted to 'Sequence'"),
    ([1.0, "x"], "argument 'embedding': must be real number, not str"),
    ({"a": 1.0}, "argument 'embedding': 'dict' object cannot be converted to 'Sequence'"),
], ids=["str", "int", "str-element", "dict"])
def test_embedding_conversion_errors_come_before_the_length_check(db, call, embedding, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(db, embedding)


@pytest.mark.parametrize("call, message", [
    (lambda db: db.remember_embedding(vec(1), namespace=None),
     "argument 'namespace': 'NoneType' object cannot be converted to 'str'"),
    (lambda db: db.remember_embedding(vec(1), content=None),
     "argument 'content': 'NoneType' object cannot be converted to 'str'"),
    (lambda db: db.remember_embedding(vec(1), content=b"bytes"),
     "argument 'content': 'bytes' object cannot be converted to 'str'"),
    (lambda db: db.remember_embedding(vec(1), metadata={"k": 1}),
     "argument 'metadata': 'int' object cannot be converted to 'str'"),
    (lambda db: db.remember_embedding(vec(1), metadata=[("k", "v")]),
     "argument 'metadata': 'list' object cannot be converted to 'dict'"),
    (lambda db: db.ask_embedding(vec(1), filter={"k": None}),
     "argument 'filter': 'NoneType' object cannot be converted to 'str'"),
    (lambda db: db.ask_in_namespace(None, vec(1)),
     "argument 'namespace': 'NoneType' object cannot be converted to 'str'"),
    (lambda db: db.ask_embedding(vec(1), 3),
     "TessaraDB.ask_embedding() takes 1 positional arguments but 2 were given"),
    (lambda db: db.remember_embedding(vec(1), {"k": "v"}),
     "TessaraDB.remember_embedding() takes 1 positional arguments but 2 were given"),
    (lambda db: db.remember_embedding(),
     "TessaraDB.remember_embedding() missing 1 required positional argument: 'embedding'"),
    (lambda db: db.ask_in_namespace(vec(1)),
     "TessaraDB.ask_in_namespace() missing 1 required positional argument: 'embedding'"),
    (lambda db: db.ask_embedding(embedding=vec(1), topk=3),
     "TessaraDB.ask_embedding() got an unexpected keyword argument 'topk'"),
    (lambda db: db.connect(1, 2, relation=None),
     "argument 'relation': 'NoneType' object cannot be converted to 'str'"),
    (lambda db: db.get(mid=1, id=2),
     "TessaraDB.get() got an unexpected keyword argument 'id'"),
    (lambda db: db.get(1, mid=1),
     "TessaraDB.get() got multiple values for argument 'mid'"),
    (lambda db: db.flush(True), "TessaraDB.flush() takes 0 positional arguments but 1 was given"),
    (lambda db: db.__exit__(None, None),
     "TessaraDB.__exit__() missing 1 required positional argument: '_traceback'"),
], ids=["namespace-none", "content-none", "content-bytes", "metadata-value", "metadata-list",
        "filter-value", "ask-namespace-none", "top_k-positional", "metadata-positional",
        "no-embedding", "ask-in-namespace-one-arg", "unknown-keyword", "relation-none",
        "get-unknown", "get-twice", "flush-argument", "exit-two"])
def test_argument_errors(db, call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(db)
    assert len(db) == 0


@pytest.mark.parametrize("call", [
    lambda db: db.get(-1),
    lambda db: db.delete_memory(-1),
    lambda db: db.connect(-1, 1, "next"),
    lambda db: db.connect(1, 2**64, "next"),
    lambda db: db.get_neighbors(-3),
    lambda db: db.ask_embedding(vec(1), top_k=-1),
], ids=["get", "delete_memory", "connect-from", "connect-to-too-big", "get_neighbors", "top_k"])
def test_out_of_range_ids_overflow(db, call):
    with pytest.raises(OverflowError, match="^argument '"):
        call(db)


def test_missing_ids(db):
    db.remember_embedding(vec(1))
    with pytest.raises(TessaraDBNotFoundError, match="^Memory ID 42 not found$"):
        db.get(42)
    with pytest.raises(TessaraDBError) as info:
        db.get_neighbors(42)
    assert type(info.value) is TessaraDBError
    assert str(info.value) == "State machine error: Memory not found: MemoryId(42)"
    with pytest.raises(TessaraDBError) as info:
        db.delete_memory(42)
    assert type(info.value) is TessaraDBError
    assert str(info.value) == "Engine error: Segment error: Entry not found: MemoryId(42)"
    assert len(db) == 1


def test_query_errors_drop_the_store_prefix(db):
    with pytest.raises(TessaraDBError, match="^Query error: Vector error: No embeddings indexed$"):
        db.ask_embedding(vec(1))
    db.remember_embedding(vec(1))
    for call in (lambda: db.ask_embedding(vec(1), top_k=0),
                 lambda: db.ask_in_namespace("default", vec(1), top_k=0)):
        with pytest.raises(TessaraDBError, match=r"^Query error: Invalid top_k: 0$"):
            call()


def test_ask_ranks_by_similarity(db):
    near = db.remember_embedding(vec(1, 0.1))
    far = db.remember_embedding(vec(-1, 0.5))
    middle = db.remember_embedding(vec(0.5, 1))
    hits = db.ask_embedding(vec(1, 0), top_k=3)
    assert [type(h) for h in hits] == [Hit] * 3
    assert [h.id for h in hits] == [near, middle, far]
    assert hits[0].score >= hits[1].score >= hits[2].score
    assert [h.id for h in db.ask_embedding(vec(1, 0), top_k=1)] == [near]


def test_ask_with_metadata_filter(db):
    db.remember_embedding(vec(1), metadata={"kind": "a"})
    wanted = db.remember_embedding(vec(0.9, 0.1), metadata={"kind": "b", "x": "y"})
    assert [h.id for h in db.ask_embedding(vec(1), top_k=5, filter={"kind": "b"})] == [wanted]
    assert db.ask_embedding(vec(1), top_k=5, filter={"kind": "c"}) == []


def test_ask_in_namespace_stays_in_its_namespace(db):
    ours = [db.remember_embedding(vec(1, i / 10), namespace="ours") for i in range(4)]
    for i in range(6):
        db.remember_embedding(vec(1, i / 10), namespace="theirs")
    hits = db.ask_in_namespace("ours", vec(1), top_k=3)
    assert len(hits) == 3 and {h.id for h in hits} <= set(ours)
    assert {h.id for h in db.ask_in_namespace("ours", vec(1), top_k=10)} == set(ours)
    assert db.ask_in_namespace(namespace="nobody", embedding=vec(1)) == []


def test_delete_memory(db):
    keep = db.remember_embedding(vec(1))
    gone = db.remember_embedding(vec(1, 1))
    assert db.delete_memory(gone) is None
    with pytest.raises(TessaraDBNotFoundError):
        db.get(gone)
    assert [h.id for h in db.ask_embedding(vec(1, 1), top_k=5)] == [keep]
    assert len(db) == 1


def test_connect_and_neighbors(db):
    a, b, c = (db.remember_embedding(vec(i + 1)) for i in range(3))
    assert db.connect(a, c, "next") is None
    db.connect(a, b, "z-label")
    db.connect(from_id=a, to_id=b, relation="a-label")
    assert db.get_neighbors(a) == [(b, "a-label"), (b, "z-label"), (c, "next")]
    assert db.get_neighbors(id=b) == []


def test_connect_refusals(db):
    a = db.remember_embedding(vec(1), namespace="a")
    b = db.remember_embedding(vec(1), namespace="b")
    wal = db.stats().wal_length
    with pytest.raises(TessaraDBError) as info:
        db.connect(a, b, "x")
    assert str(info.value) == (f"Engine error: State machine error: Cross-namespace edge is not "
                               f"allowed: from=MemoryId({a}) (a) to=MemoryId({b}) (b)")
    with pytest.raises(TessaraDBError, match=r"MemoryId\(99\)"):
        db.connect(a, 99, "x")
    assert db.stats().wal_length == wal


def test_maintenance_and_stats(db):
    for i in range(5):
        db.remember_embedding(vec(1, i))
    db.delete_memory(2)
    assert db.flush() is None
    assert db.compact() is None
    before = db.stats()
    assert db.checkpoint() is None
    after = db.stats()
    assert type(after) is Stats
    assert (after.entries, after.indexed_embeddings, after.vector_dimension,
            after.storage_version) == (4, 4, DIM, 1)
    assert after.wal_length <= before.wal_length
    assert repr(after) == (f"Stats(entries=4, indexed_embeddings=4, wal_length={after.wal_length}, "
                           f"vector_dimension={DIM}, storage_version=1)")
    assert [h.id for h in db.ask_embedding(vec(1, 4), top_k=1)] == [5]


def test_repr_and_len(tmp_path):
    from conftest import open_db
    db = open_db(tmp_path / "db", dimension=128)
    assert repr(db) == "TessaraDB(entries=0, dimension=128, indexed=0)"
    assert len(db) == 0
    db.remember_embedding([0.5] * 128)
    assert repr(db) == "TessaraDB(entries=1, dimension=128, indexed=1)"
    assert len(db) == db.stats().entries == 1


def test_context_manager_yields_the_handle_and_does_not_close(db):
    with db as inside:
        assert inside is db
        mid = db.remember_embedding(vec(1))
    assert db.get(mid).id == mid  # still open
    with pytest.raises(KeyError):
        with db:
            raise KeyError("propagates")
    assert db.__exit__(None, None, None) is False


def test_method_text_signatures():
    expected = {
        "open": "(path, *, dimension, sync='strict', index_mode='exact', max_entries=None)",
        "remember_embedding": "(self, embedding, *, metadata=None, namespace='default', content='')",
        "ask_embedding": "(self, embedding, *, top_k=5, filter=None)",
        "ask_in_namespace": "(self, namespace, embedding, *, top_k=5, filter=None)",
        "get": "(self, mid)",
        "delete_memory": "(self, mid)",
        "connect": "(self, from_id, to_id, relation)",
        "get_neighbors": "(self, id)",
        "compact": "(self)",
        "flush": "(self)",
        "checkpoint": "(self)",
        "stats": "(self)",
        "__enter__": "($self)",
        "__exit__": "($self, _exc_type, _exc_value, _traceback)",
    }
    for name, signature in expected.items():
        assert getattr(TessaraDB, name).__text_signature__ == signature, name
    assert TessaraDB.__text_signature__ is None
    assert TessaraDB.__doc__.startswith("Embedded vector + graph memory database for AI agents.")
    assert TessaraDB.get.__doc__ == "Retrieve a full memory by ID.\n"


def test_handle_has_no_instance_dict(db):
    with pytest.raises(AttributeError):
        db.extra = 1


VALUES = [0.1, -2.5, 1 / 3, 1e-40, 123456.789, 2.5, -0.3, 7.0000001]


def embedding_forms():
    np = pytest.importorskip("numpy")
    import array
    wide = np.array(VALUES, dtype=np.float64)
    return {
        "list": list(VALUES),
        "tuple": tuple(VALUES),
        "float64": wide,
        "float32": wide.astype(np.float32),
        "strided": np.repeat(wide, 2)[::2],
        "big-endian": wide.astype(">f8"),
        "array-module": memoryview(array.array("d", VALUES)),
        "numpy-scalars": [np.float64(v) for v in VALUES],
    }


def test_buffer_embeddings_give_the_same_values_as_lists(exact_db):
    forms = embedding_forms()
    for name, embedding in forms.items():
        exact_db.remember_embedding(embedding, namespace=name)
    exact_db.remember_embedding(vec(1, 1), namespace="decoy")
    query = [1.0, 2.0, -1.0, 0.5, 0.0, 3.0, 1.0, -2.0]
    scores = {name: [h.score for h in exact_db.ask_in_namespace(name, query)] for name in forms}
    reference = scores["list"]
    assert len(reference) == 1
    assert all(s == reference for s in scores.values()), scores
    for name, embedding in forms.items():
        assert exact_db.ask_embedding(embedding, top_k=1)[0].score == exact_db.ask_embedding(
            VALUES, top_k=1)[0].score, name


def test_unusable_buffers_are_refused_cleanly(exact_db):
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError, match="^argument 'embedding': "):
        exact_db.remember_embedding(np.ones((2, 4)))
    with pytest.raises(TessaraDBError, match="expected 8, got 0"):
        exact_db.remember_embedding(np.ones(0))
    assert exact_db.remember_embedding(np.arange(DIM)) == 1  # integers take the sequence path
