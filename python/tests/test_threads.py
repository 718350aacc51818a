"""One handle shared by many Python threads."""
import threading
from concurrent.futures import ThreadPoolExecutor

from conftest import open_db, vec


def test_concurrent_remember_gives_distinct_ids(db):
    def remember_many(worker):
        return [db.remember_embedding(vec(1, worker, i), namespace=f"w{worker}") for i in range(40)]

    with ThreadPoolExecutor(max_workers=8) as pool:
        batches = list(pool.map(remember_many, range(8)))
    ids = [mid for batch in batches for mid in batch]
    assert len(set(ids)) == len(ids) == 320
    assert len(db) == 320
    for worker, batch in enumerate(batches):
        assert {db.get(mid).namespace for mid in batch} == {f"w{worker}"}


def test_reads_run_while_another_thread_writes(db):
    first = db.remember_embedding(vec(1))
    written = [first]
    done = threading.Event()

    def writer():
        try:
            for i in range(200):
                mid = db.remember_embedding(vec(1, i / 100))
                written.append(mid)
                if i % 50 == 0:
                    db.connect(first, mid, "seen")
                if i % 70 == 0:
                    db.flush()
        finally:
            done.set()

    def reader():
        seen = set()
        while not done.is_set():
            hits = db.ask_embedding(vec(1), top_k=5)
            assert 1 <= len(hits) <= 5
            seen.update(h.id for h in hits)
            assert db.get(first).id == first
            db.get_neighbors(first)
            len(db)
        return seen

    with ThreadPoolExecutor(max_workers=4) as pool:
        readers = [pool.submit(reader) for _ in range(3)]
        pool.submit(writer).result()
        seen = set().union(*(r.result() for r in readers))
    assert seen <= set(written)
    assert len(db) == 201


def test_handle_dropped_while_another_thread_is_inside_a_call(tmp_path):
    holder = [open_db(tmp_path / "db", sync="batch")]
    started = threading.Event()

    def worker(db):
        started.set()
        return [db.remember_embedding(vec(1, i)) for i in range(100)]

    with ThreadPoolExecutor(max_workers=1) as pool:
        future = pool.submit(worker, holder[0])
        started.wait()
        holder.clear()  # the worker's reference is now the last one: it closes the database
        ids = future.result()
    reopened = open_db(tmp_path / "db")
    assert [reopened.get(mid).id for mid in ids] == ids


def test_maintenance_runs_beside_queries(db):
    for i in range(30):
        db.remember_embedding(vec(1, i))

    def maintain(_):
        for i in range(5):
            db.delete_memory(db.remember_embedding(vec(2, i)))
            db.compact()
            db.checkpoint()
            db.flush()

    def query(_):
        for _ in range(50):
            assert len(db.ask_embedding(vec(1), top_k=3)) == 3

    with ThreadPoolExecutor(max_workers=4) as pool:
        futures = [pool.submit(maintain, 0)] + [pool.submit(query, i) for i in range(3)]
        for f in futures:
            f.result()
    assert len(db) == 30
