"""Hostile Python input: each case runs against an open database in a child process, so an
interpreter crash is seen and counted; the case must raise the expected exception class (or
succeed), and the database must reopen with its earlier contents afterwards.

Prints: hostile: N cases, interpreter_crashes=0, wrong_exception=0, reopen_fail=0.
"""

import array
import os
import subprocess
import sys
import tempfile
import threading

import numpy as np

import _tessaradb

DIM = 4
E = _tessaradb.TessaraDBError


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float here")


def resize_while_inside(db):
    buf = array.array("f", [1.0] * DIM)
    stop = threading.Event()

    def grow():
        while not stop.is_set():
            try:
                buf.extend([2.0] * 1000)
                del buf[DIM:]
            except BufferError:
                pass
    t = threading.Thread(target=grow)
    t.start()
    try:
        for _ in range(200):
            try:
                db.remember_embedding(buf)
                db.ask_embedding(buf, top_k=3)
            except (ValueError, E, BufferError):
                pass
    finally:
        stop.set()
        t.join()


def drop_while_inside(path):
    db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="batch", index_mode="exact",
                                   max_entries=None)
    def worker():
        for _ in range(200):
            db.remember_embedding([1.0, 2.0, 3.0, 4.0])
    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    del db  # the threads hold their own references; the handle goes with the last one
    for t in threads:
        t.join()


ok = None  # the call must succeed
CASES = [
    ("nan", lambda db: db.remember_embedding([float("nan")] * DIM), (ok, ValueError, E)),
    ("inf", lambda db: db.remember_embedding([float("inf"), 0, 0, 1]), (ok, ValueError, E)),
    ("zeros", lambda db: db.remember_embedding([0.0] * DIM), (ok, ValueError, E)),
    ("huge", lambda db: db.remember_embedding([3.4e38] * DIM), (ok,)),
    ("subnormal", lambda db: db.remember_embedding([1e-45] * DIM), (ok,)),
    ("f64-overflow", lambda db: db.remember_embedding(np.full(DIM, 1e300)), (ok, ValueError, OverflowError, E)),
    ("byteswapped", lambda db: db.remember_embedding(np.ones(DIM, dtype=">f4")), (ok, ValueError, TypeError)),
    ("strided", lambda db: db.remember_embedding(np.ones(2 * DIM, dtype=np.float32)[::2]), (ok, ValueError, TypeError)),
    ("0-d", lambda db: db.remember_embedding(np.float32(1.0)), (TypeError, ValueError)),
    ("2-d", lambda db: db.remember_embedding(np.ones((2, DIM), dtype=np.float32)), (TypeError, ValueError)),
    ("wrong-length", lambda db: db.remember_embedding([1.0] * (DIM + 1)), (ValueError, E)),
    ("float-raises", lambda db: db.remember_embedding([RaisingFloat()] * DIM), (ZeroDivisionError, TypeError)),
    ("str-elements", lambda db: db.remember_embedding(["1"] * DIM), (TypeError,)),
    ("resized-buffer", resize_while_inside, (ok,)),
    ("id-minus-1", lambda db: db.get(-1), (OverflowError,)),
    ("id-2**64", lambda db: db.get(2 ** 64), (OverflowError,)),
    ("delete-2**64", lambda db: db.delete_memory(2 ** 64), (OverflowError,)),
    ("connect-minus-1", lambda db: db.connect(-1, 1, "r"), (OverflowError,)),
    ("huge-top-k", lambda db: db.ask_embedding([1.0] * DIM, top_k=2 ** 62), (ok, OverflowError, ValueError, E)),
    ("top-k-2**64", lambda db: db.ask_embedding([1.0] * DIM, top_k=2 ** 64), (OverflowError, ValueError)),
    ("top-k-0", lambda db: db.ask_embedding([1.0] * DIM, top_k=0), (ValueError, E)),
    ("metadata-int-key", lambda db: db.remember_embedding([1.0] * DIM, metadata={1: "a"}), (TypeError,)),
    ("metadata-int-value", lambda db: db.remember_embedding([1.0] * DIM, metadata={"a": 1}), (TypeError,)),
    ("lone-surrogate", lambda db: db.remember_embedding([1.0] * DIM, metadata={"a": "\ud800"}), (UnicodeEncodeError, ValueError)),
    ("surrogate-namespace", lambda db: db.remember_embedding([1.0] * DIM, namespace="\udfff"), (UnicodeEncodeError, ValueError)),
    ("nul-in-strings", lambda db: db.remember_embedding([1.0] * DIM, metadata={"a\0b": "c\0"}, content="x\0y"), (ok, ValueError)),
    ("nul-relation", lambda db: db.connect(1, 1, "a\0b"), (ok, ValueError, E)),
    ("filter-non-str", lambda db: db.ask_embedding([1.0] * DIM, filter={"a": None}), (TypeError,)),
    ("path-with-nul", lambda db: _tessaradb.TessaraDB.open("/tmp/a\0b", dimension=DIM, sync="strict",
                                                            index_mode="exact", max_entries=None), (ValueError, E)),
    ("dimension-0", lambda db: _tessaradb.TessaraDB.open(tempfile.mkdtemp(), dimension=0, sync="strict",
                                                          index_mode="exact", max_entries=None), (ValueError, E)),
    ("bad-sync", lambda db: _tessaradb.TessaraDB.open(tempfile.mkdtemp(), dimension=DIM, sync="fast",
                                                       index_mode="exact", max_entries=None), (ValueError, E)),
    ("drop-while-inside", lambda db: drop_while_inside(tempfile.mkdtemp() + "/d"), (ok,)),
]


