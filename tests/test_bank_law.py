"""kovar.bank.PIDBank against the scalar reference of its law, channel by
channel, and the properties the law is meant to have."""
import math

import numpy as np
import pytest

from bank_reference import Channel
from kovar.bank import PIDBank

MODES = ["back_calculation", "conditional", "none"]


def close(actual, expected):
    np.testing.assert_allclose(actual, expected, rtol=1e-12, atol=1e-300, equal_nan=True)


def same(actual, expected):
    """Bit for bit, but for the sign of zero and NaN payloads."""
    np.testing.assert_array_equal(np.asarray(actual), np.asarray(expected, dtype=float))


def random_params(rng, n, uniform=False):
    """Per-channel parameters of both signs, some (or all) of them the same
    for every channel."""
    lo = -rng.uniform(0.2, 3.0, n)
    hi = rng.uniform(0.2, 3.0, n)
    params = {
        "kp": rng.uniform(-4.0, 4.0, n), "ki": rng.uniform(-3.0, 3.0, n),
        "kd": rng.uniform(-0.5, 0.5, n), "b": rng.uniform(0.0, 1.0, n),
        "c": rng.uniform(0.0, 1.0, n), "tf": rng.choice([0.0, 0.05, 0.3], n),
        "u_min": lo, "u_max": hi, "i_min": lo * 2, "i_max": hi * 2,
        "deadband": rng.choice([0.0, 0.05], n),
        "rate_limit": rng.choice([math.inf, 0.0, 2.0, 20.0], n),
    }
    params["ki"][rng.random(n) < 0.15] = 0.0
    params["kp"][rng.random(n) < 0.15] = 0.0
    for name in sorted(params) if uniform else rng.choice(sorted(params), size=4, replace=False):
        params[name] = float(params[name][0])
    if uniform:  # keep the limits ordered
        params["u_min"], params["i_min"] = -1.0, -2.0
    return params


def at(value, i):
    return value if value is None or np.isscalar(value) else float(np.ravel(value)[i])


def channels_for(params, n, anti_windup, tt, on_nan="nan"):
    return [Channel(**{k: at(v, i) for k, v in params.items()}, anti_windup=anti_windup,
                    tt=at(tt, i), on_nan=on_nan)
            for i in range(n)]


def check_state(bank, refs, terms=True):
    same(bank.integral, [c.integral for c in refs])
    same(bank.derivative, [c.derivative for c in refs])
    same(bank.output, [c.output for c in refs])
    assert bank.manual.tolist() == [c.manual for c in refs]
    if terms and bank.keep_terms:
        for k, term in enumerate(bank.terms):
            same(term, [c.terms[k] for c in refs])


def maybe_array(rng, n, low, high, uniform):
    """A scalar or one value per channel."""
    return float(rng.uniform(low, high)) if uniform or rng.random() < 0.4 else rng.uniform(low, high, n)


def random_change(rng, n, uniform, tt_auto):
    """Parameters for set_params: sometimes limits that do not fit."""
    names = rng.choice(["kp", "ki", "kd", "b", "c", "tf", "deadband", "rate_limit", "limits",
                        "tt"], size=rng.integers(1, 4), replace=False)
    change = {}
    for name in names:
        if name == "limits":
            lo = -rng.uniform(0.1, 2.0)
            change["u_min"], change["u_max"] = lo, lo + rng.uniform(-0.3, 3.0)
        elif name == "tt":
            if not tt_auto:
                change["tt"] = maybe_array(rng, n, 0.05, 2.0, uniform)
        elif name == "rate_limit":
            change[name] = float(rng.choice([math.inf, 1.0, 5.0]))
        else:
            low = 0.0 if name in ("tf", "deadband") else -2.0
            change[name] = maybe_array(rng, n, low, 2.0, uniform)
    return change


def snapshot(bank):
    return [np.copy(a) for a in (bank.integral, bank.derivative, bank.output, bank.manual,
                                 *(bank.terms if bank.keep_terms else ()))] + [
        bank.kp, bank.u_min, bank.u_max]


