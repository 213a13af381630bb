"""simulate in a process of its own: Ctrl-C during a run, and the native
loop under an address-space limit or given sizes no buffer can have."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

NEEDS_AS_LIMIT = pytest.mark.skipif(os.environ.get("KOVAR_SANITIZED") == "1",
                               reason="address-space limits and ASan's shadow memory don't mix")


def run(code, *args, timeout=120):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code),
                           *args], capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.slow
def test_ctrl_c_stops_a_run_at_a_whole_step_and_leaves_the_bank_usable():
    got = run('''
        import faulthandler, json, os, signal, sys, threading, time
        import numpy as np
        from kovar.bank import PIDBank
        from kovar.sim import FOPDT
        from kovar.sim.inputs import Inputs
        from kovar.sim.loop import _simulate, run_native
        from kovar.sim.metrics import RunningMetrics

        n, dt, steps = 3000, 0.01, 10**7
        plant = FOPDT(np.linspace(0.5, 2.0, n), 1.0, np.linspace(0.0, 0.3, n))
        make = lambda: PIDBank(n, kp=np.linspace(0.2, 2.0, n), ki=0.5, kd=0.02, tf=0.01)
        bank, sent, reported = make(), [], [0]
        # simulate's run, the steps done after each chunk noted by a builtin
        # (Python code there could take the signal before noting them).
        inputs = Inputs((n,), steps, dt, 1.0, 0.0, None, None, None, None, 0.0, None)
        metrics = RunningMetrics((n,), dt, inputs.r_last, np.zeros(n))

        # Ctrl-C as a terminal sends it, whatever the parent left in place,
        # to the main thread; a run it fails to stop shows its stacks.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        faulthandler.dump_traceback_later(60, exit=True, file=sys.stderr)
        main = threading.main_thread().ident

        def interrupt():
            time.sleep(0.5)
            sent.append(time.perf_counter())
            signal.pthread_kill(main, signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            run_native(bank, plant.discretize(dt).broadcast((n,)), np.zeros(n), inputs, metrics, None, None,
                       reported.append)
            latency = None
        except KeyboardInterrupt:
            latency = time.perf_counter() - sent[0]
        done = reported[-1]
        fresh = make()
        _simulate(fresh, plant, dt, done, 1.0, 0.0, None, 0.0, None, False, native=True)
        a, b = bank.__reduce__()[2], fresh.__reduce__()[2]
        same = all(np.array_equal(np.asarray(a[k]).view(np.uint8), np.asarray(b[k]).view(np.uint8))
                   if isinstance(a[k], np.ndarray) else a[k] == b[k] for k in b)
        usable = bool(np.isfinite(bank.update(1.0, 0.5, dt)).all())
        print(json.dumps(dict(latency=latency, done=done, steps=steps, same=same, usable=usable)))
    ''')
    assert got["latency"] is not None and got["latency"] < 1.0, got
    assert 0 < got["done"] < got["steps"]
    assert got["same"] and got["usable"]


# Each prints the exception the native loop's entry raised.
ENTRY = '''
    import json, resource, sys
    import numpy as np
    from kovar.bank import PIDBank
    from kovar.sim import _loop

    def args(n, steps, d, r):
        f = lambda: np.zeros(n)
        i = lambda: np.full(n, -1, dtype=np.int64)
        return dict(bank=PIDBank(n, kp=1.0), kind=0, dt=0.1, steps=steps, d=d,
                    coefficients=(f(), f()), r=r, z=None, noise=f(),
                    load=np.broadcast_to(0.0, (steps, n)), load_start=steps,
                    sums=tuple(f() for _ in range(7)), marks=(i(), i(), i()),
                    levels=tuple(f() for _ in range(5)), y=None, u=None, progress=None,
                    feedforward=None, track=None, start=(f(), None, f()))

    def limit_to(more):
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) << 10 for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + more, resource.getrlimit(resource.RLIMIT_AS)[1]))

    case = sys.argv[1]
    if case == "dead times past a run longer than any delay line":
        steps = 2**60 - 1  # the longest setpoint NumPy allows
        call = args(1, steps, np.array([steps]), np.broadcast_to(1.0, (steps, 1)))
        call["progress"] = lambda done: 1 / 0  # stops the run after its first chunk
    elif case == "a gathered setpoint past the memory limit":
        n = 2**21
        call = args(n, 1, np.zeros(n, dtype=np.int64), np.ones((1, n, 2))[..., 0])
        limit_to(8 << 20)
    elif case == "dead times past the run, under a memory limit":
        n, steps = 10_000, 5_000
        call = args(n, steps, np.full(n, steps), np.ones((steps, 1, 1)))
        call["r"] = np.broadcast_to(1.0, (steps, n))
        limit_to(128 << 20)
    try:
        _loop.run(**call)
        print(json.dumps(["done", ""]))
    except Exception as exc:
        print(json.dumps([type(exc).__name__, str(exc)]))
'''


@pytest.mark.parametrize("case, error, message", [
    # (steps + 1) x channels of delay line would be past what a vector can
    # hold: no delay line is needed, and the run starts.
    ("dead times past a run longer than any delay line", "ZeroDivisionError", ""),
    pytest.param("a gathered setpoint past the memory limit", "MemoryError", "",
                 marks=NEEDS_AS_LIMIT),
    # Channels whose dead time reaches past the run need no delay line:
    # (steps + 1) x channels of it would not fit.
    pytest.param("dead times past the run, under a memory limit", "done", "",
                 marks=NEEDS_AS_LIMIT),
])
def test_the_native_loop_under_hostile_sizes_and_memory_limits(case, error, message):
    got = run(ENTRY, case)
    assert got[0] == error and got[1].startswith(message), got
