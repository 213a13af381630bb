"""robustness: published margins, python-control's frequency response, and
the grid's resolution."""
import numpy as np
import pytest

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, simulate
from kovar.tune import Gains, amigo, robustness, simc
from kovar.tune.robustness import loop_response


def test_simc_margins_are_the_published_ones():
    # Skogestad (2003), tc = delay: Ti = tau gives GM 3.14, PM 61.4 deg,
    # Ms 1.59; the integrating process (Ti = 8*delay) GM 2.96, PM 46.9 deg, Ms 1.70.
    r = robustness(FOPDT(1.0, 2.0, 1.0), simc(FOPDT(1.0, 2.0, 1.0)))
    assert float(r["gm"]) == pytest.approx(3.14, abs=0.005) and float(r["ms"]) == pytest.approx(1.59, abs=0.005)
    assert float(r["pm"]) == pytest.approx(61.4, abs=0.05)
    model = Integrating(1.0, 1.0)
    r = robustness(model, simc(model))
    assert float(r["gm"]) == pytest.approx(2.96, abs=0.005) and float(r["ms"]) == pytest.approx(1.70, abs=0.005)
    assert float(r["pm"]) == pytest.approx(46.9, abs=0.05)


def _cases():
    models = [
        FOPDT([1.0, 2.0, -0.5], [1.0, 0.2, 5.0], [0.5, 1.0, 0.3]),
        SOPDT([1.0, 2.0, 1.0], [1.0, 3.0, 2.0], [0.5, 0.4, 2.0], [0.2, 0.5, 0.0]),
        Integrating([1.0, 0.3, 2.0], [0.5, 1.0, 0.2]),
    ]
    gains = [amigo(models[0], "pid"), simc(models[1], tc=[0.3, 0.5, 1.0]), amigo(models[2], "pi")]
    return list(zip(models, gains))


@pytest.mark.parametrize("model, gains", _cases())
def test_margins_match_python_controls_frequency_response(model, gains):
    control = pytest.importorskip("control")
    r = robustness(model, gains)
    p = model.params()
    for i in range(model.shape[0]):
        kp, ki, kd, tf = (float(gains[n][i]) for n in ("kp", "ki", "kd", "tf"))
        c = control.tf([kd + kp * tf, kp + ki * tf, ki], [tf, 1.0, 0.0])
        if isinstance(model, FOPDT):
            plant = control.tf([p["gain"][i]], [p["tau"][i], 1.0])
        elif isinstance(model, SOPDT):
            plant = control.tf([p["gain"][i]], np.polymul([p["tau1"][i], 1.0], [p["tau2"][i], 1.0]))
        else:
            plant = control.tf([p["gain"][i]], [1.0, 0.0])
        w = np.logspace(-2, 2.5, 6001)
        loop = (c * plant)(1j * w) * np.exp(-1j * w * p["delay"][i])
        gm, pm, *_ = control.stability_margins(control.frd(loop, w))
        assert r["ms"][i] == pytest.approx(np.abs(1 / (1 + loop)).max(), rel=1e-4)
        assert r["gm"][i] == pytest.approx(gm, rel=1e-4)
        assert r["pm"][i] == pytest.approx(pm, rel=1e-4)


@pytest.mark.parametrize("model, gains", _cases())
def test_ms_holds_on_a_ten_times_finer_grid(model, gains):
    ms = robustness(model, gains)["ms"]
    w = np.logspace(-4, 4, 8 * 1000 + 1)  # 1000 points per decade
    fine = np.abs(1 / (1 + loop_response(model, gains, w))).max(axis=-1)
    assert np.all(np.abs(ms - fine) <= 0.005 * fine)


