"""kovar.bank.PIDBank in the loops it is made for: reverse-acting plants
under saturation, bumpless switches and parameter changes, failed sensors,
rate limits, feed-forward and external tracking."""
import math

import numpy as np
import pytest

from kovar.bank import PIDBank

DT = 0.1


def saturate_then_recover(bank, plant_gain, tau=2.0, high=30.0, total=200.0):
    """First-order plants y' = (K u - y)/tau, one per channel, with a setpoint
    out of reach for `high` seconds and a reachable one after: the time from
    the switch until y stays within 2% of the new setpoint."""
    steps = int(total / DT)
    y = np.zeros(bank.shape)
    settled = np.full(bank.shape, math.nan)
    for k in range(steps):
        t = k * DT
        r = 2.0 if t < high else 0.5
        u = bank.update(r, y, DT)
        y = y + DT * (plant_gain * u - y) / tau
        if t >= high:
            out = np.abs(y - 0.5) > 0.01
            settled = np.where(out, math.nan, np.where(np.isnan(settled), t - high, settled))
    return settled


@pytest.mark.parametrize("anti_windup", ["back_calculation", "conditional"])
def test_reverse_acting_loops_recover_like_their_mirror(anti_windup):
    # Plant gain -1 with negative gains is the mirror image of gain +1 with
    # positive ones: the same recovery, and much faster than no anti-windup.
    kp, ki = np.array([0.5, 1.0, 2.0]), np.array([0.3, 0.6, 1.5])
    times = {}
    for sign in (1, -1):
        for mode in (anti_windup, "none"):
            bank = PIDBank(3, kp=sign * kp, ki=sign * ki, u_min=-1.0, u_max=1.0, anti_windup=mode)
            times[sign, mode] = saturate_then_recover(bank, sign)
    assert np.all(np.isfinite(times[-1, anti_windup]))
    assert np.all(times[-1, anti_windup] <= 1.2 * times[1, anti_windup] + DT)
    assert np.all(times[-1, anti_windup] < 0.5 * times[-1, "none"])


@pytest.mark.parametrize("kp, ki", [(-1.0, -1.0), (1.0, -1.0), (-1.0, 1.0), (0.0, -2.0), (0.0, 2.0)])
@pytest.mark.parametrize("anti_windup", ["back_calculation", "conditional"])
def test_no_windup_for_any_signs(kp, ki, anti_windup):
    # Open loop, a constant error: without anti-windup the integral grows to
    # 100 steps' worth. With it, the integral stops once v is past a limit
    # in the direction it pushes (conditional), or settles where tracking
    # balances it, tt*ki*e past the limit (back-calculation).
    bank = PIDBank(1, kp=kp, ki=ki, u_min=-1.0, u_max=1.0, anti_windup=anti_windup)
    e = 5.0
    for _ in range(100):
        bank.update(e, 0.0, 0.1)
    tt = max(abs(kp / ki), 0.1) if kp else 0.1
    beyond = abs(ki) * 0.1 * e if anti_windup == "conditional" else abs(tt * ki * e) + 1e-9
    assert abs(bank.integral[0]) <= abs(kp * e) + 1.0 + beyond
    assert abs(ki) * 0.1 * e * 100 > 4 * (abs(kp * e) + 1.0 + beyond)


def test_conditional_integral_of_a_saturated_loop_stays_for_either_direction():
    for sign in (1, -1):
        b = PIDBank(1, kp=sign, ki=sign, u_min=-1, u_max=1, anti_windup="conditional")
        for _ in range(100):
            b.update(5.0, 0.0, 0.1)
        assert b.integral[0] == 0.0


def textbook_pi(kp, ki, u_min, u_max, mode, setpoints, y0, plant_gain, tau):
    """PI with anti-windup from the textbook (Astrom & Hagglund, Feedback
    Systems, 10.4): back-calculation with Tt = max(|Ti|, h) and Ti = kp/ki,
    conditional integration stopping where the integral pushes further into
    the limit. Independent of the bank's code."""
    integral, y, ys = 0.0, y0, []
    tt = max(abs(kp / ki), DT) if kp else DT
    for r in setpoints:
        e = r - y
        v = kp * e + integral
        u = min(max(v, u_min), u_max)
        if mode == "back_calculation":
            integral += ki * DT * e + DT * (u - v) / tt
        elif not (u != v and np.sign(ki * e) == np.sign(v - u)):
            integral += ki * DT * e
        y = y + DT * (plant_gain * u - y) / tau
        ys.append(y)
    return np.array(ys)


