"""Controllers shared by threads: one call at a time on a controller (a snapshot never holds part
of a call, a call that comes back through NumPy goes on, a forked child holds nothing), and a
daemon thread inside a kovar call when the interpreter exits."""
import copy, os, subprocess, sys, threading, time, warnings

import numpy as np
import pytest

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd
from reference import PID, Adaptive

FIELDS = {PIDController: ("integral", "kd", "ki", "kp", "previous_error"),
          AdaptiveController: ("error_history", "integral", "kd", "ki", "kp", "learning_rate",
                               "max_adjustment", "previous_error")}
FIELDS[PIDControllerXd] = FIELDS[PIDController]
LAWS = [(PIDController, PID, 1), (PIDControllerXd, PID, 2), (AdaptiveController, Adaptive, 1)]
by_law = pytest.mark.parametrize("cls, ref, ndim", LAWS, ids=lambda v: getattr(v, "__name__", ""))


def fields(c):
    r = c.__reduce__()
    return dict(zip(FIELDS[type(c)], r[2] if len(r) == 3 else r[1][2]))


def channel(state, k):
    """What a snapshot holds of channel k: the fields a call changes."""
    return tuple(float(np.ravel(state[f])[k]) for f in ("integral", "kp", "previous_error"))


@by_law
@pytest.mark.parametrize("path", ["native", "numpy"])
def test_a_snapshot_never_holds_part_of_a_call(cls, ref, ndim, path):
    # every channel sees the same errors: a snapshot taken between two calls has every channel at
    # the state of the same number of calls. Switches between threads come only where one lets go
    # of the GIL (the native pass, NumPy's loops, a wait), never between the reads below.
    n, calls = 60_000, 25
    shape = (n,) if ndim == 1 else (2, n // 2)
    gains = [np.full(shape, g) for g in (0.5, 0.25, 0.125)]
    c, r = cls(*[g.copy() for g in gains]), ref(*[g.copy() for g in gains])
    errors = [np.full(shape, float(k % 7) - 3.0) for k in range(calls)]
    if path == "numpy":  # a subclass operand: the steps run, their loops letting go of the GIL
        errors = [e.view(Sub) for e in errors]
    states = {channel(fields(c), 0)}
    for e in errors:
        r.compute_control(e, np.zeros(shape), 0.5)
        states.add(channel(vars(r), 0))
    snapshots, torn, done = [0], [], threading.Event()

    def take():
        while not done.is_set():
            for state in (fields(c), fields(copy.copy(c))):
                seen = channel(state, 0), channel(state, -1)
                snapshots[0] += 1
                if seen[0] != seen[1] or seen[0] not in states:
                    torn.append(seen)
            time.sleep(0.0005)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    reader = threading.Thread(target=take)
    reader.start()
    try:
        for e in errors:
            c.compute_control(e, np.zeros(shape), 0.5)
    finally:
        done.set()
        reader.join()
        sys.setswitchinterval(interval)
    assert snapshots[0] > 0 and torn == []
    assert channel(fields(c), -1) == channel(vars(r), -1)


class Sub(np.ndarray):
    pass


class Blocking(np.ndarray):
    """An operand whose subtraction runs Python code: it comes back into the controller being
    called (which must go on), then waits until released."""
    entered, release = threading.Event(), threading.Event()
    controller = None

    def __sub__(self, other):
        fields(Blocking.controller)  # the same thread takes the controller again
        Blocking.entered.set()
        Blocking.release.wait(30)
        return np.subtract(np.asarray(self), other)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_call_that_comes_back_goes_on_and_a_forked_child_holds_nothing():
    c = PIDController(np.ones(3), np.ones(3), np.ones(3))
    Blocking.controller = c
    Blocking.entered.clear(), Blocking.release.clear()
    caller = threading.Thread(target=c.compute_control, args=(np.ones(3).view(Blocking), np.zeros(3), 0.1))
    caller.start()
    assert Blocking.entered.wait(30)  # the caller holds the controller now
    snapshot = []
    waiter = threading.Thread(target=lambda: snapshot.append(fields(c)))
    waiter.start()
    waiter.join(0.2)
    assert waiter.is_alive() and not snapshot  # another thread waits for the call
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        pid = os.fork()
    if pid == 0:  # the caller does not exist here: nothing may wait for it
        try:
            c.compute_control(np.ones(3), np.zeros(3), 0.1)
            code = 0 if fields(c)["integral"][0] == 0.1 else 1  # the caller never ended here
        finally:
            os._exit(locals().get("code", 2))
    _, status = os.waitpid(pid, 0)
    Blocking.release.set()
    caller.join(30)
    waiter.join(30)
    assert os.waitstatus_to_exitcode(status) == 0
    assert snapshot and snapshot[0]["integral"][0] == 0.1


EXIT_WHILE_CALLING = """
import sys, threading, time
import numpy as np
from kovar.bank import PIDBank
from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd
from kovar.sim import FOPDT, simulate

def loop(call):
    while True:
        call()

def start(call):
    threading.Thread(target=loop, args=(call,), daemon=True).start()

for n in (100, 100_000):  # below and above the size where the native passes let go of the GIL
    ones, zeros, strided = np.ones(n), np.zeros(n), np.ones(2 * n)[::2]
    # each call binds this size's arrays (a closure would see the last size's)
    for c in (PIDController(ones, ones, ones), AdaptiveController(ones, ones, ones)):
        start(lambda c=c, ones=ones, zeros=zeros: c.compute_control(ones, zeros, 0.1))
        start(lambda c=c, strided=strided, zeros=zeros: c.compute_control(strided, zeros, 0.1))
    xd = PIDControllerXd(*[np.ones((2, n))] * 3)
    start(lambda xd=xd, n=n: xd.compute_control(np.ones((2, n)), np.zeros((2, n)), 0.1))
    bank = PIDBank(n, kp=1.0, ki=1.0)
    start(lambda bank=bank, ones=ones, zeros=zeros: bank.update(ones, zeros, 0.1))
    start(lambda n=n: simulate(PIDBank(n, kp=1.0, ki=0.5), FOPDT(gain=1.0, tau=1.0), dt=0.1,
                               steps=200, record=False))
time.sleep(0.3)
"""


@pytest.mark.slow
def test_daemon_threads_inside_calls_at_exit_leave_a_clean_exit():
    # the interpreter ends such threads as they come back for the GIL (3.10-3.13 unwind their
    # stacks): they must not touch Python objects then
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_WHILE_CALLING], capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr[:3000] + "\n...\n" + done.stderr[-1000:]
        assert "Traceback" not in done.stderr, done.stderr[:3000]