def test_loops_without_crossings_and_shapes():
    # A small proportional gain on a lag: |L| < 1 everywhere, no phase crossing.
    r = robustness(FOPDT(1.0, [[1.0], [2.0]]), Gains(kp=[0.1, 0.2, 0.3]))
    assert r["ms"].shape == r["gm"].shape == (2, 3)
    assert np.all(r["gm"] == np.inf) and np.all(r["pm"] == np.inf)
    assert np.all(r["ms"] == 1.0)
    # setpoint weights do not enter the loop
    g = simc(FOPDT(1.0, 2.0, 1.0))
    weighted = robustness(FOPDT(1.0, 2.0, 1.0), g.replace(b=0.3, c=0.5))
    assert all(v == robustness(FOPDT(1.0, 2.0, 1.0), g)[k] for k, v in weighted.items())


def _delay_free_loops():
    # PID with lightly damped zeros on two lags: loops that are stable,
    # unstable and conditionally stable as the loop gain k grows.
    k = np.array([0.3, 1.0, 3.0, 6.0, 12.0])[:, None]
    pid = Gains(kp=k * [4.0, 5.0, 8.0], ki=k * [20.0, 20.0, 40.0], kd=k * [0.3, 0.2, 0.4], tf=0.01)
    yield SOPDT(1.0, 1.0, 0.5), pid
    # PI of both signs on plants of both signs.
    pi = Gains(kp=[[-2.0], [-0.3], [0.5], [3.0]], ki=[-1.0, 0.4, 2.0])
    yield FOPDT([[[1.0]], [[-1.5]]], 2.0), pi
    yield Integrating([[[1.0]], [[-0.5]]]), pi.replace(kd=0.4, tf=0.05)
    # Proportional only (L(0) finite, a crossing at w = 0 when negative),
    # and a derivative without filter (L tends to a constant).
    yield FOPDT(1.0, 2.0), Gains(kp=[[-2.0], [-0.5], [0.8]], kd=[0.0, 2.0])


@pytest.mark.parametrize("model, gains", list(_delay_free_loops()))
def test_delay_free_loops_match_python_control(model, gains):
    control = pytest.importorskip("control")
    r = robustness(model, gains)
    shape = r["ms"].shape
    models = {n: np.broadcast_to(v, shape) for n, v in model.params().items()}
    full = {n: np.broadcast_to(gains[n], shape) for n in ("kp", "ki", "kd", "tf")}
    seen = set()
    for i in np.ndindex(shape):
        kp, ki, kd, tf = (float(full[n][i]) for n in ("kp", "ki", "kd", "tf"))
        p = {n: float(v[i]) for n, v in models.items()}
        den = {FOPDT: lambda: [p.get("tau", 1.0), 1.0], Integrating: lambda: [1.0, 0.0],
               SOPDT: lambda: np.polymul([p.get("tau1", 1.0), 1.0], [p.get("tau2", 1.0), 1.0])}[type(model)]()
        # Only the terms there are: a zero times 1/s would leave a pole at 0.
        c = control.tf([kp], [1.0]) + (control.tf([ki], [1.0, 0.0]) if ki else 0)
        c = c + (control.tf([kd, 0.0], [tf, 1.0]) if kd else 0)
        loop = c * control.tf([p["gain"]], den)
        stable = bool(np.all(control.feedback(loop).poles().real < 0.0))
        gms, _, _, _, _, _ = control.stability_margins(loop, returnall=True)
        gm, pm, sm, *_ = control.stability_margins(loop)
        assert r["stable"][i] == stable, i
        seen.add((stable, bool(r["gm_lower"][i] > 0.0)))
        assert r["gm"][i] == pytest.approx(min((g for g in gms if g > 1.0), default=np.inf), rel=1e-9)
        assert r["gm_lower"][i] == pytest.approx(max((g for g in gms if g < 1.0), default=0.0), rel=1e-9)
        # python-control wraps to [-180, 180), kovar to (-180, 180].
        assert r["pm"][i] == pytest.approx(180.0 if pm == -180.0 else pm, rel=1e-9, abs=1e-9)
        # sm is inf where |1 + L| has no minimum: |S| is largest at an end.
        ends = max(abs(1.0 / (1.0 + loop(1e-12j))), abs(1.0 / (1.0 + loop(1e12j))))
        assert r["ms"][i] == (pytest.approx(1.0 / sm if np.isfinite(sm) else ends, rel=1e-7) if stable else np.inf)
    if isinstance(model, SOPDT):
        assert seen == {(True, True), (True, False), (False, True)}  # conditionally stable among them


