"""Hostile Python input: each case runs against an open database in a child process, so an
interpreter crash is seen and counted; the case must raise the expected exception class (or
succeed), and the database must reopen with its earlier contents afterwards.

Run under AddressSanitizer (reliability/run.sh preloads the compiler's libasan for an ASan build
of the extension and sets RELIABILITY_REQUIRE_ASAN=1): every sanitizer report in a child's
output is counted.

Prints: hostile: N cases, interpreter_crashes=0, sanitizer_reports=0, expected exception class
100%, reopens cleanly 100%.
"""

import array
import os
import shutil
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
    errors = []
    inside = threading.Barrier(4)

    def worker(handle):  # each thread holds its own reference; the last one frees the handle
        inside.wait()
        try:
            for _ in range(200):
                handle.remember_embedding([1.0, 2.0, 3.0, 4.0])
                handle.ask_embedding([1.0, 2.0, 3.0, 4.0], top_k=2)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)
    threads = [threading.Thread(target=worker, args=(db,)) for _ in range(3)]
    for t in threads:
        t.start()
    inside.wait()
    del db  # dropped while the workers are inside calls
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    reopened = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="strict", index_mode="exact",
                                         max_entries=None)
    if len(reopened) != 600:
        raise AssertionError(f"{len(reopened)} of 600 writes survived the drop")


def stored_as(values, expected):
    """Remembers `values`; the stored vector must be `expected` (the best hit, cosine 1)."""
    def case(db):
        mid = db.remember_embedding(values)
        scores = {hit.id: hit.score for hit in db.ask_embedding(expected, top_k=len(db))}
        if abs(scores.get(mid, 0.0) - 1.0) > 1e-5:
            raise AssertionError(f"stored vector differs: cosine {scores.get(mid)}")
    return case


def path_with_nul(db):
    base = tempfile.mkdtemp()
    try:
        _tessaradb.TessaraDB.open(base + "/db\0tail", dimension=DIM, sync="strict",
                                  index_mode="exact", max_entries=None)
    finally:
        truncated_created = os.path.exists(base + "/db")
        shutil.rmtree(base, ignore_errors=True)
        if truncated_created:
            raise AssertionError("a database was created at the path cut at the NUL")


def open_in(**kwargs):
    settings = dict(dimension=DIM, sync="strict", index_mode="exact", max_entries=None)
    settings.update(kwargs)
    return lambda db: _tessaradb.TessaraDB.open(tempfile.mkdtemp() + "/db", **settings)


