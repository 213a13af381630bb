"""kovar.bank across processes and interpreters: a child forked while
another thread updates a bank, and subinterpreters, which are refused."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.slow  # each test starts processes


def run(code, timeout=120):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_child_forked_during_an_update_can_update_the_bank():
    # The parent's threads hold the bank's lock, GIL released, for most of
    # each update, or wait for it: the fork lands inside an update, with the
    # other thread waiting. The child must get the lock.
    got = run('''
        import json, os, threading, time, warnings
        import numpy as np
        from kovar.bank import PIDBank
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads, 3.12+
        n = 4_000_000
        bank = PIDBank(n, kp=1.0, ki=0.5)
        r, y, stop, started = np.ones(n), np.zeros(n), threading.Event(), threading.Event()
        def spin():
            while not stop.is_set():
                started.set()
                bank.update(r, y, 0.01)
        workers = [threading.Thread(target=spin) for _ in range(2)]
        for worker in workers:
            worker.start()
        started.wait()
        time.sleep(0.01)
        pid = os.fork()
        if pid == 0:
            u = bank.update(1.0, 0.0, 0.0)
            os._exit(0 if u.shape == (n,) and bank.integral.shape == (n,) else 3)
        stop.set()
        for worker in workers:
            worker.join()
        deadline, status = time.monotonic() + 20, None
        while status is None and time.monotonic() < deadline:
            done, code = os.waitpid(pid, os.WNOHANG)
            status = os.waitstatus_to_exitcode(code) if done else None
            time.sleep(0.02)
        if status is None:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        bank.update(r, y, 0.01)  # the parent's lock is free as well
        print(json.dumps(status))
    ''')
    assert got == 0  # None: the child hung


SUBINTERPRETERS = '''
import json, sys
def subinterpreters():  # a new subinterpreter of each kind the running CPython has
    if sys.version_info >= (3, 13):
        import _interpreters as subs
        return {kind: subs.create(subs.new_config(kind)) for kind in ("legacy", "isolated")}
    import _xxsubinterpreters as subs
    if sys.version_info >= (3, 12):
        return {"legacy": subs.create(isolated=False), "isolated": subs.create(isolated=True)}
    return {"legacy": subs.create()}
def import_there(sub, code):  # what running `code` in the subinterpreter raises, as "<class 'T'>: message"
    if sys.version_info >= (3, 13):
        import _interpreters as subs
        failure = subs.run_string(sub, code)
        return failure and f"<class '{failure.type.__name__}'>: {failure.msg}"
    import _xxsubinterpreters as subs
    try:
        subs.run_string(sub, code)
    except Exception as exc:
        return str(exc)
'''
REFUSAL = ("<class 'ImportError'>: Interpreter change detected - this module can only be "
           "loaded into one interpreter per process.")


@pytest.mark.parametrize("first", ["main", "sub"])
def test_a_second_interpreter_is_refused(first):
    # Whichever interpreter imports the module first keeps it; the refusal
    # comes before the module imports NumPy.
    got = run(SUBINTERPRETERS + textwrap.dedent(f'''
        subs = subinterpreters()
        legacy = subs.pop("legacy")
        out = {{}}
        if {first!r} == "sub":
            out["numpy there"] = import_there(legacy, "import numpy")
            out["sub first"] = import_there(legacy, "import kovar.bank; kovar.bank.PIDBank(2, kp=1.0).update(1.0, 0.0, 0.1)")
            try:
                import kovar.bank
            except ImportError as exc:
                out["main"] = str(exc)
        else:
            import kovar.bank
            out["main"] = kovar.bank.PIDBank(2, kp=1.0).update(1.0, 0.0, 0.1).tolist()
            out["legacy"] = [import_there(legacy, "import kovar.bank") for _ in range(2)]
        out["isolated"] = [import_there(sub, "import kovar.bank") for sub in subs.values()]
        print(json.dumps(out))
    '''))
    # From 3.12 the import machinery itself refuses isolated subinterpreters.
    isolated = ["<class 'ImportError'>: module kovar.bank does not support loading in subinterpreters"
                ] if sys.version_info >= (3, 12) else []
    if first == "sub" and got.pop("numpy there"):
        # Some NumPy releases refuse a subinterpreter themselves (2.1 on
        # CPython 3.13, 2.3 on 3.14), before the module could be loaded there.
        pytest.skip("NumPy does not import in a subinterpreter here")
    if first == "sub":
        assert got == {"sub first": None, "main": REFUSAL.split(": ", 1)[1], "isolated": isolated}
    else:
        assert got == {"main": [1.0, 1.0], "legacy": [REFUSAL, REFUSAL], "isolated": isolated}
