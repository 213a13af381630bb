"""Shared helpers for the kovar test suite."""
import gc
import sys
import traceback

import numpy as np
import pytest

from kovar import regulo

SOURCE = "src/kovar/regulo"
PICKLE_SOURCE = "<stringsource>"


def kovar_entries(exc):
    """The traceback entries the module added to `exc`: (function, file, line)."""
    return [
        (frame.name, frame.filename, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename in (SOURCE, PICKLE_SOURCE)
    ]


def arr(*values, ndim=1):
    """A float64 array of `values`, shaped 1 x n when ndim is 2."""
    a = np.array(values, dtype=np.float64)
    return a.reshape(1, -1) if ndim == 2 else a


def assert_no_leak(func, *objects, calls=2000):
    """Calls func() many times and checks the refcounts of `objects` and the
    number of live objects are back where they were."""
    for _ in range(10):
        func()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    live = len(gc.get_objects())
    for _ in range(calls):
        func()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
    assert len(gc.get_objects()) - live < 10


@pytest.fixture
def m():
    return regulo
