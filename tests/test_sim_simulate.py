"""simulate: the closed loop against a loop written here from the plant
equations, its measures, and its refusals."""
import math

import numpy as np
import pytest

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, response_metrics, simulate

GAINS = dict(kp=np.array([0.8, 1.5, 0.3, 2.0]), ki=np.array([0.5, 1.0, 0.2, 3.0]), kd=0.1, tf=0.05,
             u_min=-2.0, u_max=3.0)


def reference_loop(bank, coefficients, d, *, dt, steps, r, load, load_step, noise, seed):
    """y, u of the loop with the plant x[k+1] = p*x[k] + q*w[k] per channel,
    in plain Python floats, dead times from a list per channel."""
    n = bank.shape[0]
    z = np.random.default_rng(seed).standard_normal((steps, n)) if noise else None
    x = [0.0] * n
    history = [[] for _ in range(n)]
    ys, us = [], []
    for k in range(steps):
        y = np.array(x)
        seen = y + noise * z[k] if z is not None else y
        u = bank.update(r[k], seen, dt).copy()
        ys.append(y)
        us.append(u)
        for i in range(n):
            v = float(u[i]) + load if k >= load_step else float(u[i])
            history[i].append(v)
            w = history[i][k - d[i]] if k >= d[i] else 0.0
            p, q = coefficients[i]
            x[i] = p * x[i] + q * w
    return np.array(ys), np.array(us)


def _fopdt_coefficients(gain, tau, dt):
    a = np.exp(-dt / np.array(tau))
    return [(float(ai), (1.0 - float(ai)) * g) for ai, g in zip(a, gain)]


CASES = [
    dict(setpoint=1.0, load=0.0, load_step=None, noise=0.0),
    dict(setpoint=np.array([1.0, -2.0, 0.5, 3.0]), load=-0.4, load_step=60, noise=0.0),
    dict(setpoint=1.0, load=0.3, load_step=None, noise=0.02),
]


@pytest.mark.parametrize("case", CASES)
def test_fopdt_loop_is_bit_identical_to_the_equations(case):
    dt, steps = 0.05, 150
    gain, tau, delay = [2.0, 0.5, -1.0, 1.2], [1.0, 0.3, 2.0, 0.05], [0.0, 0.12, 0.5, 0.024]
    plant = FOPDT(gain, tau, delay)
    result = simulate(PIDBank(4, **GAINS), plant, dt=dt, steps=steps, seed=3, **case)
    d = [math.floor(x / dt + 0.5) for x in delay]
    r = np.broadcast_to(case["setpoint"], (steps, 4))
    y, u = reference_loop(
        PIDBank(4, **GAINS), _fopdt_coefficients(gain, tau, dt), d, dt=dt, steps=steps, r=r,
        load=case["load"], load_step=case["load_step"] or 0, noise=case["noise"], seed=3,
    )
    assert d == [0, 2, 10, 0]
    assert np.array_equal(result.y, y)
    assert np.array_equal(result.u, u)


def test_many_channels_against_a_numpy_loop_of_the_equations():
    rng = np.random.default_rng(5)
    n, dt, steps = 300, 0.02, 200
    gain, tau, delay = rng.uniform(-2, 2, n), rng.uniform(0.01, 5.0, n), rng.uniform(0.0, 0.5, n)
    gains = dict(kp=rng.uniform(0.1, 2.0, n), ki=rng.uniform(0.0, 2.0, n), kd=0.05, tf=0.01)
    result = simulate(PIDBank(n, **gains), FOPDT(gain, tau, delay), dt=dt, steps=steps, record=True)
    bank = PIDBank(n, **gains)
    a = np.exp(-dt / tau)
    b = (1.0 - a) * gain
    d = np.floor(delay / dt + 0.5).astype(int)
    x, inputs = np.zeros(n), np.zeros((steps, n))
    for k in range(steps):
        assert np.array_equal(result.y[k], x)
        inputs[k] = bank.update(1.0, x, dt)
        w = np.where(k >= d, inputs[np.maximum(k - d, 0), np.arange(n)], 0.0)
        x = a * x + b * w
    assert np.array_equal(result.u, inputs)


