import _tessaradb
import pytest

DIM = 8

# Until the database facade is implemented the module is built without the TessaraDB class; the
# tests of the class then have nothing to run against.
DATABASE_TESTS = ["test_open.py", "test_database.py", "test_threads.py", "test_lifecycle.py"]
collect_ignore = [] if hasattr(_tessaradb, "TessaraDB") else DATABASE_TESTS


def open_db(path, dimension=DIM, sync="strict", index_mode="exact", max_entries=None):
    return _tessaradb.TessaraDB.open(str(path), dimension=dimension, sync=sync, index_mode=index_mode,
                          max_entries=max_entries)


def vec(*values, dimension=DIM):
    """An embedding of `dimension` floats starting with `values`, zero-padded."""
    return [float(v) for v in values] + [0.0] * (dimension - len(values))


@pytest.fixture(params=["exact", "hnsw"])
def db(request, tmp_path):
    """An empty database, once with exact search and once with the HNSW index."""
    return open_db(tmp_path / "db", index_mode=request.param)


@pytest.fixture
def exact_db(tmp_path):
    return open_db(tmp_path / "db")
