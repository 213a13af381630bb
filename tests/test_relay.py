"""The relay experiment: the per-channel reference of the relay mode run
against simulated FOPDT plants, the identification it leads to, and the
tuning from it."""
import math
import pickle

import numpy as np
import pytest

import relay_reference as rr
from kovar._relay import FIELDS, fopdt_from_relay, _half_periods, relay_result
from kovar.sim import FOPDT
from kovar.tune import RelayResult, amigo, astrom_hagglund, relay_tune, robustness

U0 = 0.5


def settled(k, **params):
    """A channel at rest at output U0 on a plant of gain k (reverse acting
    where k < 0)."""
    sign = 1.0 if k > 0 else -1.0
    c = rr.RelayChannel(kp=sign * 1.0, ki=sign * 0.2, **params)
    c.set_integral(U0)
    c.update(k * U0, k * U0, 0.1)
    return c


def experiment(plants, dt, noise=0.0, asymmetry=1.4, seed=0, steps=20000):
    """The relay on each (K, T, L) plant, from rest at U0; returns the result
    and, per channel, the switch-to-switch half-periods seen."""
    rng = np.random.default_rng(seed)
    channels, halves = [], []
    for (k, t, big_l), h in zip(plants, dt):
        c = settled(k)
        c.start(1.0, asymmetry)
        plant = FOPDT(k, t, big_l).discretize(h).start(U0)
        y, sd = float(plant.output()), noise * abs(k) * (1.0 + 1.0 / asymmetry)
        switches, on = [], 1
        for step in range(steps):
            if c.relay_state != rr.RUNNING:
                break
            u = c.update(k * U0, y + sd * rng.standard_normal(), h)
            if c.on != on:
                switches.append(step * h)
                on = c.on
            y = float(plant.step(u))
        channels.append(c)
        halves.append(np.diff([h] + switches))  # from the relay's first call
    state = {name: np.array([getattr(c, name) for c in channels]) for name, _ in FIELDS}
    return relay_result(state), halves


# (K, T, L): lag-dominant to delay-dominant, reverse acting, another time scale.
PLANTS = [(1.0, 1.0, 0.05), (2.0, 1.0, 0.3), (-1.5, 4.0, 4.0), (0.5, 0.2, 1.0), (1.0, 1.0, 5.0)]


def test_identifies_fopdt_plants_at_the_coarsest_sampling():
    dt = [min(t / 20, big_l / 5) for _, t, big_l in PLANTS]
    result, _ = experiment(PLANTS, dt)
    k, t, big_l = (np.array(v) for v in zip(*PLANTS))
    assert result.state.tolist() == ["done"] * len(PLANTS)
    model = result.model
    np.testing.assert_allclose(model.gain, k, rtol=0.03)
    np.testing.assert_allclose(model.tau, t, rtol=0.1)
    np.testing.assert_allclose(model.delay, big_l, rtol=0.1)
    true = FOPDT(k, t, big_l)
    ms_relay = robustness(true, relay_tune(result, "amigo"))["ms"]
    np.testing.assert_allclose(ms_relay, robustness(true, amigo(true))["ms"], rtol=0.1)
    # The describing function: ku near the plant's ultimate gain.
    assert np.all(np.sign(result.ku) == np.sign(k)) and np.all(result.tu > 2 * big_l)


def test_noise_neither_switches_the_relay_nor_keeps_it_from_finishing():
    plants = [p for p in PLANTS for _ in range(6)]
    dt = [min(t / 20, big_l / 5) for _, t, big_l in plants]
    result, halves = experiment(plants, dt, noise=0.01, seed=3)
    assert result.state.tolist() == ["done"] * len(plants)
    # A switch within the dead time of the last one can only be noise's.
    for (_, _, big_l), seen in zip(plants, halves):
        assert seen.min() > big_l
    assert np.all(result.time <= 20 * (result.t_on + result.t_off) / 2)


def test_leaves_the_relay_bumplessly_with_the_old_gains():
    c = settled(1.0, u_min=0.0, u_max=1.2, rate_limit=5.0)
    c.start(1.0, 1.4, cycles=2)
    plant = FOPDT(1.0, 1.0, 0.3).discretize(0.05).start(U0)
    y = float(plant.output())
    while c.relay_state == rr.RUNNING:
        seen = float(y)
        u = c.update(U0, seen, 0.05)
        y = plant.step(u)
    assert c.relay_state == rr.DONE and not c.manual and (c.kp, c.ki) == (1.0, 0.2)
    # Automatic again, from where the relay left the output.
    assert c.update(U0, seen, 0.0) == pytest.approx(u, abs=1e-12)