@pytest.mark.parametrize("mode", ["back_calculation", "conditional"])
def test_reverse_acting_loop_matches_the_textbook_loop(mode):
    # Out of reach for 30 s, then reachable.
    kp, ki = -0.8, -0.5
    setpoints = [1.5] * 300 + [0.5] * 300
    bank = PIDBank(1, kp=kp, ki=ki, u_min=-1.0, u_max=1.0, anti_windup=mode)
    y, ys = 0.0, []
    for r in setpoints:
        u = bank.update(r, y, DT)[0]
        y = y + DT * (-u - y) / 2.0
        ys.append(y)
    np.testing.assert_allclose(ys, textbook_pi(kp, ki, -1.0, 1.0, mode, setpoints, 0.0, -1.0, 2.0),
                               rtol=1e-12, atol=1e-12)
    assert abs(ys[-1] - 0.5) < 1e-3


@pytest.mark.parametrize("kp, ki", [(5e-324, 2.0), (1e-310, 1e10), (-1e-310, 1e10)])
def test_automatic_tracking_time_is_never_below_a_step(kp, ki):
    bank = PIDBank(1, kp=kp, ki=ki, u_min=-1.0, u_max=1.0)
    for r in [5.0] * 50 + [-5.0] * 50:
        u = bank.update(r, 0.0, 0.1)
        assert np.isfinite(bank.integral[0]) and np.isfinite(u[0])
    assert abs(bank.integral[0]) <= 1.0 + 1e10 * 0.1 * 5.0


# ---------------------------------------------------------------- bumpless

def held_output(bank, r, y):
    return bank.update(r, y, 0.0).copy()


@pytest.mark.parametrize("change", [
    {"kp": [0.5, -3.0, 4.0, 0.0]}, {"b": 0.2}, {"kp": 2.5, "b": [0.0, 1.0, 0.5, 0.7]},
    {"kp": 0.1, "ki": 3.0, "u_min": -10.0, "u_max": 10.0}])
@pytest.mark.parametrize("how", ["attributes", "set_params"])
def test_kp_and_b_changes_are_bumpless(change, how):
    rng = np.random.default_rng(4)
    bank = PIDBank(4, kp=[1.0, 2.0, -1.5, 0.5], ki=1.0, kd=0.3, tf=0.1, b=0.6, u_min=-8.0,
                   u_max=8.0)
    bank.set_manual(1.0, where=[False, False, False, True])
    for _ in range(30):
        r, y = rng.uniform(-1, 1, 4), rng.uniform(-1, 1, 4)
        bank.update(r, y, 0.05, feedforward=[0.1, 0.0, -0.2, 0.3])
    before = held_output(bank, r, y)
    integral = bank.integral.copy()
    if how == "attributes":
        for name, value in change.items():
            setattr(bank, name, value)
    else:
        bank.set_params(**change)
    np.testing.assert_allclose(held_output(bank, r, y), before, rtol=1e-12, atol=1e-12)
    assert bank.integral[3] == integral[3]  # manual: tracks anyway


def test_set_params_moves_both_limits_in_any_order():
    bank = PIDBank(2, kp=1.0, u_min=-1.0, u_max=1.0)
    bank.set_params(u_min=5.0, u_max=6.0)
    assert (bank.u_min, bank.u_max) == (5.0, 6.0)
    bank.set_params(where=[True, False], u_max=-4.0, u_min=-5.0)
    assert bank.u_min.tolist() == [-5.0, 5.0] and bank.u_max.tolist() == [-4.0, 6.0]
    assert bank.update(0.0, 0.0, 0.1).tolist() == [-4.0, 5.0]


# ---------------------------------------------------------------- failed sensors

