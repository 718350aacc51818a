"""Handles across process boundaries: exit-time flush, forked children, the directory lock, and
reference hygiene."""
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import _tessaradb
import pytest
from conftest import open_db, vec
from tessaradb import Hit, TessaraDBError, TessaraDBIOError, TessaraDBNotFoundError, chunk

PYTHONPATH = os.pathsep.join(sys.path)


def run_python(code, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": PYTHONPATH})


def test_flush_all_flushes_live_handles_and_forgets_dropped_ones(tmp_path):
    kept = open_db(tmp_path / "a", sync="async")
    dropped = open_db(tmp_path / "b", sync="batch")
    kept.remember_embedding(vec(1))
    dropped.remember_embedding(vec(1))
    del dropped
    gc.collect()
    assert _tessaradb._flush_all() is None
    assert len(kept) == 1


@pytest.mark.parametrize("sync", ["batch", "async"])
def test_handle_never_dropped_keeps_its_writes_after_exit(tmp_path, sync):
    result = run_python("""
        import sys, tessaradb
        db = tessaradb.TessaraDB.open(sys.argv[1], dimension=4, sync=sys.argv[2],
                                      index_mode="exact", max_entries=None)
        cycle = {"db": db}
        cycle["self"] = cycle          # kept alive by a reference cycle until the very end
        GLOBAL = cycle
        for i in range(50):
            db.remember_embedding([1.0, float(i), 0.0, 0.0], content=f"m{i}")
        print("ok")
    """, tmp_path / "db", sync)
    assert result.returncode == 0, result.stderr
    db = open_db(tmp_path / "db", dimension=4)
    assert len(db) == 50
    assert db.get(50).content == b"m49"


def test_exit_while_daemon_threads_are_inside_calls(tmp_path):
    # The interpreter ends daemon threads as they take its lock back; that must not abort.
    result = run_python("""
        import sys, threading, time, tessaradb
        db = tessaradb.TessaraDB.open(sys.argv[1], dimension=4, sync="strict",
                                      index_mode="exact", max_entries=None)
        def spin():
            while True:
                db.remember_embedding([1.0, 0.0, 0.0, 0.0])
                db.ask_embedding([1.0, 0.0, 0.0, 0.0], top_k=1)
        for _ in range(4):
            threading.Thread(target=spin, daemon=True).start()
        time.sleep(0.2)
    """, tmp_path / "db")
    assert result.returncode == 0, result.stderr
    assert len(open_db(tmp_path / "db", dimension=4)) > 0


def test_second_process_is_refused_by_the_directory_lock(tmp_path):
    path = tmp_path / "db"
    db = open_db(path)
    db.remember_embedding(vec(1))
    probe = """
        import sys, tessaradb
        try:
            tessaradb.TessaraDB.open(sys.argv[1], dimension=8, sync="strict",
                                     index_mode="exact", max_entries=None)
        except tessaradb.TessaraDBIOError as e:
            print("refused:", e)
        else:
            print("opened")
    """
    refused = run_python(probe, path)
    assert refused.returncode == 0, refused.stderr
    assert refused.stdout.startswith("refused:") and str(path) in refused.stdout
    del db
    gc.collect()
    opened = run_python(probe, path)
    assert opened.stdout.strip() == "opened", opened.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_cannot_write_through_an_inherited_handle(tmp_path):
    path = tmp_path / "db"
    db = open_db(path)
    mid = db.remember_embedding(vec(1))
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports through the pipe and never returns into pytest
        report = []
        try:
            report.append(str(db.get(mid).id))
            for call in (lambda: db.remember_embedding(vec(2)), lambda: db.delete_memory(mid),
                         lambda: db.flush(), lambda: open_db(path)):
                try:
                    call()
                    report.append("allowed")
                except TessaraDBIOError:
                    report.append("refused")
                except BaseException as e:  # noqa: BLE001
                    report.append(type(e).__name__)
        finally:
            os.write(write_fd, ",".join(report).encode())
            os._exit(0)
    os.close(write_fd)
    os.waitpid(pid, 0)
    with os.fdopen(read_fd) as pipe:
        report = pipe.read().split(",")
    assert report == [str(mid), "refused", "refused", "refused", "refused"]
    assert len(db) == 1 and db.get(mid).id == mid  # the parent's handle is untouched
    assert db.remember_embedding(vec(3)) == mid + 1


def test_no_reference_leaks_over_many_calls(exact_db):
    db = exact_db
    ids = [db.remember_embedding(vec(1, i), metadata={"k": str(i)}, content="c") for i in range(20)]
    db.connect(ids[0], ids[1], "next")

    def round_trip():
        for mid in ids:
            m = db.get(mid)
            m.metadata, m.content, m.namespace, repr(m)
        db.ask_embedding(vec(1, 3), top_k=5, filter={"k": "3"})
        db.get_neighbors(ids[0])
        repr(db.stats()), len(db), repr(db), repr(Hit(1, 0.5))
        chunk('{"a": [1, 2]}', "json", 0, 0)[0].metadata
        for bad in (lambda: db.get(999), lambda: db.ask_embedding([1.0]),
                    lambda: db.remember_embedding("x"), lambda: db.get(-1),
                    lambda: chunk("x", "nope", 1, 1)):
            try:
                bad()
            except (TessaraDBError, TessaraDBNotFoundError, TypeError, OverflowError):
                pass

    for _ in range(200):  # warm caches and free lists
        round_trip()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):  # about 100k calls into the module
            round_trip()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 256 * 1024, growth