def apply_mode_event(bank, refs, event, mask, value):
    """Event 0, 1 or 2 on the bank and on its reference channels alike:
    manual at `value`, automatic, or reset, for the channels in `mask`."""
    if event == 0:
        bank.set_manual(value, where=mask)
        for c, m, v in zip(refs, mask, value):
            if m:
                c.manual, c.manual_value = True, float(v)
    elif event == 1:
        bank.set_auto(where=mask)
        for c, m in zip(refs, mask):
            c.manual = c.manual and not m
    else:
        bank.reset(where=mask)
        for c, m in zip(refs, mask):
            if m:
                c.reset()


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("anti_windup", MODES)
@pytest.mark.parametrize("uniform", [False, True], ids=["per-channel", "uniform"])
def test_bank_follows_the_scalar_law(seed, anti_windup, uniform):
    rng = np.random.default_rng(seed * 7 + MODES.index(anti_windup))
    n = 7
    params = random_params(rng, n, uniform)
    tt = [None, 0.4, None if uniform else rng.uniform(0.1, 2.0, n)][seed % 3]
    on_nan = ["nan", "hold"][seed % 2]
    bank = PIDBank(n, **params, anti_windup=anti_windup, tt=tt, on_nan=on_nan,
                   keep_terms=seed % 4 != 3)
    refs = channels_for(params, n, anti_windup, tt, on_nan)
    for step in range(120):
        event = rng.integers(0, 24 if uniform else 14)
        mask = rng.random(n) < 0.5
        if event <= 2:
            apply_mode_event(bank, refs, event, mask, rng.uniform(-4, 4, n) if event == 0 else None)
        elif event == 3:
            change = random_change(rng, n, uniform, bank.tt is None)
            where = None if uniform or rng.random() < 0.3 else mask
            chosen = [where is None or where[i] for i in range(n)]
            fits = all(not (chosen[i] or not {"u_min", "u_max"} & set(change))
                       or at(change.get("u_min", c.u_min), i) <= at(change.get("u_max", c.u_max), i)
                       for i, c in enumerate(refs))
            if not fits:
                before = snapshot(bank)
                with pytest.raises(ValueError, match="u_min must not exceed u_max"):
                    bank.set_params(where=where, **change)
                for a, b in zip(snapshot(bank), before):
                    np.testing.assert_array_equal(a, b)
                continue
            bank.set_params(where=where, **change)
            for i, c in enumerate(refs):
                if chosen[i]:
                    c.set_params(**{k: at(v, i) for k, v in change.items()})
        elif event == 4:
            name = str(rng.choice(["kp", "b", "ki", "rate_limit"]))
            value = maybe_array(rng, n, 0.0, 2.0, uniform)
            setattr(bank, name, value)
            for i, c in enumerate(refs):
                c.set_params(**{name: at(value, i)})
        elif event == 5:
            value = maybe_array(rng, n, -3.0, 3.0, uniform)
            bank.set_integral(value, where=mask)
            for i, c in enumerate(refs):
                if mask[i]:
                    c.set_integral(at(value, i))
        elif event == 6:
            holdable = [c.fresh or not math.isfinite(c.output) for c, m in zip(refs, mask) if m]
            if any(holdable):
                with pytest.raises(ValueError, match="has none yet"):
                    bank.set_manual(where=mask)
            else:
                bank.set_manual(where=mask)
                for c, m in zip(refs, mask):
                    if m:
                        c.manual, c.manual_value = True, c.output
        r = rng.uniform(-3, 3, n)
        y = rng.uniform(-3, 3, n)
        if rng.random() < 0.15:
            r[rng.integers(n)] = rng.choice([np.nan, np.inf, -np.inf])
        if rng.random() < 0.15:
            y[rng.integers(n)] = np.nan
        h = [0.01, 0.1, 0.0, -0.1, math.nan, float(rng.uniform(0.001, 0.5))][rng.integers(6)]
        if rng.random() < 0.3:
            r = float(r[0])  # one setpoint for every channel
        if rng.random() < 0.2:
            y = float(y[-1])
        ff = track = None
        if rng.random() < 0.4:
            ff = maybe_array(rng, n, -1.0, 1.0, False)
            if not np.isscalar(ff) and rng.random() < 0.2:
                ff[rng.integers(n)] = np.nan
        if rng.random() < 0.3:
            track = rng.uniform(-2, 2, n)
            track[rng.random(n) < 0.3] = np.nan
        u = bank.update(r, y, h, feedforward=ff, track=track)
        expected = [c.update(at(r, i), at(y, i), h, at(ff, i), at(track, i))
                    for i, c in enumerate(refs)]
        same(u, expected)
        check_state(bank, refs, terms=rng.random() < 0.3)


