"""Writes the golden pickles of kovar.bank.PIDBank and expected.json.

They pin down the stored format (state version 1) that later versions must
keep loading; they are checked in and the tests only read them. Write them
once with NumPy 1.x, whose pickles NumPy 2 loads too, from the repository
root:
    PYTHONPATH=<dir holding the built kovar package> .venv-numpy1/bin/python tests/golden/bank/make_bank_golden.py
"""
import json
import math
import pickle
from pathlib import Path

import numpy as np

from kovar.bank import PIDBank

HERE = Path(__file__).resolve().parent
PROTOCOLS = (0, 2, 5)


def fresh():
    return PIDBank(3, kp=2.0, ki=0.5, kd=0.1, u_min=-1.0, u_max=1.0)


def running():
    bank = PIDBank(4, kp=[1.0, 2.0, 0.5, 3.0], ki=[0.5, 1.0, 0.0, 2.0], kd=0.2, b=0.7, c=0.5,
                   tf=0.05, u_min=-2.0, u_max=[2.0, 1.0, 2.0, 1.5], i_min=-1.5, i_max=1.5,
                   deadband=0.01, anti_windup="conditional", tt=[0.5, 1.0, 2.0, 4.0])
    bank.update([1.0, 2.0, -1.0, 0.5], [0.0, 0.5, 0.25, -0.5], 0.1)
    bank.set_manual([0.5, -0.25, 1.0, 3.0], where=[False, True, False, True])
    bank.update([1.5, 2.0, -1.0, 0.5], [0.25, 0.5, 0.0, -0.25], 0.05)
    bank.reset(where=[False, False, True, False])
    return bank


def grid():
    bank = PIDBank((2, 2), kp=1.5, ki=[[0.5], [1.0]], kd=0.0, anti_windup="none", u_max=3.0)
    bank.update(2.0, [[0.0, 1.0], [0.5, -1.0]], 0.2)
    return bank


CASES = {"fresh": fresh, "running": running, "grid": grid}
# The calls made on every loaded bank, whose results expected.json records.
NEXT_CALLS = [(1.0, 0.25, 0.1), (0.5, -0.5, 0.0), (2.0, 0.0, 0.2)]


def record(bank):
    def listed(a):
        return [x if math.isfinite(x) else repr(x) for x in np.ravel(a).tolist()]

    outputs = [listed(bank.update(*call)) for call in NEXT_CALLS]
    return {"shape": list(bank.shape), "integral": listed(bank.integral), "outputs": outputs}


def main():
    expected = {}
    for name, make in CASES.items():
        for protocol in PROTOCOLS:
            (HERE / f"{name}-p{protocol}.pickle").write_bytes(pickle.dumps(make(), protocol))
        expected[name] = record(make())
    (HERE / "expected.json").write_text(json.dumps(expected, indent=1) + "\n")


if __name__ == "__main__":
    main()