def child(path, index):
    name, call, expected = CASES[index]
    db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="strict", index_mode="exact",
                                   max_entries=None)
    try:
        call(db)
        outcome = None
    except BaseException as exc:  # noqa: BLE001 - the class is the result
        outcome = type(exc)
    good = (outcome is None and ok in expected) or (
        outcome is not None and any(c is not ok and issubclass(outcome, c) for c in expected))
    print("OK" if good else f"WRONG {outcome.__name__ if outcome else 'success'}")
    sys.stdout.flush()
    del db
    os._exit(0)


def check_reopen(path, seed_id):
    db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="strict", index_mode="exact",
                                   max_entries=None)
    m = db.get(seed_id)
    return m.content == b"seed"


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return 0
    crashes = wrong = reopen_fail = 0
    with tempfile.TemporaryDirectory() as base:
        path = os.path.join(base, "db")
        db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="strict", index_mode="exact",
                                       max_entries=None)
        seed_id = db.remember_embedding([1.0, 0.0, 0.0, 0.0], content="seed")
        del db
        for i, (name, _, _) in enumerate(CASES):
            r = subprocess.run([sys.executable, __file__, "--child", path, str(i)],
                               capture_output=True, text=True, timeout=120)
            if r.returncode != 0:
                crashes += 1
                print(f"hostile: {name}: child exited with {r.returncode}: {r.stderr[-400:]}", file=sys.stderr)
            elif "OK" not in r.stdout:
                wrong += 1
                print(f"hostile: {name}: {r.stdout.strip()} {r.stderr[-300:]}", file=sys.stderr)
            try:
                if not check_reopen(path, seed_id):
                    reopen_fail += 1
            except Exception as exc:  # noqa: BLE001
                reopen_fail += 1
                print(f"hostile: {name}: reopen failed: {exc}", file=sys.stderr)
    n = len(CASES)
    print(f"hostile: {n} cases, interpreter_crashes={crashes}, expected_exception={100 * (n - wrong - crashes) // n}%, "
          f"reopen_fail={reopen_fail}")
    return 1 if crashes or wrong or reopen_fail else 0


if __name__ == "__main__":
    sys.exit(main())
