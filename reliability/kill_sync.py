"""Kill -9 per sync policy: a child process remembers memories in sequence and reports each
acknowledged one on a pipe; the parent kills it at random times, reopens the database and checks
that every acknowledged write survived and that the surviving sequence has no holes.

Prints: kill-9: strict acked_lost=0 holes=0 (40 kills, N acked), ... one line for all policies.
"""

import os
import random
import signal
import subprocess
import sys
import time

import _tessaradb

DIM = 8


def child(path, policy, start):
    db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync=policy, index_mode="exact", max_entries=None)
    seq = start
    while True:
        mid = db.remember_embedding([float(seq % 7 + 1)] + [0.5] * (DIM - 1), metadata={"seq": str(seq)})
        sys.stdout.write(f"{mid} {seq}\n")
        sys.stdout.flush()
        seq += 1


def verify(path, policy, acked):
    db = _tessaradb.TessaraDB.open(path, dimension=DIM, sync=policy, index_mode="exact", max_entries=None)
    lost = sum(1 for mid, seq in acked.items()
               if not _has(db, mid) or db.get(mid).metadata.get("seq") != str(seq))
    top = max(acked, default=0) + 200
    present = [_has(db, mid) for mid in range(1, top)]
    last = max((i for i, p in enumerate(present) if p), default=-1)
    holes = sum(1 for p in present[: last + 1] if not p)
    del db
    return lost, holes


def _has(db, mid):
    try:
        db.get(mid)
        return True
    except _tessaradb.TessaraDBNotFoundError:
        return False


def run_policy(base, policy, kills, rng):
    path = os.path.join(base, policy)
    acked = {}
    lost_total = holes_total = 0
    for _ in range(kills):
        start = len(acked)
        proc = subprocess.Popen([sys.executable, __file__, "--child", path, policy, str(start)],
                                stdout=subprocess.PIPE)
        fd = proc.stdout.fileno()
        deadline = time.monotonic() + rng.uniform(0.05, 0.4)
        os.set_blocking(fd, False)
        buffered = b""
        while time.monotonic() < deadline:
            try:
                buffered += os.read(fd, 65536)
            except BlockingIOError:
                time.sleep(0.005)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        os.set_blocking(fd, True)
        while chunk := os.read(fd, 65536):
            buffered += chunk
        proc.stdout.close()
        # The text after the last newline is a line cut by the kill: never acknowledged to us.
        for line in buffered.decode().split("\n")[:-1]:
            mid, seq = line.split()
            acked[int(mid)] = int(seq)
        lost, holes = verify(path, policy, acked)
        lost_total += lost
        holes_total += holes
    return lost_total, holes_total, len(acked)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return 0
    import tempfile
    kills = 120 if "--long" in sys.argv else 40
    rng = random.Random(20261210)
    parts, bad = [], 0
    with tempfile.TemporaryDirectory() as base:
        for policy in ("strict", "batch", "async"):
            lost, holes, n = run_policy(base, policy, kills, rng)
            bad += lost + holes
            parts.append(f"{policy} acked_lost={lost} holes={holes} ({kills} kills, {n} acked)")
    print("kill-9: " + ", ".join(parts))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