@pytest.mark.parametrize("on_nan", ["nan", "hold"])
def test_manual_output_never_depends_on_the_measurement(on_nan):
    bank = PIDBank(2, kp=2.0, ki=1.0, u_min=-1.0, u_max=1.0, on_nan=on_nan)
    bank.update(1.0, 0.2, 0.1)
    bank.update(1.0, np.nan, 0.1)           # the sensor fails ...
    if on_nan == "hold":
        bank.set_manual()                    # ... the operator holds the actuator
    else:                                    # ... which output NaN: no output to hold
        with pytest.raises(ValueError, match=r"channel \(0,\) has none yet"):
            bank.set_manual()
        bank.set_manual(0.75)
    assert bank.manual.all()
    integral = bank.integral.copy()
    for dt in (0.1, 0.0):
        u = bank.update(1.0, np.nan, dt)
        np.testing.assert_array_equal(u, bank.output)
        assert np.all(np.isfinite(u))
    np.testing.assert_array_equal(bank.integral, integral)  # nothing to track from
    u = bank.update(1.0, 0.4, 0.1)                           # the sensor is back
    assert bank.integral[0] == pytest.approx(u[0] - 2.0 * 0.6)
    bank.set_auto()
    np.testing.assert_allclose(bank.update(1.0, 0.4, 0.1), u, atol=0.1 * 0.6 + 1e-12)


def test_hold_outputs_the_last_output_and_keeps_the_state():
    bank = PIDBank(3, kp=1.0, ki=1.0, on_nan="hold")
    last = bank.update(1.0, 0.0, 0.1).copy()
    integral = bank.integral.copy()
    u = bank.update([np.nan, 1.0, 1.0], [0.0, np.inf, 0.0], 0.1, feedforward=[0.0, 0.0, np.nan])
    np.testing.assert_array_equal(u, last)
    np.testing.assert_array_equal(bank.integral, integral)
    assert bank.on_nan == "hold" and PIDBank(1, kp=1).on_nan == "nan"


@pytest.mark.parametrize("n", [1, 4])  # the scalar and the paired loop
def test_derivative_restarts_after_a_gap(n):
    bank = PIDBank(n, kp=0.0, kd=1.0)
    ramp = [0.1 * k for k in range(20)]
    ds = []
    for k, y in enumerate(ramp):
        measured = math.nan if 8 <= k < 18 else y
        u = bank.update(0.0, measured, 0.1)
        ds.append(u[0])
    # d/dt of -y is -1: no kick of -(1.8 - 0.7)/0.1 after the gap, D = 0 on
    # the first sample and the slope after it.
    assert ds[18] == 0.0 and ds[19] == pytest.approx(-1.0)
    assert ds[7] == pytest.approx(-1.0) and all(math.isnan(d) for d in ds[8:18])


# ---------------------------------------------------------------- rate limit, ff, track, terms

def test_rate_limit_ramps_from_the_second_step_also_in_manual():
    bank = PIDBank(1, kp=10.0, u_min=-5.0, u_max=5.0, rate_limit=2.0)
    assert bank.update(1.0, 0.0, 0.1)[0] == 5.0                  # first step: free
    assert bank.update(-1.0, 0.0, 0.1)[0] == pytest.approx(4.8)  # then 2/s
    bank.set_manual(-5.0)
    outputs = [bank.update(0.0, 0.0, 0.5)[0] for _ in range(6)]
    np.testing.assert_allclose(outputs, [3.8, 2.8, 1.8, 0.8, -0.2, -1.2])
    bank.rate_limit = math.inf
    assert bank.update(0.0, 0.0, 0.5)[0] == -5.0


def test_rate_limited_output_counts_as_saturated():
    # Back-calculation pulls v towards the rate-limited output.
    limited = PIDBank(1, kp=1.0, ki=5.0, rate_limit=0.5, tt=0.2, keep_terms=True)
    free = PIDBank(1, kp=1.0, ki=5.0, tt=0.2)
    for bank in (limited, free):
        bank.update(0.0, 0.0, 0.1)
        for _ in range(20):
            bank.update(1.0, 0.0, 0.1)
    p, i, d, ff = limited.terms
    assert limited.output[0] == pytest.approx(1.0)
    assert (p + i + d + ff)[0] - limited.output[0] < free.integral[0] + 1.0 - free.output[0] + 2.0
    assert limited.integral[0] < free.integral[0]


