"""robustness: published margins, python-control's frequency response, and
the grid's resolution."""
import numpy as np
import pytest

from kovar.sim import FOPDT, SOPDT, Integrating
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
