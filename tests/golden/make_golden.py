"""Writes the golden pickles of the three controllers and expected.json.

The pickles pin down the stored format: later versions of the module must
keep loading them.  The files are written once and checked in; the tests only
read them.  Run from the repository root with the module importable:

    PYTHONPATH=build/stage python tests/golden/make_golden.py

Use NumPy 1.x to write them: arrays pickled by NumPy 2 with protocol 5 refer
to numpy._core.numeric, which NumPy 1.26 cannot import, while NumPy 2 still
loads what NumPy 1.x wrote.

Importing this module (as the loader of the subclass pickles does) writes
nothing; it only defines the subclass those pickles refer to.
"""
import json
import pickle
from pathlib import Path

import numpy as np

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

HERE = Path(__file__).resolve().parent
PROTOCOLS = (0, 2, 5)


class TaggedPID(PIDController):
    """A subclass with instance attributes; pickles refer to it as make_golden.TaggedPID."""


def a(*values):
    return np.array(values, dtype=np.float64)


def a2(*rows):
    return np.array(rows, dtype=np.float64)


def pid():
    return PIDController(a(1.0, 2.0, -0.5), a(0.5, 0.25, 1.0), a(0.1, 0.0, 0.2))


def pid_xd():
    return PIDControllerXd(a2([1.0, 2.0], [0.5, -1.0]), a2([0.5, 0.5], [0.125, 1.0]),
                           a2([0.1, 0.0], [0.3, 0.2]))


def adaptive():
    return AdaptiveController(a(1.0, 2.0), a(0.5, 0.5), a(0.25, 0.25),
                              learning_rate=0.05, max_adjustment=0.2)


def tagged():
    c = TaggedPID(a(1.5, -2.0), a(0.5, 0.5), a(0.0, 0.25))
    c.label = "left arm"
    c.limits = [-3.0, 3.0]
    return c


# name: (factory, calls made before pickling ("running") or after ("next"))
CASES = {
    "pid": (pid, [(a(1.0, 0.5, -2.0), a(0.0, 0.25, 1.0), 0.1),
                  (a(1.5, 0.5, -1.0), a(0.5, 0.0, 0.0), 0.05),
                  (a(1.0, 1.0, 1.0), a(2.0, -1.0, 0.5), 0.0)]),
    "pid_xd": (pid_xd, [(a2([1.0, 2.0], [3.0, -4.0]), a2([0.0, 0.5], [1.0, 1.0]), 0.1),
                        (a2([1.5, 2.0], [2.0, -3.0]), a2([0.5, 0.5], [1.0, 0.0]), 0.2),
                        (a2([0.0, 1.0], [1.0, 1.0]), a2([0.25, 0.0], [0.0, 2.0]), 0.5)]),
    "adaptive": (adaptive, [(a(20.0, 1.0), a(0.0, 0.0), 0.5),
                            (a(10.0, -2.0), a(1.0, 0.5), 0.25),
                            (a(3.0, 3.0), a(2.5, 4.0), 0.0)]),
    "tagged_pid": (tagged, [(a(1.0, 0.5), a(0.0, 0.25), 0.1),
                            (a(0.5, 0.5), a(0.25, 0.0), 0.2),
                            (a(2.0, -1.0), a(1.0, 1.0), 0.05)]),
}


def plain(value):
    """A JSON form of a state element: arrays become nested lists."""
    return value.tolist() if isinstance(value, np.ndarray) else value


def write():
    expected = {}
    for name, (factory, calls) in CASES.items():
        for stage in ("fresh", "running"):
            controller = factory()
            if stage == "running":
                for target, current, dt in calls[:2]:
                    controller.compute_control(target, current, dt)
            _, args, state = controller.__reduce__()
            files = []
            for protocol in PROTOCOLS:
                path = HERE / f"{name}-{stage}-p{protocol}.pickle"
                path.write_bytes(pickle.dumps(controller, protocol))
                files.append(path.name)
            has_dict = type(controller) is TaggedPID
            expected[f"{name}-{stage}"] = {
                "files": files,
                "class": f"{type(controller).__module__}.{type(controller).__qualname__}",
                "checksum": args[1],
                "state": [plain(v) for v in (state[:-1] if has_dict else state)],
                "attributes": dict(state[-1]) if has_dict else None,
                "next_calls": [
                    {"target": t.tolist(), "current": c.tolist(), "dt": dt,
                     "result": controller.compute_control(t, c, dt).tolist()}
                    for t, c, dt in calls[2:] + calls[:1]
                ],
            }
    lines = [f"{json.dumps(k)}: {json.dumps(v, sort_keys=True)}" for k, v in sorted(expected.items())]
    (HERE / "expected.json").write_text("{\n" + ",\n".join(lines) + "\n}\n")


if __name__ == "__main__":
    # Run through the importable module so TaggedPID pickles as make_golden.TaggedPID.
    import make_golden

    make_golden.write()
