"""Code as a user writes it, checked by mypy --strict against kovar's stubs:
it type-checks but for the lines marked WRONG."""
import pickle

import numpy as np
import numpy.typing as npt

import kovar
from kovar import PIDBank as LazyBank
from kovar.bank import PIDBank
from kovar.sim import FOPDT, simulate, step_test
from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd


def step(controller: PIDController, setpoint: npt.NDArray[np.float64]) -> float:
    signal = controller.compute_control(setpoint, np.zeros_like(setpoint), 0.1)
    return float(signal.sum())


bank = PIDController(np.array([1.0]), np.array([0.5]), np.array([0.1]))
grid = PIDControllerXd(np.ones((2, 2)), np.ones((2, 2)), None)
adaptive = AdaptiveController(np.ones(3), np.ones(3), np.ones(3), learning_rate=0.05)
total = step(bank, np.array([1.0])) + float(adaptive.compute_control(np.ones(3), np.zeros(3), 0.1)[0])
restored: PIDControllerXd = pickle.loads(pickle.dumps(grid))

# Arrays as NumPy's functions return them, NumPy scalars where numbers go.
n = 4
gains = np.linspace(0.5, 2.0, n)
ramp = PIDController(gains, 0.5 * gains, np.zeros(n))
signal = ramp.compute_control(np.full(n, 1.0), np.arange(n) / n, np.float32(0.01))
signal = ramp.compute_control(gains * 2.0, np.sin(gains), np.float64(0.01))
tuned = AdaptiveController(np.linspace(0.1, 1.0, n), np.ones(n), np.zeros(n),
                           learning_rate=np.float32(0.05), max_adjustment=np.float64(0.1))
loops = PIDBank(n, kp=gains, ki=np.float32(0.5), u_min=0.0, u_max=1.0)
out = np.empty_like(gains)
u: npt.NDArray[np.float64] = loops.update(np.linspace(0.0, 1.0, n), signal, np.float32(0.01), out=out)
u = loops.update(1.0, np.zeros(n), 0.01)

# A recorded run has its response; a run that keeps the measures only has none.
loop = simulate(LazyBank(n, kp=1.0, ki=0.5), FOPDT(gain=1.0, tau=2.0), dt=0.1, steps=50)
peak = float(loop.y.max()) + float(loop.u.max()) + float(loop.iae.sum())
quiet = simulate(kovar.PIDBank(n, kp=1.0), FOPDT(1.0, 2.0), dt=0.1, steps=50, record=False)
nothing: None = quiet.y

# A loop of one's own with the plant stepper; simulate from an operating point.
plant = FOPDT(gains, 2.0).discretize(0.1).start(u0=0.5)
level: npt.NDArray[np.float64] = plant.output()
level = plant.step(loops.update(1.0, level, 0.1))
t, held_u, response = step_test(FOPDT(1.0, 2.0, delay=0.3), 0.1, 50, amplitude=0.5)
running = simulate(PIDBank(n, kp=1.0, ki=0.5), FOPDT(1.0, 2.0), dt=0.1, steps=50,
                   load=np.zeros((50, n)), load_time=1.0, feedforward=0.1, initial_input=0.5)
moved = float(running.y[-1].sum()) + float(FOPDT(1.0, 2.0).response(np.ones(5), 0.1)[-1])

bank.compute_control([1.0], np.array([0.0]), 0.1)  # WRONG: a list where an array belongs
LazyBank(3, kp=1.0, nonsense=1)  # WRONG: no such parameter, through the lazy import
PIDBank(3, kp="1.0")  # WRONG: a string where a number belongs
