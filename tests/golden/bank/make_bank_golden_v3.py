"""Writes the golden pickles of kovar.bank.PIDBank in state version 3 and
expected_v3.json.

Version 3 keeps the terms only where asked for (keep_terms) and holds a
pending change of kp or b (settled at the channel's next call) instead of
the last inputs; these pickles pin it down as make_bank_golden_v2.py pins
down version 2. They are checked in and the tests only read them. Write
them once with NumPy 1.x, whose pickles NumPy 2 loads too, from the
repository root:
    PYTHONPATH=<dir holding the built kovar package> <python with NumPy 1.x> tests/golden/bank/make_bank_golden_v3.py
"""
import json
import math
import pickle
from pathlib import Path

import numpy as np

from kovar.bank import PIDBank

HERE = Path(__file__).resolve().parent
PROTOCOLS = (0, 2, 5)


def pending():
    """Changes of kp and b waiting for the next call, one channel manual,
    the terms kept."""
    bank = PIDBank(3, kp=[1.0, -2.0, 0.5], ki=[0.5, -1.0, 0.25], kd=0.1, tf=0.05,
                   u_min=-1.0, u_max=1.0, rate_limit=[2.0, math.inf, 0.5], keep_terms=True)
    for k in range(4):
        bank.update([1.0, 2.0, -1.0], [0.1 * k, 0.0, 0.2], 0.1, feedforward=[0.1, 0.0, -0.2])
    bank.set_manual(0.25, where=[False, False, True])
    bank.set_params(where=[True, True, False], kp=[2.0, -1.0, 0.0])
    bank.b = 0.5
    return bank


def plain():
    """No terms kept, a gap pending, on_nan='hold'."""
    bank = PIDBank((2, 2), kp=1.5, ki=0.5, kd=0.2, on_nan="hold", tt=0.5)
    bank.update(1.0, [[0.0, 0.5], [0.25, -0.5]], 0.1)
    bank.update(1.0, [[np.nan, 0.5], [0.3, -0.3]], 0.1)
    return bank


CASES = {"pending": pending, "plain": plain}
# The calls made on every loaded bank, whose results expected_v3.json records.
NEXT_CALLS = [
    dict(setpoint=1.0, measurement=0.25, dt=0.1),
    dict(setpoint=0.5, measurement=-0.5, dt=0.0, feedforward=0.125),
    dict(setpoint=2.0, measurement=0.0, dt=0.2, feedforward=-0.25, track=0.5),
]


def record(bank):
    def listed(a):
        return [x if math.isfinite(x) else repr(x) for x in np.ravel(a).tolist()]

    outputs = []
    for call in NEXT_CALLS:
        outputs.append(listed(bank.update(**call)))
        outputs.append(listed(bank.integral))
        if bank.keep_terms:
            outputs.extend(listed(t) for t in bank.terms)
    return {"shape": list(bank.shape), "keep_terms": bank.keep_terms, "outputs": outputs}


def main():
    expected = {}
    for name, make in CASES.items():
        for protocol in PROTOCOLS:
            (HERE / f"v3-{name}-p{protocol}.pickle").write_bytes(pickle.dumps(make(), protocol))
        expected[name] = record(make())
    (HERE / "expected_v3.json").write_text(json.dumps(expected, indent=1) + "\n")


if __name__ == "__main__":
    main()