def test_feedforward_adds_to_v_and_anti_windup_sees_it():
    bank = PIDBank(2, kp=1.0, ki=1.0, u_min=-1.0, u_max=1.0, anti_windup="conditional",
                   keep_terms=True)
    u = bank.update(0.5, 0.0, 0.1, feedforward=[0.2, 0.8])
    assert u.tolist() == [0.7, 1.0]
    assert bank.integral.tolist() == [0.05, 0.0]  # v = 1.3 > u_max with ki*e > 0
    p, i, d, ff = bank.terms
    assert ff.tolist() == [0.2, 0.8] and (p + i + d + ff).tolist() == [0.7, 1.3]


def test_tracking_input_replaces_the_own_output():
    # A selector gave the actuator 0.2 instead of the bank's 1.0: the integral
    # is pulled towards 0.2 as if the bank had saturated there.
    bank = PIDBank(2, kp=1.0, ki=1.0, tt=0.5)
    bank.update(0.0, 0.0, 0.1)
    bank.update(1.0, 0.0, 0.1, track=[0.2, np.nan])
    v = 1.0 + 0.0 + 0.0
    assert bank.integral.tolist() == [0.1 * 1.0 + 0.1 * (0.2 - v) / 0.5, 0.1]


def test_terms_add_up_to_v_exactly_while_kept():
    rng = np.random.default_rng(8)
    bank = PIDBank(5, kp=rng.uniform(-2, 2, 5), ki=rng.uniform(-2, 2, 5), kd=0.4, tf=0.05)
    with pytest.raises(AttributeError, match="keep_terms=True"):
        bank.terms
    bank.keep_terms = True
    assert all(np.isnan(t).all() for t in bank.terms)  # none kept yet
    for step in range(40):
        ff = rng.uniform(-1, 1, 5) if step % 3 else None
        u = bank.update(rng.uniform(-1, 1, 5), rng.uniform(-1, 1, 5), 0.05, feedforward=ff)
        if step % 4 == 0:
            p, i, d, f = bank.terms
            assert np.array_equal(u, ((p + i) + d) + f)
            assert not p.flags.writeable
    bank.reset()
    assert all(np.array_equal(t, np.zeros(5)) for t in bank.terms)


def test_set_integral_and_holding_the_output():
    bank = PIDBank(3, kp=1.0, ki=1.0, i_min=-1.0, i_max=1.0)
    bank.set_integral([0.5, 3.0, -0.25], where=[True, True, False])
    assert bank.integral.tolist() == [0.5, 1.0, 0.0]  # clipped to the integral limits
    with pytest.raises(ValueError) as info:
        bank.set_manual(where=[False, True, False])
    assert str(info.value) == ("set_manual() without a value holds the current output, "
                               "but channel (1,) has none yet")
    assert not bank.manual.any()
    u = bank.update(0.0, 0.0, 0.1).copy()
    bank.set_manual()
    assert bank.update(5.0, -5.0, 0.1).tolist() == u.tolist()


@pytest.mark.parametrize("anti_windup", ["back_calculation", "conditional", "none"])
def test_manual_to_automatic_is_bumpless_with_feedforward_and_reverse_gains(anti_windup):
    bank = PIDBank(4, kp=[-1.0, 2.0, -0.5, 1.5], ki=[-0.8, 1.0, -2.0, 0.5], kd=0.2, tf=0.05,
                   u_min=-3.0, u_max=3.0, rate_limit=50.0, anti_windup=anti_windup,
                   keep_terms=True)
    r, y, ff = np.array([1.0, -0.5, 0.2, 0.0]), np.array([0.3, 0.1, -0.4, 0.2]), np.array([0.5, -0.2, 0.0, 0.1])
    bank.set_manual([0.4, -1.0, 2.5, 0.0])
    for _ in range(20):
        held = bank.update(r, y, 0.01, feedforward=ff, track=[0.0, np.nan, 1.0, np.nan])
    bank.set_auto()
    np.testing.assert_allclose(bank.update(r, y, 0.01, feedforward=ff), held, atol=1e-12)
    p, i, d, f = bank.terms
    np.testing.assert_allclose(p + i + d + f, held, atol=1e-12)
