"""TessaraDB.open: argument checks in their order, configuration forms, reopening."""
import re

import pytest
from conftest import DIM, open_db, vec
from tessaradb import (TessaraDB, TessaraDBConfigError, TessaraDBError, TessaraDBIOError)

INDEX_SHAPE = "index_mode must be a string ('exact'/'hnsw') or dict with 'type' key"


@pytest.mark.parametrize("kwargs, message", [
    ({"dimension": 0, "sync": "nonsense", "index_mode": 5}, "dimension must be > 0"),
    ({"sync": "Sometimes"}, "unknown sync policy 'sometimes'. Valid values: 'strict', 'async', 'batch'"),
    ({"sync": "BAD", "index_mode": "bad"}, "unknown sync policy 'bad'. Valid values: 'strict', 'async', 'batch'"),
    ({"index_mode": "IVF"}, "unknown index_mode 'ivf'. Valid: 'exact', 'hnsw'"),
    ({"index_mode": 5}, INDEX_SHAPE),
    ({"index_mode": ["hnsw"]}, INDEX_SHAPE),
    ({"index_mode": {"type": "flat"}}, INDEX_SHAPE),
    ({"index_mode": {1: "hnsw"}}, INDEX_SHAPE),
], ids=["dimension-0-first", "sync-lowercased", "sync-before-index", "index-name", "int",
        "list", "dict-other-type", "dict-non-str-key"])
def test_open_validation(tmp_path, kwargs, message):
    with pytest.raises(TessaraDBConfigError, match="^" + re.escape(message) + "$"):
        open_db(tmp_path / "db", **kwargs)
    assert not (tmp_path / "db").exists()  # refused before anything touches the disk


@pytest.mark.parametrize("sync, index_mode", [
    ("STRICT", "HNSW"),
    ("Batch", "Exact"),
    ("async", {"m": 32}),
    ("strict", {"type": "HNSW", "m": -1, "ef_search": "x", "ef_construction": 2**70}),
    ("strict", {"type": "exact", "m": "ignored"}),
    ("strict", {"type": 7}),  # a non-str type means HNSW
    ("strict", {}),
], ids=["capitals", "mixed-case", "dict-m-only", "dict-bad-values-use-defaults", "dict-exact",
        "dict-non-str-type", "empty-dict"])
def test_open_accepted_forms(tmp_path, sync, index_mode):
    db = open_db(tmp_path / "db", sync=sync, index_mode=index_mode)
    mid = db.remember_embedding(vec(1, 2))
    assert [h.id for h in db.ask_embedding(vec(1, 2), top_k=1)] == [mid]


@pytest.mark.parametrize("call, message", [
    (lambda p: TessaraDB.open(p, dimension=DIM),
     "TessaraDB.open() missing 3 required positional arguments: 'sync', 'index_mode', and "
     "'max_entries'"),
    (lambda p: TessaraDB.open(p, DIM, "strict", "exact", None, 1),
     "TessaraDB.open() takes 5 positional arguments but 6 were given"),
    (lambda p: TessaraDB.open(p, DIM, "strict", "exact", max_entries=None, dim=3),
     "TessaraDB.open() got an unexpected keyword argument 'dim'"),
    (lambda p: TessaraDB.open(None, DIM, "strict", "exact", None),
     "argument 'path': 'NoneType' object cannot be converted to 'str'"),
    (lambda p: TessaraDB.open(p, "8", "strict", "exact", None),
     "argument 'dimension': 'str' object cannot be converted to 'int'"),
    (lambda p: TessaraDB.open(p, 0, None, "exact", None),
     "argument 'sync': 'NoneType' object cannot be converted to 'str'"),
], ids=["missing", "too-many", "unknown-keyword", "path-none", "dimension-str", "sync-none"])
def test_open_argument_errors(tmp_path, call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(str(tmp_path / "db"))


@pytest.mark.parametrize("call", [
    lambda p: TessaraDB.open(p, -8, "strict", "exact", None),
    lambda p: TessaraDB.open(p, DIM, "strict", "exact", -1),
], ids=["dimension", "max_entries"])
def test_open_negative_integers_overflow(tmp_path, call):
    with pytest.raises(OverflowError):
        call(str(tmp_path / "db"))


def test_all_arguments_positionally_with_a_path_object(tmp_path):
    path = tmp_path / "nested" / "db"
    db = TessaraDB.open(path, DIM, "strict", "exact", None)  # missing parents are created
    mid = db.remember_embedding(vec(1))
    del db
    assert open_db(str(path)).get(mid).id == mid


def test_reopen_with_other_dimension_is_refused_and_keeps_data(tmp_path):
    path = tmp_path / "db"
    db = open_db(path)
    ids = [db.remember_embedding(vec(i + 1), content=f"c{i}") for i in range(3)]
    del db
    message = f"dimension mismatch: database has dimension={DIM}, but open() was called with dimension=4"
    with pytest.raises(TessaraDBConfigError, match="^" + re.escape(message) + "$"):
        open_db(path, dimension=4)
    db = open_db(path)
    assert [db.get(i).content for i in ids] == [b"c0", b"c1", b"c2"]


def test_reopen_empty_database_with_other_dimension(tmp_path):
    path = tmp_path / "db"
    open_db(path)  # created, then closed at once
    db = open_db(path, dimension=3)
    assert db.stats().vector_dimension == 3
    assert db.remember_embedding([1.0, 0.0, 0.0]) == 1


def test_ids_continue_after_reopen(tmp_path):
    path = tmp_path / "db"
    db = open_db(path)
    assert [db.remember_embedding(vec(1)) for _ in range(3)] == [1, 2, 3]
    db.delete_memory(2)
    del db
    db = open_db(path)
    assert db.remember_embedding(vec(1)) == 4
    assert len(db) == 3


def test_path_blocked_by_a_file_is_an_io_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(TessaraDBIOError) as info:
        open_db(blocker / "db")
    assert type(info.value) is TessaraDBIOError
    assert str(info.value)  # the operating system's text, without an "IO error: " prefix
    assert not str(info.value).startswith("IO error: ")


def test_open_same_directory_twice_in_one_process(tmp_path):
    first = open_db(tmp_path / "db")
    mid = first.remember_embedding(vec(1))
    second = open_db(tmp_path / "db")
    assert second.get(mid).id == mid
    del first, second
    assert len(open_db(tmp_path / "db")) == 1


def test_open_errors_are_tessaradb_errors(tmp_path):
    with pytest.raises(TessaraDBError):
        open_db(tmp_path / "db", dimension=0)
