"""PIDBank's relay mode against the per-channel reference
(tests/relay_reference.py), bit for bit: outputs, the law's state and every
relay field, over random closed-loop runs with reverse-acting channels,
noise, non-finite inputs, manual and automatic channels beside the relays,
calls with dt <= 0, stops (stop_relay, set_manual, reset), restarts and
pickles mid-experiment. The slow
test in test_bank_simd_paths.py runs this file on every SIMD path."""
import copy
import math
import pickle

import numpy as np
import pytest

import relay_reference as rr
from kovar._relay import FIELDS, REASONS
from kovar.bank import PIDBank
from kovar.sim import FOPDT
from test_bank_simd_paths import same_bits

U0 = 0.5


def relay_fields(bank):
    return bank.__reduce__()[2]["relay"]


def check(bank, refs, what):
    for name in ("integral", "derivative", "output"):
        same_bits(getattr(bank, name), [getattr(c, name) for c in refs], f"{what}: {name}")
    assert bank.manual.tolist() == [c.manual for c in refs], what
    fields = relay_fields(bank) or {name: np.zeros(len(refs)) for name, _ in FIELDS}
    for name, _ in FIELDS:
        same_bits(fields[name], [float(getattr(c, name)) for c in refs], f"{what}: relay field {name}")
    assert bank.relay_running == sum(c.relay_state == rr.RUNNING for c in refs), what


def stop(refs, mask, reason):
    """The reference's end of a running experiment, with the bank's reason."""
    for c, m in zip(refs, mask):
        if m and c.relay_state == rr.RUNNING:
            c.relay_state, c.reason = rr.FAILED, reason


def start(bank, refs, rng, mask):
    n = len(refs)
    kw = dict(asymmetry=rng.choice([1.0, 1.4]) if rng.random() < 0.5 else rng.uniform(1.0, 2.0, n),
              cycles=int(rng.integers(1, 4)) if rng.random() < 0.5 else rng.integers(1, 4, n),
              max_time=None if rng.random() < 0.5 else rng.uniform(2.0, 30.0, n))
    if rng.random() < 0.4:
        kw["hysteresis"] = rng.uniform(0.0, 0.05, n)
    if rng.random() < 0.4:
        kw["bias"] = rng.uniform(0.3, 0.7, n)
    amplitude = rng.uniform(0.2, 1.0, n)
    bank.start_relay(amplitude, where=mask, **kw)
    at = lambda v, i: None if v is None else (float(v) if np.ndim(v) == 0 else float(v[i]))
    for i, c in enumerate(refs):
        if mask[i]:
            c.start(amplitude[i], at(kw["asymmetry"], i), at(kw.get("hysteresis"), i),
                    at(kw.get("bias"), i), int(at(kw["cycles"], i)), at(kw["max_time"], i))


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("n", [3, 13, 40])
def test_relay_mode_gives_the_reference_bits(n, seed):
    rng = np.random.default_rng([n, seed])
    k = rng.uniform(0.5, 2.0, n) * rng.choice([-1.0, 1.0], n)
    sign = np.sign(k)
    params = dict(kp=sign * rng.uniform(0.5, 2.0, n), ki=sign * rng.uniform(0.1, 1.0, n),
                  kd=sign * rng.choice([0.0, 0.1], n), tf=rng.choice([0.0, 0.05], n),
                  u_min=rng.choice([-np.inf, 0.2], n), u_max=rng.choice([np.inf, 1.2], n),
                  rate_limit=rng.choice([np.inf, 20.0], n))
    on_nan = ["nan", "hold"][seed % 2]
    bank = PIDBank(n, **params, on_nan=on_nan)
    refs = [rr.RelayChannel(**{name: float(v[i]) for name, v in params.items()}, on_nan=on_nan)
            for i in range(n)]
    bank.set_integral(U0)
    for c in refs:
        c.set_integral(U0)
    plants = [FOPDT(float(g), float(t), float(d)).discretize(0.05).start(U0)
              for g, t, d in zip(k, rng.uniform(0.5, 2.0, n), rng.uniform(0.1, 0.6, n))]
    r = k * U0
    y = np.array([float(p.output()) for p in plants])
    manual = rng.random(n) < 0.15
    noise = rng.choice([0.0, 0.01], n)
    seen = set()
    for step in range(1500):
        if step == 1:  # every channel has an output: the relays start, some channels go manual
            bank.set_manual(U0, where=manual)
            for c, m in zip(refs, manual):
                if m:
                    c.manual, c.manual_value = True, U0
            start(bank, refs, rng, ~manual & (rng.random(n) < 0.8))
        elif step in (400, 900):
            done = np.array([c.relay_state != rr.RUNNING for c in refs]) & ~manual
            start(bank, refs, rng, done & (rng.random(n) < 0.7))
        elif step == 600:
            mask = rng.random(n) < 0.2
            bank.stop_relay(where=mask)
            stop(refs, mask, 4)
        elif step == 650:
            mask = rng.random(n) < 0.1
            bank.reset(where=mask)
            stop(refs, mask, 6)
            for c, m in zip(refs, mask):
                if m:
                    c.reset()
        elif step == 700:
            mask = rng.random(n) < 0.1
            bank.set_manual(where=mask)
            stop(refs, mask, 5)
            for c, m in zip(refs, mask):
                if m:
                    c.manual, c.manual_value = True, c.output
            manual |= mask
        elif step == 800:
            bank = pickle.loads(pickle.dumps(bank))
            refs = copy.deepcopy(refs)
            check(bank, refs, "after the pickle")
        h = 0.05
        if step % 97 == 50:
            h = [0.0, -1.0, math.nan][step % 3]
        ym = y + noise * rng.standard_normal(n)
        if step % 53 == 7:
            ym[rng.random(n) < 0.1] = [math.nan, math.inf][step % 2]
        ff = 0.01 * rng.standard_normal(n) if step % 5 == 0 else None
        u = bank.update(r, ym, h, feedforward=ff).copy()
        expected = [c.update(float(r[i]), float(ym[i]), h, None if ff is None else float(ff[i]))
                    for i, c in enumerate(refs)]
        same_bits(u, expected, f"step {step}: output")
        if step % 100 == 0:
            check(bank, refs, f"step {step}")
        seen |= {c.relay_state for c in refs}
        if h > 0:
            y = np.array([float(p.step(v if np.isfinite(v) else U0)) for p, v in zip(plants, u)])
    check(bank, refs, "the end")
    if n > 3:  # the runs reach both ends
        assert {rr.DONE, rr.FAILED} <= seen