@pytest.mark.parametrize(
    "model",
    [FOPDT([[1.0], [-2.0]], 2.0, [0.3, 1.5]), SOPDT(1.0, [[1.0], [0.3]], 0.5, [0.2, 1.0]),
     Integrating([[0.5], [-1.0]], [0.4, 1.0])],
)
def test_stability_of_delayed_loops_matches_simulation(model):
    # Gains of both signs; a loop is unstable where its error grows at the
    # end of a long run. Loops within 3 degrees or 3 % of the limit are left
    # out: there the sampled loop and the continuous one may differ.
    axis = np.array([-1.0, -0.2, 0.1, 0.3, 0.8, 2.0])
    gains = Gains(kp=axis[:, None, None, None], ki=0.5 * axis[:, None, None], kd=[0.0, 0.3], tf=0.05)
    r = robustness(model, gains)
    bank = PIDBank(r["ms"].shape, **gains)
    steps = 8000
    y = simulate(bank, model, dt=0.01, steps=steps, record=True).y
    error = np.abs(np.nan_to_num(y - 1.0, nan=np.inf))
    late = error[3 * steps // 4:].max(axis=0)
    growing = (late >= error[steps // 2:3 * steps // 4].max(axis=0)) & (late > 1e-9)
    clear = (np.abs(r["pm"]) > 3.0) & (np.abs(np.log(r["gm"])) > 0.03)
    clear &= np.abs(np.log(np.maximum(r["gm_lower"], 1e-300))) > 0.03
    assert clear.mean() > 0.8 and 0.15 < r["stable"].mean() < 0.85
    assert np.array_equal(r["stable"][clear], ~growing[clear])
    assert np.all(np.isinf(r["ms"]) == ~r["stable"])
    assert np.all((r["pm"] > -180.0) & (r["pm"] <= 180.0) | np.isinf(r["pm"]))


def test_shapes_that_do_not_broadcast_are_named():
    with pytest.raises(ValueError) as info:
        robustness(FOPDT([1.0, 2.0, 3.0], 1.0), Gains(kp=[1.0, 2.0]))
    assert str(info.value) == "model has shape (3,) and gains has shape (2,), which do not broadcast together"


@pytest.mark.parametrize(
    "model, gains",
    [*_cases(),
     # Nearly equal peaks of |S| where |L| has its own peak, near a crossing.
     (FOPDT(0.7631, 0.7096, 0.7432), Gains(kp=0.5475, ki=0.7875, kd=0.6798, tf=0.1567)),
     (SOPDT(-1.3, 2.0, 0.4, 0.9), Gains(kp=-0.6, ki=-0.3, kd=-0.5, tf=0.1))],
)
def test_ms_is_the_peak_to_rounding(model, gains):
    optimize = pytest.importorskip("scipy.optimize")
    r = robustness(model, gains)
    w = np.logspace(-4, 4, 80001)
    for i in np.ndindex(r["ms"].shape):
        one = type(model)(**{n: v[i] for n, v in model.params().items()})
        g = Gains(**{n: v[i] for n, v in gains.items()})
        s = np.abs(1.0 / (1.0 + loop_response(one, g, w)))
        best = s.max()
        for k in np.argsort(-s)[:5]:
            found = optimize.minimize_scalar(
                lambda x: -abs(1.0 / (1.0 + loop_response(one, g, np.exp([x]))[0])),
                bounds=(np.log(w[k - 1]), np.log(w[k + 1])), method="bounded", options={"xatol": 1e-13})
            best = max(best, -found.fun)
        assert r["stable"][i] and r["ms"][i] == pytest.approx(best, rel=1e-11)