def test_integrating_loop_with_a_setpoint_over_time_is_bit_identical():
    dt, steps = 0.1, 120
    gain, delay = [0.5, -0.2, 1.0, 2.0], [0.3, 0.0, 1.0, 0.1]
    r = np.where(np.arange(steps)[:, None] < 40, 0.0, np.array([1.0, -1.0, 2.0, 0.5]))
    result = simulate(PIDBank(4, **GAINS), Integrating(gain, delay), dt=dt, steps=steps, setpoint=r,
                      load=0.1, load_step=80)
    y, u = reference_loop(
        PIDBank(4, **GAINS), [(1.0, g * dt) for g in gain], [3, 0, 10, 1], dt=dt, steps=steps, r=r,
        load=0.1, load_step=80, noise=0.0, seed=None,
    )
    assert np.array_equal(result.y, y)
    assert np.array_equal(result.u, u)
    assert np.array_equal(result.r, r)


def test_sopdt_loop_matches_python_controls_discretisation():
    control = pytest.importorskip("control")
    dt, steps = 0.05, 200
    gain, tau1, tau2, delay = [1.0, 2.0, 0.5, 1.0], [1.0, 0.4, 2.0, 0.7], [0.2, 0.4, 1.0, 0.7], 0.1
    result = simulate(PIDBank(4, **GAINS), SOPDT(gain, tau1, tau2, delay), dt=dt, steps=steps)
    bank = PIDBank(4, **GAINS)
    systems = [
        control.c2d(control.ss(control.tf([g], np.polymul([t1, 1.0], [t2, 1.0]))), dt, method="zoh")
        for g, t1, t2 in zip(gain, tau1, tau2)
    ]
    x = [np.zeros(2) for _ in systems]
    history = []
    y_ref = []
    for k in range(steps):
        y = np.array([(s.C @ xi).item() for s, xi in zip(systems, x)])
        u = bank.update(1.0, y, dt).copy()
        history.append(u)
        w = history[k - 2] if k >= 2 else np.zeros(4)
        x = [s.A @ xi + s.B[:, 0] * wi for s, xi, wi in zip(systems, x, w)]
        y_ref.append(y)
    assert np.allclose(result.y, np.array(y_ref), rtol=0, atol=1e-12)


def _bank_and_plant():
    return PIDBank(4, **GAINS), FOPDT([2.0, 0.5, 1.0, 1.2], [1.0, 0.3, 2.0, 0.5], [0.0, 0.12, 0.5, 0.3])


def test_unrecorded_run_has_the_recorded_runs_measures():
    kwargs = dict(dt=0.05, steps=300, setpoint=[1.0, -1.0, 2.0, 0.5], load=0.2, load_step=150,
                  noise=0.01, seed=1)
    recorded = simulate(*_bank_and_plant(), **kwargs)
    bare = simulate(*_bank_and_plant(), record=False, **kwargs)
    assert bare.y is None and bare.u is None
    again = response_metrics(0.05, recorded.r, recorded.y, recorded.u)
    for name, value in recorded.metrics.items():
        assert np.array_equal(getattr(bare, name), value), name
        assert np.array_equal(again[name], value), name


def test_measures_follow_their_definitions():
    dt, steps = 0.05, 400
    res = simulate(*_bank_and_plant(), dt=dt, steps=steps, setpoint=[1.0, -1.0, 2.0, 0.5])
    t, y, u, r = res.t, res.y, res.u, res.r
    e = r - y
    s = r[-1] - y[0]
    assert np.allclose(res.iae, np.sum(np.abs(e) * dt, axis=0), rtol=1e-12)
    assert np.allclose(res.ise, np.sum(e * e * dt, axis=0), rtol=1e-12)
    assert np.allclose(res.itae, np.sum(t[:, None] * np.abs(e) * dt, axis=0), rtol=1e-12)
    assert np.array_equal(res.overshoot, np.maximum(0.0, np.max((y - r[-1]) / s, axis=0)))
    assert np.array_equal(res.peak_u, np.max(np.abs(u), axis=0))
    assert np.allclose(res.u_variation, np.sum(np.abs(np.diff(u, axis=0)), axis=0), rtol=1e-12)
    for i in range(4):
        outside = np.flatnonzero(~(np.abs(e[:, i]) <= 0.02 * abs(s[i])))
        settle = t[outside[-1] + 1] if outside.size else 0.0
        assert res.settling_time[i] == settle
        frac = (y[:, i] - y[0, i]) / s[i]
        assert res.rise_time[i] == t[np.argmax(frac >= 0.9)] - t[np.argmax(frac >= 0.1)]
    assert np.any(res.overshoot > 0.0) and np.all(np.isfinite(res.settling_time))


