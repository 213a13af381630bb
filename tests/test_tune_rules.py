"""Tuning rules against the published formulas, written out per model."""
import math
import pickle

import numpy as np
import pytest

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating
from kovar.tune import Gains, amigo, lambda_tuning, simc, ziegler_nichols

# (K, T, L): lag-dominant, balanced, delay-dominant, negative gain.
FOPDT_TABLE = [(1.0, 10.0, 1.0), (2.0, 1.0, 1.0), (0.5, 0.2, 2.0), (-1.5, 3.0, 0.4)]


def _fopdt():
    k, t, l = (np.array(c) for c in zip(*FOPDT_TABLE))
    return FOPDT(k, t, l)


def test_simc_pi_for_fopdt():
    g = simc(_fopdt())
    for i, (k, t, l) in enumerate(FOPDT_TABLE):
        kc = t / (k * (l + l))
        ti = min(t, 4 * (l + l))
        assert g["kp"][i] == pytest.approx(kc, rel=1e-15)
        assert g["ki"][i] == pytest.approx(kc / ti, rel=1e-15)
    assert np.all(g["kd"] == 0.0) and np.all(g["b"] == 1.0) and np.all(g["c"] == 0.0)


def test_simc_with_a_given_closed_loop_time_and_integrating_plants():
    g = simc(FOPDT(2.0, 5.0, 0.0), tc=0.5)
    assert float(g["kp"]) == pytest.approx(5.0 / (2.0 * 0.5))
    assert float(g["ki"]) == pytest.approx(float(g["kp"]) / 2.0)  # Ti = 4*tc = 2 < tau
    g = simc(Integrating(0.2, 1.5))
    assert float(g["kp"]) == pytest.approx(1.0 / (0.2 * 3.0))
    assert float(g["ki"]) == pytest.approx(float(g["kp"]) / 12.0)


def test_simc_pid_for_sopdt_is_the_series_controller():
    model = SOPDT(2.0, 0.5, 4.0, 0.3)  # tau1 = 4 is the larger lag
    g = simc(model)
    kc, ti, td = 4.0 / (2.0 * 0.6), min(4.0, 2.4), 0.5
    for s in (0.1j, 1j, 3.0 + 2j):
        series = kc * (1 + 1 / (ti * s)) * (1 + td * s)
        parallel = float(g["kp"]) + float(g["ki"]) / s + float(g["kd"]) * s
        assert parallel == pytest.approx(series, rel=1e-14)
    assert float(g["tf"]) == pytest.approx(float(g["kd"]) / float(g["kp"]) / 10.0)


def test_amigo_pi_and_pid_for_fopdt():
    pi, pid = amigo(_fopdt(), "pi"), amigo(_fopdt(), "pid")
    for i, (k, t, l) in enumerate(FOPDT_TABLE):
        kp = 0.15 / k + (0.35 - l * t / (l + t) ** 2) * t / (k * l)
        ti = 0.35 * l + 13 * l * t * t / (t * t + 12 * l * t + 7 * l * l)
        assert pi["kp"][i] == pytest.approx(kp, rel=1e-14)
        assert pi["ki"][i] == pytest.approx(kp / ti, rel=1e-14)
        kp = (0.2 + 0.45 * t / l) / k
        ti = (0.4 * l + 0.8 * t) / (l + 0.1 * t) * l
        td = 0.5 * l * t / (0.3 * l + t)
        assert pid["kp"][i] == pytest.approx(kp, rel=1e-14)
        assert pid["ki"][i] == pytest.approx(kp / ti, rel=1e-14)
        assert pid["kd"][i] == pytest.approx(kp * td, rel=1e-14)
        assert pid["tf"][i] == pytest.approx(td / 10.0, rel=1e-14)
        assert pi["b"][i] == pid["b"][i] == (0.0 if l / (l + t) <= 0.5 else 1.0)


def test_amigo_for_integrating_plants_and_sopdt_by_the_half_rule():
    g = amigo(Integrating(0.5, 2.0), "pid")
    assert float(g["kp"]) == pytest.approx(0.45 / 1.0)
    assert float(g["ki"]) == pytest.approx(0.45 / 16.0)
    assert float(g["kd"]) == pytest.approx(0.45)
    assert amigo(SOPDT(1.0, 1.0, 3.0, 0.2)) == amigo(FOPDT(1.0, 3.5, 0.7))