@pytest.mark.parametrize("on_nan", ["nan", "hold"])
@pytest.mark.parametrize("rate_limit", [math.inf, 3.0])
@pytest.mark.parametrize("anti_windup", MODES)
def test_uniform_fast_path_follows_the_scalar_law(anti_windup, rate_limit, on_nan):
    # A uniform bank in automatic mode runs a vector of channels at a time; odd
    # sizes leave a tail for the scalar law.
    rng = np.random.default_rng(3)
    n = 9
    params = dict(kp=-1.5, ki=-2.0, kd=0.2, tf=0.05, u_min=-1.0, u_max=0.5, i_min=-3.0,
                  i_max=3.0, deadband=0.01, rate_limit=rate_limit)
    # Without terms, feed-forward or a rate limit the bank runs its plain pass.
    bank = PIDBank(n, **params, anti_windup=anti_windup, on_nan=on_nan,
                   keep_terms=on_nan == "hold")
    refs = channels_for(params, n, anti_windup, None, on_nan)
    for step in range(60):
        r, y = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n)
        if step % 7 == 3:
            y[rng.integers(n)] = np.nan
        ff = [None, 0.25, rng.uniform(-0.5, 0.5, n)][step % 3]
        u = bank.update(r, y, 0.05, feedforward=ff)
        same(u, [c.update(float(r[i]), float(y[i]), 0.05, at(ff, i)) for i, c in enumerate(refs)])
        check_state(bank, refs, terms=step % 5 == 4)
        if step == 30:  # a bumpless change, settled at the next call
            bank.kp = -1.25
            for c in refs:
                c.set_params(kp=-1.25)


# Held inputs whose P overflows, or is NaN (kp = 0 and b*r = inf).
EXTREMES = [1e308, -1e308, 1.7e308, 0.0, -0.0, 1.0, -2.0]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("tt", ["inf", "mixed", None])
@pytest.mark.parametrize("uniform", [False, True], ids=["per-channel", "uniform"])
def test_overflowing_terms_follow_the_scalar_law(uniform, tt, seed):
    """Where P or v overflow, a change of kp or b moves only the integrals of
    the channels it selects (and none by inf or NaN), and an infinite
    tracking time (given, or |kp/ki| overflowing) never tracks."""
    rng = np.random.default_rng([seed, uniform, ["inf", "mixed", None].index(tt)])
    n = 37  # vectors and a tail on every path
    params = dict(kp=rng.choice([0.0, 1.0, -3.0, 1e10], n), ki=rng.choice([0.0, 0.5, -1.0, 1e-300], n),
                  b=rng.choice([1.0, 2.0], n), u_min=-1.0, u_max=1.0)
    if uniform:
        params = {k: float(np.ravel(v)[0]) for k, v in params.items()}
    tt = {"inf": math.inf, "mixed": rng.choice([math.inf, 0.5], n), None: None}[tt]
    bank = PIDBank(n, **params, tt=tt, keep_terms=True)
    refs = channels_for(params, n, "back_calculation", tt)
    for step in range(30):
        r, y = rng.choice(EXTREMES, n), rng.choice(EXTREMES, n)
        h = 0.0 if step % 5 == 4 else 0.1
        u = bank.update(r, y, h)
        same(u, [c.update(float(r[i]), float(y[i]), h) for i, c in enumerate(refs)])
        if step % 3 == 1:
            name = str(rng.choice(["kp", "b"]))
            value = rng.choice([0.0, 0.5, 2.0], n)
            where = None if rng.random() < 0.25 else rng.random(n) < 0.5
            bank.set_params(where=where, **{name: value})
            for i, c in enumerate(refs):
                if where is None or where[i]:
                    c.set_params(**{name: float(value[i])})
        check_state(bank, refs, terms=step % 4 == 0)


@pytest.mark.parametrize("ff, sign", [(None, -1.0), (0.0, 1.0), (-0.0, -1.0)])
@pytest.mark.parametrize("n", [1, 9])
def test_absent_feedforward_is_not_added(n, ff, sign):
    """P, I and D all -0.0: without feed-forward v stays -0.0, with it v is
    their sum plus ff; either way v is the terms' sum, bit for bit."""
    bank = PIDBank(n, kp=-1.0, kd=-5e-324, keep_terms=True)
    bank.update(1.0, 1.0, 10.0)
    bank.set_integral(-0.0)
    # P = -1*(0 - 0); D = -5e-324*(0 - -1)/10 rounds to -0.0.
    u = bank.update(0.0, 0.0, 10.0, feedforward=ff)
    p, i, d, f = bank.terms
    v = (p + i) + d if ff is None else ((p + i) + d) + f
    assert (np.copysign(1.0, u) == sign).all() and (u == 0.0).all()
    np.testing.assert_array_equal(np.copysign(1.0, v), np.copysign(1.0, u))
    np.testing.assert_array_equal(f, 0.0)