ok = None  # the call must succeed
# (name, call, the outcome: ok or the one exception class expected)
CASES = [
    ("nan", lambda db: db.remember_embedding([float("nan")] * DIM), ok),
    ("inf", lambda db: db.remember_embedding([float("inf"), 0, 0, 1]), ok),
    ("zeros", lambda db: db.remember_embedding([0.0] * DIM), ok),
    # Accepted as given; the single-precision similarity sums overflow for such vectors.
    ("huge", lambda db: db.remember_embedding([3.4e38, -1e38, 2e38, 3e38]), ok),
    ("subnormal", lambda db: db.remember_embedding([1e-45] * DIM), ok),
    ("f64-overflow", lambda db: db.remember_embedding(np.full(DIM, 1e300)), ok),
    ("byteswapped", stored_as(np.array([1, 2, 3, 4], dtype=">f4"), [1.0, 2.0, 3.0, 4.0]), ok),
    ("byteswapped-f64", stored_as(np.array([5, 1, 2, 7], dtype=">f8"), [5.0, 1.0, 2.0, 7.0]), ok),
    ("strided", stored_as(np.arange(1, 9, dtype=np.float32)[::2], [1.0, 3.0, 5.0, 7.0]), ok),
    ("reversed-view", stored_as(np.arange(1, 5, dtype=np.float64)[::-1], [4.0, 3.0, 2.0, 1.0]), ok),
    ("0-d", lambda db: db.remember_embedding(np.float32(1.0)), TypeError),
    ("2-d", lambda db: db.remember_embedding(np.ones((2, DIM), dtype=np.float32)), TypeError),
    ("wrong-length", lambda db: db.remember_embedding([1.0] * (DIM + 1)), E),
    ("float-raises", lambda db: db.remember_embedding([RaisingFloat()] * DIM), ZeroDivisionError),
    ("str-elements", lambda db: db.remember_embedding(["1"] * DIM), TypeError),
    ("resized-buffer", resize_while_inside, ok),
    ("id-minus-1", lambda db: db.get(-1), OverflowError),
    ("id-2**64", lambda db: db.get(2 ** 64), OverflowError),
    ("delete-2**64", lambda db: db.delete_memory(2 ** 64), OverflowError),
    ("connect-minus-1", lambda db: db.connect(-1, 1, "r"), OverflowError),
    ("huge-top-k", lambda db: db.ask_embedding([1.0] * DIM, top_k=2 ** 62), ok),
    ("top-k-2**64", lambda db: db.ask_embedding([1.0] * DIM, top_k=2 ** 64), OverflowError),
    ("top-k-0", lambda db: db.ask_embedding([1.0] * DIM, top_k=0), E),
    ("metadata-int-key", lambda db: db.remember_embedding([1.0] * DIM, metadata={1: "a"}), TypeError),
    ("metadata-int-value", lambda db: db.remember_embedding([1.0] * DIM, metadata={"a": 1}), TypeError),
    ("lone-surrogate", lambda db: db.remember_embedding([1.0] * DIM, metadata={"a": "\ud800"}), UnicodeEncodeError),
    ("surrogate-namespace", lambda db: db.remember_embedding([1.0] * DIM, namespace="\udfff"), UnicodeEncodeError),
    ("surrogate-content", lambda db: db.remember_embedding([1.0] * DIM, content="a\udc80"), UnicodeEncodeError),
    ("nul-in-strings", lambda db: db.remember_embedding([1.0] * DIM, metadata={"a\0b": "c\0"}, content="x\0y"), ok),
    ("nul-relation", lambda db: db.connect(1, 1, "a\0b"), ok),
    ("filter-non-str", lambda db: db.ask_embedding([1.0] * DIM, filter={"a": None}), TypeError),
    ("path-with-nul", path_with_nul, ValueError),
    ("dimension-0", open_in(dimension=0), _tessaradb.TessaraDBConfigError),
    ("bad-sync", open_in(sync="fast"), _tessaradb.TessaraDBConfigError),
    ("drop-while-inside", lambda db: drop_while_inside(tempfile.mkdtemp() + "/d"), ok),
]


def sanitizer_active():
    """Whether the extension runs under AddressSanitizer (its runtime is mapped in)."""
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


def child(path, index):
    name, call, expected = CASES[index]
    db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="strict", index_mode="exact",
                                   max_entries=None)
    try:
        call(db)
        outcome = None
    except BaseException as exc:  # noqa: BLE001 - the class is the result
        outcome = type(exc)
    good = outcome is expected  # the exact class, not a base class
    print("ASAN" if sanitizer_active() else "NOASAN")
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
    crashes = wrong = reopen_fail = reports = unsanitized = 0
    markers = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
    with tempfile.TemporaryDirectory() as base:
        path = os.path.join(base, "db")
        db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync="strict", index_mode="exact",
                                       max_entries=None)
        seed_id = db.remember_embedding([1.0, 0.0, 0.0, 0.0], content="seed")
        del db
        for i, (name, _, _) in enumerate(CASES):
            r = subprocess.run([sys.executable, __file__, "--child", path, str(i)],
                               capture_output=True, text=True, timeout=300)
            found = sum(r.stderr.count(m) for m in markers)
            reports += found
            if "NOASAN" in r.stdout:
                unsanitized += 1
            if r.returncode != 0 or found:
                crashes += r.returncode != 0
                print(f"hostile: {name}: child exited with {r.returncode}: {r.stderr[-1500:]}", file=sys.stderr)
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
    sanitizer = "AddressSanitizer" if unsanitized == 0 else f"no sanitizer in {unsanitized} cases"
    print(f"hostile: {n} cases, interpreter_crashes={crashes}, sanitizer_reports={reports} ({sanitizer}), "
          f"expected exception class {100 * (n - wrong - crashes) // n}%, "
          f"reopens cleanly {100 * (n - reopen_fail) // n}%")
    need_asan = os.environ.get("RELIABILITY_REQUIRE_ASAN") == "1"
    return 1 if crashes or wrong or reopen_fail or reports or (need_asan and unsanitized) else 0


if __name__ == "__main__":
    sys.exit(main())
