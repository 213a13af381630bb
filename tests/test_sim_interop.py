"""python-control interop: plants and gains as transfer functions, checked
against kovar's own frequency response and simulation, and plants back."""
import sys

import numpy as np
import pytest

from kovar import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, plant_from_control, simulate
from kovar.tune import Gains
from kovar.tune.robustness import loop_response

control = pytest.importorskip("control")

PLANTS = [
    FOPDT([1.0, -2.0, 0.5], [1.0, 0.2, 30.0], [0.0, 0.33, 1.7]),
    SOPDT([1.0, 2.0, -0.7], [3.0, 1.0, 0.05], [0.5, 1.0, 4.0], [0.0, 0.5, 0.26]),
    Integrating([1.0, 0.3, -2.0], [0.0, 1.04, 0.2]),
]
GAINS = Gains(kp=[2.0, 0.4, -1.5], ki=[0.5, 0.0, -0.2], kd=[0.3, 1.0, -0.1], tf=[0.05, 0.0, 0.2])


@pytest.mark.parametrize("plant", PLANTS, ids=lambda p: type(p).__name__)
def test_loop_frequency_response_matches_kovars(plant):
    # C*P from python-control against robustness's own L(jw), the delay exact
    # there: equal to rounding without a delay, within Padé's error up to w*L = 1.
    delays = plant.delay
    w = np.logspace(-2, 2, 200)
    exact = loop_response(plant, GAINS, w)
    for i, (c, p) in enumerate(zip(GAINS.to_control(), plant.to_control())):
        got = (c * p)(1j * w)
        band = w * delays[i] <= 1.0
        tolerance = 1e-12 if delays[i] == 0.0 else 1e-9
        np.testing.assert_allclose(got[band], exact[i][band], rtol=tolerance)


@pytest.mark.parametrize("plant", PLANTS, ids=lambda p: type(p).__name__)
def test_discrete_step_response_is_kovars_simulation(plant):
    dt, steps = 0.1, 120
    run = simulate(PIDBank(plant.shape, kp=0.0), plant, dt=dt, steps=steps, setpoint=0.0, load=1.0)
    t = np.arange(steps) * dt
    for i, sysd in enumerate(plant.to_control(dt=dt)):
        y = control.forced_response(sysd, T=t, U=np.ones(steps)).outputs
        np.testing.assert_allclose(y, run.y[:, i], rtol=0, atol=1e-12 * np.abs(run.y[:, i]).max())


def test_discrete_controller_is_the_banks_law():
    # The bank fed a measurement sequence (from rest, r = 0) outputs -C(z)*y;
    # y[0] = 0 so the first step's D = 0 is the linear law's too.
    dt, steps = 0.05, 200
    y = np.random.default_rng(1).standard_normal((steps, 3))
    y[0] = 0.0
    bank = PIDBank(3, **GAINS)
    u = np.array([bank.update(0.0, y[k], dt).copy() for k in range(steps)])
    t = np.arange(steps) * dt
    for i, c in enumerate(GAINS.to_control(dt=dt)):
        expected = control.forced_response(-c, T=t, U=y[:, i]).outputs
        np.testing.assert_allclose(u[:, i], expected, rtol=0, atol=1e-11 * np.abs(u[:, i]).max())


@pytest.mark.parametrize("plant", PLANTS + [SOPDT(2.0, 1.5, 1.5, 0.3)], ids=lambda p: type(p).__name__)
@pytest.mark.parametrize("dt", [None, 0.1])
def test_round_trip(plant, dt):
    if dt is None:
        # python-control has no dead time: it comes back as the argument.
        rest = type(plant)(**{**plant.params(), "delay": 0.0})
        back = type(plant).from_control(rest.to_control(), delay=plant.delay)
        expected = plant
    else:
        back = plant_from_control(plant.to_control(dt=dt))
        # The dead time comes back as the whole samples kovar simulates.
        expected = type(plant)(**{**plant.params(), "delay": np.floor(plant.delay / dt + 0.5) * dt})
    if isinstance(plant, SOPDT):
        # The lags commute in the transfer function; they come back ordered.
        p = expected.params()
        expected = SOPDT(p["gain"], np.maximum(p["tau1"], p["tau2"]), np.minimum(p["tau1"], p["tau2"]), p["delay"])
    assert type(back) is type(plant) and back.shape == plant.shape
    for name, value in expected.params().items():
        # Equal lags come back through a square root of a rounded zero.
        np.testing.assert_allclose(back.params()[name], value, rtol=1e-7 if name.startswith("tau") else 1e-10)


def test_one_system_and_nested_lists():
    single = FOPDT(2.0, 4.0, 0.5).to_control()
    assert isinstance(single, control.TransferFunction)
    grid = SOPDT([[1.0, 2.0]], 3.0, 1.0).to_control(dt=0.2)
    assert grid.shape == (1, 2)
    assert plant_from_control(grid.tolist()).shape == (1, 2)
    assert plant_from_control(control.tf([1.0], [1.0, 0.0]), delay=[0.1, 0.2]).delay.tolist() == [0.1, 0.2]


s = control.tf("s")
NOT_PLANTS = [
    ((s + 1) / (s * s + 3 * s + 2), {}, "it has zeros"),
    (1 / (s * s + s + 1), {}, "complex"),
    (1 / (s - 1), {}, "unstable"),
    (1 / (s * (s + 1)), {}, "integrator with a lag"),
    (1 / (s + 1) ** 3, {}, "order 3"),
    (control.tf([1.0, 0.5], [1.0, -1.5, 0.56], 0.1), {}, "zero-order hold of SOPDT"),
    (control.tf([1.0], [1.0, 0.5], 0.1), {"delay": 0.2}, "discrete"),
    (control.tf([1.0], [1.0, -1.2], 0.1), {}, "not in \\(0, 1\\)"),
    (control.tf([1.0], [1.0, 1.0], True), {}, "unspecified sample time"),
    ([1 / (s + 1), 1 / s], {}, "one kind"),
]


@pytest.mark.parametrize("sys_, kwargs, message", NOT_PLANTS, ids=[m for _, _, m in NOT_PLANTS])
def test_other_forms_are_refused(sys_, kwargs, message):
    with pytest.raises(ValueError, match=message):
        plant_from_control(sys_, **kwargs)


def test_refusals_name_the_argument(monkeypatch):
    with pytest.raises(ValueError, match="not a SOPDT"):
        SOPDT.from_control(1 / (s + 1))
    with pytest.raises(ValueError, match="pade must be at least 1"):
        FOPDT(1.0, 1.0, 1.0).to_control(pade=0)
    with pytest.raises(ValueError, match="dt must be"):
        Gains(1.0).to_control(dt=0.0)
    with pytest.raises(ValueError, match=r"delay is 200000000 samples .* \(index \(1,\)\)"):
        FOPDT(1.0, 1.0, [0.0, 2e5]).to_control(dt=1e-3)
    with pytest.raises(TypeError, match="sys must be a python-control system"):
        plant_from_control("1/(s+1)")
    monkeypatch.setitem(sys.modules, "control", None)
    with pytest.raises(ImportError, match="pip install control"):
        FOPDT(1.0, 1.0).to_control()
