"""Decoding from several threads: correct results, and the interpreter lock held throughout."""

import gc
import operator
import sys
import threading
import time
from functools import partial

import vesk_build as b
from vesk_native import VeskError, loads_binary

ROWS = [{"id": i, "name": f"n{i % 3}", "ok": i % 2 == 0} for i in range(50)]
MIXED = [None, True, -7, 2.5, "text", {"nested": ["ab", "ab"]}] * 20
ANCHORED = {"tags": ["x", "yz"], "n": 1.5}

# (document, expected value or (message, offset) of the error)
CASES = [
    (b.doc(b.encode_table(ROWS)), ROWS),
    (b.doc(b.encode(MIXED)), MIXED),
    (b.doc(b.array(b.anchor(b.encode(ANCHORED)), *[b.anchor_ref(0)] * 30)), [ANCHORED] * 31),
    (b.doc(b.sparse(["a", "b"], 9, b.dense(b.col_delta(*range(9))),
                    b.sparse_col([2, 5], b.col_dictionary(["pq"], [0, 0]), n=9))),
     [{"a": i, "b": "pq"} if i in (2, 5) else {"a": i} for i in range(9)]),
    (b.doc(b.obj(("dup", b.none()), ("dup", b.none()))), ("duplicate key 'dup'", 14)),
]


def decoded(data):
    try:
        return loads_binary(data)
    except VeskError as e:
        return (e.message, e.offset)


def test_threads_decoding_at_once_each_get_their_results():
    shared, shared_expected = CASES[0]
    failures = []
    start = threading.Barrier(len(CASES))

    def work(data, expected):
        start.wait()
        for _ in range(200):
            for doc, want in ((data, expected), (shared, shared_expected)):
                got = decoded(doc)
                if got != want:
                    failures.append((doc, got))

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # threads take turns between as many decodes as possible
    try:
        threads = [threading.Thread(target=work, args=case) for case in CASES]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(switch)
    assert failures == []


def ran_alone(call):
    """Calls call() and reports whether another Python thread, busy the whole
    time, could not run at any moment of it."""
    gaps = []  # (a, b): the other thread did not run between times a and b
    started = threading.Event()
    stop = threading.Event()

    def tick(last):
        now = time.perf_counter()
        if now - last > 0.001:
            gaps.append((last, now))
        return now

    def ticker():
        last = time.perf_counter()
        started.set()
        while not stop.is_set():
            last = tick(last)
        tick(last)  # the first moment after the call

    other = threading.Thread(target=ticker)
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # the other thread asks for the lock again and again
    gc.collect()
    gc.disable()  # a collection could run Python code, which may yield the lock
    try:
        other.start()
        started.wait()
        # Timed and called from C, so that no Python code runs between the two times.
        t0, _, t1 = map(operator.methodcaller("__call__"), [time.perf_counter, call,
                                                            time.perf_counter])
        stop.set()
        other.join()
    finally:
        gc.enable()
        sys.setswitchinterval(switch)
    return any(a < t0 and t1 < b for a, b in gaps)


def test_a_decode_holds_the_interpreter_lock_throughout():
    n = 300_000
    rows = b.doc(b.table(["a", "b"], n, b.col_bitmap(*[True] * n), b"\x01" + b"\x02" * n))
    assert ran_alone(partial(loads_binary, rows))
    # The probe does see the other thread run while a call gives the lock up.
    assert not ran_alone(partial(time.sleep, 0.1))