def test_lambda_and_ziegler_nichols():
    g = lambda_tuning(FOPDT(2.0, 4.0, 1.0), lam=3.0)
    assert float(g["kp"]) == pytest.approx(4.0 / (2.0 * 4.0)) and float(g["ki"]) == pytest.approx(0.5 / 4.0)
    g = lambda_tuning(Integrating(0.5, 1.0), lam=2.0)
    assert float(g["kp"]) == pytest.approx(5.0 / (0.5 * 9.0)) and float(g["ki"]) == pytest.approx(float(g["kp"]) / 5.0)
    g = lambda_tuning(SOPDT(1.0, 2.0, 3.0), lam=1.0)
    assert float(g["kp"]) == pytest.approx(5.0) and float(g["kd"]) == pytest.approx(6.0)
    g = ziegler_nichols([2.0, 4.0], 8.0)
    assert np.allclose(g["kp"], [1.2, 2.4]) and np.allclose(g["ki"], [0.3, 0.6]) and np.allclose(g["kd"], [1.2, 2.4])
    assert np.allclose(ziegler_nichols(2.0, 6.0, "pi")["ki"], 0.9 / 5.0)
    assert float(ziegler_nichols(2.0, 6.0, "p")["kp"]) == 1.0
    assert float(ziegler_nichols(2.0, 8.0, n=math.inf)["tf"]) == 0.0


def test_gains_build_a_bank_as_they_are():
    g = amigo(_fopdt(), "pid")
    bank = PIDBank(g.shape, **g)
    for name in ("kp", "ki", "kd", "tf", "b", "c"):
        assert np.array_equal(np.broadcast_to(getattr(bank, name), g.shape), g[name])
    assert list(g) == ["kp", "ki", "kd", "tf", "b", "c"]
    assert g.replace(b=1.0)["b"].shape == g.shape
    assert pickle.loads(pickle.dumps(g)) == g


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: simc(FOPDT(1.0, 1.0, [0.5, 0.0])), ValueError, "tc must be given where the delay is 0"),
        (lambda: simc(FOPDT(1.0, 1.0), tc=0.0), ValueError, "tc must be positive where the delay is 0"),
        (lambda: simc(FOPDT([1.0, 0.0], 1.0, 1.0)), ValueError,
         "the model's gain must be non-zero, not 0.0 (index (1,))"),
        (lambda: amigo(FOPDT(1.0, 1.0, 1.0), "pd"), ValueError, "kind must be 'pi' or 'pid', not 'pd'"),
        (lambda: amigo(FOPDT(1.0, 1.0)), ValueError, "amigo needs a positive delay"),
        (lambda: amigo(FOPDT(1.0, 1.0, 1.0), "pid", n=0), ValueError, "n must be positive, not 0.0"),
        (lambda: lambda_tuning(FOPDT(1.0, 1.0), lam=-1.0), ValueError, "lam must be positive, not -1.0"),
        (lambda: ziegler_nichols(1.0, 0.0), ValueError, "tu must be positive, not 0.0"),
        (lambda: ziegler_nichols(1.0, 1.0, "pd"), ValueError, "kind must be 'p', 'pi' or 'pid', not 'pd'"),
        (lambda: simc("model"), TypeError, "simc takes a FOPDT, SOPDT, Integrating model, not str"),
        (lambda: Gains(kp=[1.0, np.nan]), ValueError, "kp must be finite, not nan (index (1,))"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name, value", [("tf", [0.1, -0.5]), ("tf", [0.0, np.inf]), ("tf", [np.nan, 1.0]),
                                         ("tf", -1e-300), ("kd", [0.0, -np.inf]), ("b", np.nan)])
def test_gains_refuse_what_the_bank_refuses(name, value):
    """In the same words: Gains feed PIDBank(gains.shape, **gains)."""
    with pytest.raises(ValueError) as bank:
        PIDBank(2, kp=1.0, **{name: value})
    with pytest.raises(ValueError) as gains:
        Gains(kp=1.0, **{name: value})
    assert str(gains.value) == str(bank.value)
