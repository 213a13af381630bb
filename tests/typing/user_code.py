"""Code as a user writes it, checked by mypy --strict against kovar's stubs:
it type-checks but for the one line marked WRONG."""
import pickle

import numpy as np
import numpy.typing as npt

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd


def step(controller: PIDController, setpoint: npt.NDArray[np.float64]) -> float:
    signal = controller.compute_control(setpoint, np.zeros_like(setpoint), 0.1)
    return float(signal.sum())


bank = PIDController(np.array([1.0]), np.array([0.5]), np.array([0.1]))
grid = PIDControllerXd(np.ones((2, 2)), np.ones((2, 2)), None)
adaptive = AdaptiveController(np.ones(3), np.ones(3), np.ones(3), learning_rate=0.05)
total = step(bank, np.array([1.0])) + float(adaptive.compute_control(np.ones(3), np.zeros(3), 0.1)[0])
restored: PIDControllerXd = pickle.loads(pickle.dumps(grid))
bank.compute_control([1.0], np.array([0.0]), 0.1)  # WRONG: a list where an array belongs