def test_result_names_the_outcome_and_the_bank_goes_back_to_its_plain_pass():
    bank = PIDBank(4, kp=[1.0, 1.0, -1.0, 1.0], ki=[0.5, 0.5, -0.5, 0.5])
    plant = FOPDT([1.0, 1.0, -1.0, 1.0], 1.0, 0.2).discretize(0.05).start(0.0)
    assert relay_fields(bank) is None and bank.relay_result().state.tolist() == ["off"] * 4
    y = plant.output()
    bank.update(0.0, y, 0.05)
    bank.start_relay(0.5, asymmetry=1.4, where=[True, True, True, False], max_time=[60, 60, 60, 1])
    bank.stop_relay(where=[False, True, False, False])
    assert bank.relay_running == 2
    for _ in range(2000):
        y = plant.step(bank.update(0.0, y, 0.05))
    result = bank.relay_result()
    assert result.state.tolist() == ["done", "failed", "done", "off"]
    assert result.reason[1] == REASONS[4] == "stopped by stop_relay()"
    assert bank.relay_running == 0 and not bank.manual.any()
    # The gains from it apply where the experiment is done; NaN elsewhere is no refusal.
    from kovar.tune import relay_tune
    gains = relay_tune(result)
    assert np.isnan(gains["kp"][1])
    bank.set_params(where=result.done, **gains)
    np.testing.assert_array_equal(bank.kp[result.done], gains["kp"][result.done])
    assert bank.kp[1] == 1.0
    with pytest.raises(ValueError, match=r"^kp must be finite, not nan \(index \(1,\)\)"):
        bank.set_params(where=[False, True, False, False], kp=gains["kp"])