def test_measures_that_never_happen_are_infinite():
    # A bank that does nothing: the output stays at rest.
    res = simulate(PIDBank(2, kp=0.0), FOPDT(1.0, 1.0), dt=0.1, steps=20)
    assert np.all(res.settling_time == np.inf) and np.all(res.rise_time == np.inf)
    assert np.all(res.overshoot == 0.0) and np.allclose(res.iae, 2.0, rtol=1e-14)


def test_time_axis_and_shapes():
    res = simulate(PIDBank((2, 3), kp=1.0), FOPDT(1.0, [1.0, 2.0, 3.0]), dt=0.1, steps=7)
    assert np.array_equal(res.t, np.arange(7) * 0.1)
    assert res.y.shape == res.u.shape == res.r.shape == (7, 2, 3)
    assert res.iae.shape == (2, 3) and res.shape == (2, 3)
    one = simulate(PIDBank((), kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=7)
    assert one.y.shape == (7,) and one.iae.shape == ()


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(dt=0.0), ValueError, "dt must be a positive finite number, not 0.0"),
        (dict(dt=float("nan")), ValueError, "dt must be a positive finite number, not nan"),
        (dict(dt="0.1"), TypeError, "dt must be a real number, not str"),
        (dict(steps=0), ValueError, "steps must be at least 1, not 0"),
        (dict(steps=2.5), TypeError, "steps must be an integer, not float"),
        (dict(setpoint=np.ones(3)), ValueError,
         "setpoint has shape (3,), which does not broadcast to the bank's shape (2,)"),
        (dict(setpoint=np.ones((5, 2))), ValueError,
         "setpoint has shape (5, 2), which does not broadcast to the run's shape (steps, *shape) (10, 2)"),
        (dict(load=[1.0, 2.0, 3.0]), ValueError,
         "load has shape (3,), which does not broadcast to the bank's shape (2,)"),
        (dict(noise=-0.1), ValueError, "noise must be non-negative, not -0.1"),
        (dict(load_step=-1), ValueError, "load_step must be at least 0, not -1"),
        (dict(setpoint="1"), TypeError, "setpoint must be a real number or array, not str"),
    ],
)
def test_refusals(kwargs, error, message):
    args = dict(dt=0.1, steps=10) | kwargs
    with pytest.raises(error) as info:
        simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), **args)
    assert str(info.value) == message


def test_plant_and_bank_must_fit():
    with pytest.raises(ValueError) as info:
        simulate(PIDBank(2, kp=1.0), FOPDT(1.0, [1.0, 2.0, 3.0]), dt=0.1, steps=5)
    assert str(info.value) == "plant has shape (3,), which does not broadcast to the bank's shape (2,)"
    with pytest.raises(TypeError) as info:
        simulate(object(), FOPDT(1.0, 1.0), dt=0.1, steps=5)
    assert str(info.value) == "bank must be a kovar.bank.PIDBank, not object"
    with pytest.raises(TypeError) as info:
        simulate(PIDBank(2, kp=1.0), "plant", dt=0.1, steps=5)
    assert str(info.value) == "plant must be a FOPDT, SOPDT or Integrating bank, not str"


def test_plot_draws_the_channels():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    res = simulate(*_bank_and_plant(), dt=0.1, steps=20)
    top, bottom = res.plot(channels=[0, 2])
    assert len(top.lines) == 4 and len(bottom.lines) == 2
    with pytest.raises(ValueError, match="plot needs a recorded run"):
        simulate(*_bank_and_plant(), dt=0.1, steps=20, record=False).plot()


def test_an_unstable_loop_runs_out_quietly():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        res = simulate(PIDBank(2, kp=-50.0), FOPDT(1.0, 1.0), dt=0.1, steps=600)
    assert not np.any(np.isfinite(res.iae)) and np.all(res.settling_time == np.inf)
