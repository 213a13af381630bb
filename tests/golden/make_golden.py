"""Writes the golden pickles of the three controllers and expected.json.

The pickles pin down the stored format that later versions must keep loading; they are checked in and the
tests only read them. Write them with NumPy 1.x (NumPy 2 pickles arrays with protocol 5 as numpy._core.numeric,
which NumPy 1.26 cannot import), from the repository root:
    PYTHONPATH=build/stage /tmp/np1/bin/python tests/golden/make_golden.py
Importing this module (as loading the subclass pickles does) writes nothing.
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


# name: (factory, calls: two made before pickling the "running" stage, then the recorded next calls)
CASES = {
    "pid": (lambda: PIDController(a(1.0, 2.0, -0.5), a(0.5, 0.25, 1.0), a(0.1, 0.0, 0.2)),
            [(a(1.0, 0.5, -2.0), a(0.0, 0.25, 1.0), 0.1), (a(1.5, 0.5, -1.0), a(0.5, 0.0, 0.0), 0.05),
             (a(1.0, 1.0, 1.0), a(2.0, -1.0, 0.5), 0.0)]),
    "pid_xd": (lambda: PIDControllerXd(a([1.0, 2.0], [0.5, -1.0]), a([0.5, 0.5], [0.125, 1.0]), a([0.1, 0.0], [0.3, 0.2])),
               [(a([1.0, 2.0], [3.0, -4.0]), a([0.0, 0.5], [1.0, 1.0]), 0.1),
                (a([1.5, 2.0], [2.0, -3.0]), a([0.5, 0.5], [1.0, 0.0]), 0.2),
                (a([0.0, 1.0], [1.0, 1.0]), a([0.25, 0.0], [0.0, 2.0]), 0.5)]),
    "adaptive": (lambda: AdaptiveController(a(1.0, 2.0), a(0.5, 0.5), a(0.25, 0.25), learning_rate=0.05, max_adjustment=0.2),
                 [(a(20.0, 1.0), a(0.0, 0.0), 0.5), (a(10.0, -2.0), a(1.0, 0.5), 0.25), (a(3.0, 3.0), a(2.5, 4.0), 0.0)]),
    "tagged_pid": (lambda: (c := TaggedPID(a(1.5, -2.0), a(0.5, 0.5), a(0.0, 0.25)),
                            c.__dict__.update(label="left arm", limits=[-3.0, 3.0]))[0],
                   [(a(1.0, 0.5), a(0.0, 0.25), 0.1), (a(0.5, 0.5), a(0.25, 0.0), 0.2), (a(2.0, -1.0), a(1.0, 1.0), 0.05)]),
}


def write():
    expected = {}
    for (name, (factory, calls)), stage in ((case, stage) for case in CASES.items() for stage in ("fresh", "running")):
        controller = factory()
        for target, current, dt in calls[:2] if stage == "running" else ():
            controller.compute_control(target, current, dt)
        _, args, state = controller.__reduce__()
        files = [f"{name}-{stage}-p{p}.pickle" for p in PROTOCOLS]
        for p, file in zip(PROTOCOLS, files):
            (HERE / file).write_bytes(pickle.dumps(controller, p))
        has_dict = type(controller) is TaggedPID
        expected[f"{name}-{stage}"] = {
            "files": files, "class": f"{type(controller).__module__}.{type(controller).__qualname__}", "checksum": args[1],
            "state": [v.tolist() if isinstance(v, np.ndarray) else v for v in (state[:-1] if has_dict else state)],
            "attributes": dict(state[-1]) if has_dict else None,
            "next_calls": [{"target": t.tolist(), "current": c.tolist(), "dt": dt,
                            "result": controller.compute_control(t, c, dt).tolist()} for t, c, dt in calls[2:] + calls[:1]]}
    lines = [f"{json.dumps(k)}: {json.dumps(v, sort_keys=True)}" for k, v in sorted(expected.items())]
    (HERE / "expected.json").write_text("{\n" + ",\n".join(lines) + "\n}\n")


if __name__ == "__main__":
    import make_golden  # run through the importable module, so that TaggedPID pickles as make_golden.TaggedPID

    make_golden.write()