def test_multidimensional_bank_matches_flat_channels():
    rng = np.random.default_rng(99)
    kp = rng.uniform(0, 2, (2, 3))
    bank = PIDBank((2, 3), kp=kp, ki=rng.uniform(0, 1, 3), kd=0.2, u_max=1.5)
    refs = [Channel(kp=float(kp.flat[i]), ki=float(bank.ki.flat[i]), kd=0.2, u_max=1.5)
            for i in range(6)]
    for _ in range(20):
        r = rng.uniform(-2, 2, (2, 1))
        y = rng.uniform(-2, 2, (2, 3))
        u = bank.update(r, y, 0.05)
        assert u.shape == (2, 3)
        exp = [c.update(float(r.flat[i // 3]), float(y.flat[i]), 0.05) for i, c in enumerate(refs)]
        close(u.ravel(), exp)


# ---------------------------------------------------------------- properties

def plant_run(bank, steps, setpoint, dt=0.01, tau=0.5, noise=None, y0=0.0):
    """First-order plants dy/dt = (u - y)/tau driven by the bank; returns
    the measurements and outputs, one row per step."""
    y = np.full(bank.shape, y0)
    ys, us = [], []
    rng = np.random.default_rng(5)
    for _ in range(steps):
        measured = y if noise is None else y + rng.normal(0, noise, y.shape)
        u = bank.update(setpoint, measured, dt)
        y = y + dt * (u - y) / tau
        ys.append(y.copy())
        us.append(u.copy())
    return np.array(ys), np.array(us)


def test_output_stays_within_limits():
    rng = np.random.default_rng(1)
    n = 50
    lo, hi = -rng.uniform(0.1, 1, n), rng.uniform(0.1, 1, n)
    bank = PIDBank(n, kp=rng.uniform(0, 10, n), ki=rng.uniform(0, 10, n),
                   kd=rng.uniform(0, 1, n), u_min=lo, u_max=hi, anti_windup="none")
    for _ in range(200):
        u = bank.update(rng.uniform(-5, 5, n), rng.uniform(-5, 5, n), rng.uniform(0, 0.1))
        assert np.all((u >= lo) & (u <= hi))
    bank.set_manual(rng.uniform(-5, 5, n))
    u = bank.update(0.0, 0.0, 0.1)
    assert np.all((u >= lo) & (u <= hi))


@pytest.mark.parametrize("anti_windup", MODES)
def test_switch_to_automatic_is_bumpless(anti_windup):
    bank = PIDBank(4, kp=[0.5, 1.0, 2.0, 3.0], ki=1.5, kd=0.3, tf=0.05, u_min=-2, u_max=2,
                   anti_windup=anti_windup)
    bank.set_manual([0.3, -1.0, 1.9, 0.0])
    r, y = np.array([1.0, 0.5, -0.5, 2.0]), np.array([0.2, 0.1, 0.4, 1.0])
    for _ in range(10):
        manual = bank.update(r, y, 0.01)
    bank.set_auto()
    automatic = bank.update(r, y, 0.01)
    np.testing.assert_allclose(automatic, manual, atol=1e-12)


def saturated_overshoot(anti_windup):
    bank = PIDBank(3, kp=2.0, ki=[4.0, 6.0, 8.0], u_min=0.0, u_max=1.2, anti_windup=anti_windup)
    ys, _ = plant_run(bank, 800, 1.0)
    return ys.max(axis=0) - 1.0


def test_anti_windup_limits_overshoot_under_saturation():
    plain = saturated_overshoot("none")
    assert np.all(plain > 0.05)
    for mode in ("conditional", "back_calculation"):
        assert np.all(saturated_overshoot(mode) < 0.5 * plain)


@pytest.mark.parametrize("c, kicks", [(0.0, False), (1.0, True)])
def test_setpoint_step_kicks_only_with_setpoint_in_derivative(c, kicks):
    bank = PIDBank(1, kp=0.0, kd=1.0, c=c)
    bank.update(0.0, 0.0, 0.01)
    u = bank.update(1.0, 0.0, 0.01)[0]
    assert (u == pytest.approx(100.0)) if kicks else (u == 0.0)


def test_derivative_filter_attenuates_measurement_noise():
    spread = {}
    for tf in (0.0, 0.1):
        bank = PIDBank(200, kp=1.0, ki=0.5, kd=0.2, tf=tf)
        _, us = plant_run(bank, 300, 1.0, noise=0.01)
        spread[tf] = np.std(np.diff(us[100:], axis=0))
    assert spread[0.1] < 0.2 * spread[0.0]


def test_bad_sensor_does_not_poison_the_channel():
    bank = PIDBank(2, kp=1.0, ki=1.0, kd=0.1)
    bank.update(1.0, 0.0, 0.1)
    before = (bank.integral.copy(), bank.derivative.copy())
    u = bank.update(1.0, [np.nan, 0.5], 0.1)
    assert math.isnan(u[0]) and math.isfinite(u[1])
    assert bank.integral[0] == before[0][0] and bank.derivative[0] == before[1][0]
    assert math.isfinite(bank.update(1.0, 0.0, 0.1)[0])
