"""Writes the golden pickles of kovar.bank.PIDBank in state version 2 and
expected_v2.json.

Version 2 added rate_limit, on_nan, the gap flags, the held setpoint and
measurement and the terms; these pickles pin it down as make_bank_golden.py
pins down version 1. They are checked in and the tests only read them.
Write them once with NumPy 1.x, whose pickles NumPy 2 loads too, from the
repository root:
    PYTHONPATH=<dir holding the built kovar package> .venv-numpy1/bin/python tests/golden/bank/make_bank_golden_v2.py
"""
import json
import math
import pickle
from pathlib import Path

import numpy as np

from kovar.bank import PIDBank

HERE = Path(__file__).resolve().parent
PROTOCOLS = (0, 2, 5)


def reverse():
    """Reverse-acting, rate-limited, saturated, with feed-forward: the terms
    stored, the held setpoint and measurement set."""
    bank = PIDBank(3, kp=[-1.0, -2.0, 0.5], ki=[-0.5, -1.0, 0.25], kd=0.1, tf=0.05,
                   u_min=-1.0, u_max=1.0, rate_limit=[2.0, math.inf, 0.5],
                   anti_windup="conditional")
    for k in range(5):
        bank.update([1.0, 2.0, -1.0], [0.1 * k, 0.0, 0.2], 0.1, feedforward=[0.1, 0.0, -0.2])
    return bank


def failed_sensor():
    """on_nan='hold', a gap pending, one channel held manual by its output,
    terms derived when pickled."""
    bank = PIDBank((2, 2), kp=1.5, ki=0.5, kd=0.2, on_nan="hold", tt=0.5)
    bank.update(1.0, [[0.0, 0.5], [0.25, -0.5]], 0.1)
    bank.update(1.0, [[0.1, 0.5], [0.25, -0.4]], 0.1)
    bank.set_manual(where=[[False, True], [False, False]])
    bank.update(1.0, [[np.nan, 0.5], [0.3, -0.3]], 0.1)
    return bank


def tracked():
    bank = PIDBank(2, kp=2.0, ki=4.0, u_min=0.0, u_max=1.0)
    bank.update(1.0, 0.0, 0.1)
    bank.update(1.0, 0.0, 0.1, track=[0.25, np.nan])
    bank.set_params(where=[True, False], kp=1.0, b=0.5)
    return bank


CASES = {"reverse": reverse, "failed_sensor": failed_sensor, "tracked": tracked}
# The calls made on every loaded bank, whose results expected_v2.json records.
NEXT_CALLS = [
    dict(setpoint=1.0, measurement=0.25, dt=0.1),
    dict(setpoint=0.5, measurement=-0.5, dt=0.0, feedforward=0.125),
    dict(setpoint=2.0, measurement=0.0, dt=0.2, feedforward=-0.25, track=0.5),
]


def record(bank):
    def listed(a):
        return [x if math.isfinite(x) else repr(x) for x in np.ravel(a).tolist()]

    terms = [listed(t) for t in bank.terms] if bank.keep_terms else None
    outputs = []
    for call in NEXT_CALLS:
        outputs.append(listed(bank.update(**call)))
        outputs.append(listed(bank.integral))
    return {"shape": list(bank.shape), "terms": terms, "outputs": outputs}


def main():
    expected = {}
    for name, make in CASES.items():
        for protocol in PROTOCOLS:
            (HERE / f"v2-{name}-p{protocol}.pickle").write_bytes(pickle.dumps(make(), protocol))
        expected[name] = record(make())
    (HERE / "expected_v2.json").write_text(json.dumps(expected, indent=1) + "\n")


if __name__ == "__main__":
    main()
