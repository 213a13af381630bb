"""Freeing controllers: long chains of controllers, each holding the next in
a field, are freed without recursing on the C stack, whichever way the chain
was built and whether reference counting or the cyclic collector frees it."""
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.slow  # each test starts processes

LINKS = 10**6

CHAIN = """
import gc, sys
from kovar import regulo
cls, how, links = getattr(regulo, sys.argv[1]), sys.argv[2], int(sys.argv[3])
n = 8 if cls is regulo.AdaptiveController else 5
unpickle = getattr(regulo, "__pyx_unpickle_" + cls.__name__)
checksum = 185867204 if n == 8 else 53187086
gc.disable()
live = len(gc.get_objects())
first = head = cls.__new__(cls)
link = None
for _ in range(links):
    if how == "unpickle":
        head = unpickle(cls, checksum, (head,) + (None,) * (n - 1))
    else:
        link = cls.__new__(cls)
        link.__setstate__((None,) * (n - 1) + (head,))
        head = link
if how == "cycle":  # the first link holds the last: only the collector frees them
    first.__setstate__((head,) + (None,) * (n - 1))
del first, link
head = None
gc.enable()
gc.collect()
print(len(gc.get_objects()) - live)
"""


@pytest.mark.parametrize("how", ["setstate", "unpickle", "cycle"])
@pytest.mark.parametrize("cls", ["PIDController", "PIDControllerXd", "AdaptiveController"])
def test_long_chain_is_freed(cls, how):
    done = subprocess.run([sys.executable, "-c", CHAIN, cls, how, str(LINKS)],
                          capture_output=True, text=True, env=dict(os.environ, PYTHONFAULTHANDLER="1"))
    assert done.returncode == 0, done.stderr[-2000:]
    assert int(done.stdout) < 100  # every link was freed
