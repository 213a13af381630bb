"""kovar.bank.PIDBank under load: threads sharing one bank, references and
memory over a million updates, allocations per update."""
import gc
import itertools
import sys
import threading
import tracemalloc

import numpy as np

from kovar.bank import PIDBank

def test_threads_serialize_on_one_bank():
    # Identical calls and identical channels: whatever the interleaving, the
    # end state is that of the same number of calls in a row, and every
    # snapshot holds the same value in every channel (a torn one would not).
    n, calls, threads = 40_000, 60, 4
    kwargs = dict(kp=1.0, ki=2.0, kd=0.1, tf=0.02, u_min=-1.0, u_max=1.0)
    bank, sequential = PIDBank(n, **kwargs), PIDBank(n, **kwargs)
    y = np.full(n, 0.25)
    errors, snapshots = [], []

    def updater():
        out = np.empty(n)
        try:
            for _ in range(calls):
                bank.update(1.0, y, 0.01, out=out)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    def observer():
        for _ in range(calls):
            state = bank.__reduce__()[2]
            snapshots.append((state["integral"], state["derivative"], state["output"]))
            bank.kp = 1.0
            bank.set_auto()

    workers = [threading.Thread(target=updater) for _ in range(threads)]
    workers.append(threading.Thread(target=observer))
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert errors == []
    for _ in range(calls * threads):
        sequential.update(1.0, y, 0.01)
    np.testing.assert_array_equal(bank.integral, sequential.integral)
    np.testing.assert_array_equal(bank.output, sequential.output)
    for arrays in snapshots:
        for a in arrays:
            assert np.all(a == a[0])


def test_a_million_updates_leak_nothing():
    bank = PIDBank(1, kp=1.0, ki=0.5, kd=0.1, u_max=2.0)
    r, y, out, dt = np.ones(1), np.zeros(1), np.empty(1), 0.01
    objects = (r, y, out, dt, bank)

    def run(calls):
        for _ in itertools.repeat(None, calls):
            bank.update(r, y, dt, out=out)
            bank.update(r, 0.5, dt)

    run(1000)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    live = len(gc.get_objects())
    run(450_000)
    # The last 50 000 pairs under tracemalloc, which sees NumPy's buffers as
    # well as Python objects (RSS would not do under a sanitizer).
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        run(50_000)
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == refs
    assert len(gc.get_objects()) - live < 10
    assert kept < 4096  # a leaked array per call would be megabytes


def test_update_with_out_allocates_nothing():
    n = 10_000
    bank = PIDBank(n, kp=1.0, ki=np.linspace(0, 1, n), kd=0.1, u_max=2.0)
    r, y, out = np.ones(n), np.zeros(n), np.empty(n)

    def step(kwargs):
        bank.update(r, y, 0.01, **kwargs)

    # What the update allocates is traced to the line that calls it.
    calling_line = [tracemalloc.Filter(True, __file__, step.__code__.co_firstlineno + 1)]

    def measure(calls, **kwargs):
        """(peak above the start, bytes still held) over `calls` updates."""
        first = tracemalloc.take_snapshot().filter_traces(calling_line)
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        for _ in itertools.repeat(None, calls):
            step(kwargs)
        peak = tracemalloc.get_traced_memory()[1] - before
        last = tracemalloc.take_snapshot().filter_traces(calling_line)
        return peak, sum(s.size_diff for s in last.compare_to(first, "lineno"))

    tracemalloc.start()
    try:
        measure(2000, out=out)  # fills the interpreter's free lists
        peak, kept = measure(4000, out=out)
        peak_without_out, _ = measure(10)
    finally:
        tracemalloc.stop()
    # One result array is 80 kB, a byte kept per call 4 kB; the interpreter's
    # own occasional buffers stay below that.
    assert peak < 20_000 and kept < 1024
    assert peak_without_out >= 8 * n