def test_failures_and_refusals():
    c = settled(1.0, on_nan="hold")
    c.start(0.5, max_time=1.0)
    for _ in range(30):  # the plant never answers: max_time
        c.update(U0, U0, 0.05)
    assert (c.relay_state, c.reason) == (rr.FAILED, rr.REASON_MAX_TIME)
    c.start(0.5)
    before = c.update(U0, U0, 0.05)
    assert c.update(U0, math.nan, 0.05) == before  # on_nan="hold" decides, as in automatic mode
    assert (c.relay_state, c.reason, c.manual) == (rr.FAILED, rr.REASON_NON_FINITE, False)
    c.start(0.5, 1.4, hysteresis=0.01)
    y = ([U0 - 0.1] * 4 + [U0 + 0.1] * 4) * 2 + [U0 + 0.1] * 500  # it oscillates, then stops
    for v in y:
        c.update(U0, v, 0.05)
    assert (c.relay_state, c.reason) == (rr.FAILED, rr.REASON_STALLED)
    result = relay_result({name: np.array(value) for name, value in c.state().items()})
    assert result.reason == "stalled: no switch for 10 half-periods" and np.isnan(result.ku)
    with pytest.raises(ValueError, match="has none yet"):
        rr.RelayChannel(kp=1.0).start(1.0)
    for name, bad in [("amplitude", {"amplitude": 0.0}), ("asymmetry", {"asymmetry": 0.9}),
                      ("hysteresis", {"hysteresis": -1.0}), ("bias", {"bias": math.inf})]:
        with pytest.raises(ValueError, match=f"^{name} must be"):
            c.start(**{"amplitude": 1.0, **bad})


def test_the_identification_inverts_the_fopdt_relay_cycle():
    rng = np.random.default_rng(7)
    n = 200
    k, t = rng.uniform(0.2, 5.0, n) * rng.choice([-1.0, 1.0], n), rng.uniform(0.1, 10.0, n)
    big_l = t * rng.uniform(0.02, 8.0, n)
    d_on, d_off = rng.uniform(0.5, 2.0, n), rng.uniform(0.2, 1.0, n)
    d_on, d_off = np.maximum(d_on, 1.2 * d_off), np.minimum(d_off, d_on / 1.2)
    sign = np.sign(k)
    eps, c = rng.uniform(0.0, 0.1, n) * abs(k) * d_off, rng.uniform(-0.05, 0.05, n) * abs(k) * d_off
    lag_on, lag_off = rng.uniform(0.0, 0.1, (2, n)) * big_l
    (t_on, _, _), (t_off, _, _) = _half_periods(t, big_l, abs(k), d_on, d_off, c - eps, c + eps, lag_on, lag_off)
    iu = rng.uniform(0.1, 1.0, n)
    gain, tau, delay = fopdt_from_relay(t_on, t_off, d_on, d_off, sign, c - eps, c + eps, iu, k * iu, 0.0,
                                        lag_on, lag_off)
    np.testing.assert_allclose(gain, k, rtol=1e-12)
    np.testing.assert_allclose(tau, t, rtol=1e-8)
    np.testing.assert_allclose(delay, big_l, rtol=1e-8)


def test_result_of_channels_never_started_and_its_pickle():
    state = {name: np.zeros((2, 3), dtype=np.int64 if kind == "int" else np.float64) for name, kind in FIELDS}
    result = relay_result(state)
    assert isinstance(result, RelayResult) and result.shape == (2, 3)
    assert np.all(result.state == "off") and np.all(result.reason == "") and not result.done.any()
    assert np.all(np.isnan(result.ku)) and np.all(np.isnan(result.model.gain))
    again = pickle.loads(pickle.dumps(result))
    assert again.state.tolist() == result.state.tolist() and again.model.shape == (2, 3)
    with pytest.raises(ValueError, match="no field 'relay_state'"):
        relay_result({})


def test_relay_tune_rules_and_refusals():
    result, _ = experiment(PLANTS[:2], [0.01, 0.05], asymmetry=1.0)  # symmetric: ku, tu only
    assert result.done.all() and np.all(np.isnan(result.model.gain))
    assert result.reason[0].startswith("no model: symmetric")
    none = relay_tune(result, "amigo")
    assert np.all(np.isnan(none["kp"])) and pickle.loads(pickle.dumps(none)) == none
    gains = relay_tune(result, "astrom_hagglund", "pid", n=math.inf)
    # The design puts the loop through the ultimate point at 45 degrees of phase margin.
    w = 2 * math.pi / result.tu
    c = gains["kp"] + gains["ki"] / (1j * w) + gains["kd"] * 1j * w
    np.testing.assert_allclose(c * (-1.0 / result.ku), np.exp(1j * math.radians(-135.0)), rtol=1e-12)
    np.testing.assert_allclose(relay_tune(result, "ziegler_nichols", "p")["kp"], 0.5 * result.ku)
    assert astrom_hagglund(2.0, 1.0)["kp"] == pytest.approx(math.sqrt(2.0))
    for args, error, text in [((None,), TypeError, "result must be a RelayResult, not NoneType"),
                              ((result, "lambda"), ValueError, "rule must be one of"),
                              ((result, "simc", "pid"), ValueError, "kind must be 'pi' for rule 'simc', not 'pid'")]:
        with pytest.raises(error, match=text):
            relay_tune(*args)