@pytest.mark.parametrize("kwargs, message", [
    (dict(amplitude=0.0), "amplitude must be positive and finite, not 0.0"),
    (dict(amplitude=[1.0, math.inf, 1.0]), r"amplitude must be positive and finite, not inf \(index \(1,\)\)"),
    (dict(asymmetry=0.9), "asymmetry must be at least 1 and finite, not 0.9"),
    (dict(hysteresis=-1.0), "hysteresis must be finite and non-negative, not -1.0"),
    (dict(bias=[0.0, 0.0, math.nan]), r"bias must be finite, not nan \(index \(2,\)\)"),
    (dict(cycles=2.5), "cycles must be a whole number of at least 1, not 2.5"),
    (dict(cycles=[1, 0, 1]), r"cycles must be a whole number of at least 1, not 0.0 \(index \(1,\)\)"),
    (dict(max_time=0), "max_time must be positive, not 0.0"),
    (dict(where=[True, False]), "where has shape"),
    (dict(), r"start_relay\(\) without a bias starts from the current output, but channel \(2,\) has none yet"),
])
def test_refusals_change_nothing(kwargs, message):
    bank = PIDBank(3, kp=1.0, ki=0.1)
    bank.update(0.0, 0.0, 0.1)
    bank.reset(where=[False, False, True])  # no output again
    before = bank.__reduce__()[2]
    with pytest.raises(ValueError, match=message):
        bank.start_relay(**{"amplitude": 1.0, **kwargs})
    after = bank.__reduce__()[2]
    assert after["relay"] is None and bank.relay_running == 0
    for key, value in before.items():
        assert np.array_equal(after[key], value), key


def test_autotune_identifies_the_plants_from_a_fresh_bank():
    from kovar.tune import autotune
    rng = np.random.default_rng(5)
    n = 60
    k = rng.uniform(0.5, 2.0, n) * rng.choice([-1.0, 1.0], n)
    t = rng.uniform(1.0, 5.0, n)
    big_l = t * 10 ** rng.uniform(-1.3, 0.7, n)  # L/T from 0.05 to 5
    dt = float(min(t.min() / 20, big_l.min() / 5))
    bank = PIDBank(n, kp=np.sign(k) * 0.5, ki=np.sign(k) * 0.1)
    before = bank.__reduce__()[2]
    with pytest.raises(ValueError, match="asymmetry must be"):
        autotune(bank, FOPDT(k, t, big_l), dt=dt, amplitude=1.0, asymmetry=0.5)
    assert np.array_equal(bank.__reduce__()[2]["fresh"], before["fresh"])  # no step taken
    result = autotune(bank, FOPDT(k, t, big_l), dt=dt, amplitude=1.0, max_steps=100_000)
    assert result.done.all() and bank.relay_running == 0 and not bank.manual.any()
    np.testing.assert_allclose(result.model.gain, k, rtol=0.03)
    np.testing.assert_allclose(result.model.tau, t, rtol=0.1)
    np.testing.assert_allclose(result.model.delay, big_l, rtol=0.1)


@pytest.mark.parametrize("field, value, error, message", [
    ("relay_state", 7.0, ValueError, r"'relay' field 'relay_state' must be 0, 1, 2 or 3, not 7.0 \(index \(1,\)\)"),
    ("calls", 0.5, ValueError, r"'relay' field 'calls' must be a whole number, not 0.5 \(index \(1,\)\)"),
    ("u_on", np.inf, ValueError, r"'relay' field 'u_on' must be finite, not inf \(index \(1,\)\)"),
    ("sigma", None, ValueError, "PIDBank state 'relay' lacks 'sigma'"),
    ("sigma", "x", TypeError, "'relay' field 'sigma' is not an array of real numbers"),
])
def test_pickled_relay_states_are_checked(field, value, error, message):
    bank = PIDBank(2, kp=1.0, ki=0.1)
    bank.update(0.0, 0.0, 0.1)
    bank.start_relay(1.0)
    state = bank.__reduce__()[2]
    relay = dict(state["relay"])
    if value is None:
        del relay[field]
    elif isinstance(value, str):
        relay[field] = value
    else:
        relay[field] = relay[field].copy()
        relay[field][1] = value
    loaded = PIDBank.__new__(PIDBank)
    with pytest.raises(error, match=message):
        loaded.__setstate__(dict(state, relay=relay))
    assert loaded.shape == (0,)
    loaded.__setstate__(state)
    assert loaded.relay_running == 2
