"""The public plant stepper, open-loop responses and step tests against
simulate's loop, and runs from an operating point."""
import numpy as np
import pytest

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, simulate, step_test
from kovar.tune import identify_fopdt

rng = np.random.default_rng(5)
N = 40
GAIN = rng.uniform(-2.0, 2.0, N)
TAU = rng.uniform(0.1, 3.0, N)
DELAY = rng.uniform(0.0, 0.5, N)
PLANTS = {
    "fopdt": FOPDT(GAIN, TAU, DELAY),
    "sopdt": SOPDT(GAIN, TAU, rng.uniform(0.05, 1.0, N), 0.2),
    "integrating": Integrating(GAIN, DELAY),
}
GAINS = dict(kp=rng.uniform(0.1, 1.5, N), ki=rng.uniform(0.0, 1.0, N), kd=0.05, tf=0.02, b=0.7,
             u_min=-3.0, u_max=3.0)
DT, STEPS = 0.05, 150


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


@pytest.mark.parametrize("plant", PLANTS.values(), ids=PLANTS.keys())
def test_a_loop_written_with_the_stepper_is_simulate(plant):
    r = np.where(np.arange(STEPS)[:, None] < 20, 0.0, rng.uniform(-1.0, 1.0, N))
    load = np.sin(np.arange(STEPS) * 0.2)[:, None]
    bank, twin = PIDBank(N, **GAINS), PIDBank(N, **GAINS)
    s = plant.discretize(DT).start()
    y, ys, us = s.output(), [], []
    for k in range(STEPS):
        u = bank.update(r[k], y, DT)
        ys.append(y)
        us.append(u.copy())
        y = s.step(u + load[k])
    run = simulate(twin, plant, dt=DT, steps=STEPS, setpoint=r, load=load)
    assert np.array_equal(bits(run.y), bits(np.array(ys)))
    assert np.array_equal(bits(run.u), bits(np.array(us)))
    # Outputs handed out are snapshots: later steps leave them as they were.
    assert not ys[1].flags.writeable and np.array_equal(bits(ys[1]), bits(run.y[1]))


@pytest.mark.parametrize("plant", PLANTS.values(), ids=PLANTS.keys())
def test_response_is_the_open_loop_of_simulate(plant):
    # A bank of kp = 0 outputs +0.0, and u + load is the load itself.
    u = rng.uniform(-1.0, 1.0, (STEPS, N))
    run = simulate(PIDBank(N, kp=0.0), plant, dt=DT, steps=STEPS, load=u)
    assert np.array_equal(bits(plant.response(u, DT)), bits(run.y))


@pytest.mark.parametrize("plant", [PLANTS["fopdt"], PLANTS["sopdt"]], ids=["fopdt", "sopdt"])
def test_a_plant_started_at_an_input_stays_at_its_steady_state(plant):
    u0 = rng.uniform(-2.0, 2.0, N)
    y = plant.response(np.broadcast_to(u0, (STEPS, N)), DT, u0=u0)
    assert np.allclose(y, plant.gain * u0, rtol=1e-12, atol=1e-12)
    # A step on top of it is the step from rest, moved by the steady state
    # (its dead time full of u0, not of the 0 of rest).
    step = np.where(np.arange(STEPS)[:, None] >= 10, 1.0, 0.0)
    moved = plant.response(u0 + step, DT, u0=u0) - plant.gain * u0
    assert np.allclose(moved, plant.response(step, DT), rtol=0.0, atol=1e-12)


def test_an_integrating_plant_started_at_an_input_ramps_from_0():
    plant = Integrating([0.5, -2.0], [0.0, 0.3])
    y = plant.response(np.ones((10, 2)), 0.1, u0=1.0)
    assert np.allclose(y, np.arange(10)[:, None] * 0.1 * plant.gain, rtol=1e-12)


def test_a_step_test_identifies_the_plant():
    plant = FOPDT(GAIN, TAU, np.round(DELAY, 1))
    t, u, y = step_test(plant, 0.1, 600, amplitude=0.5, u0=1.0, step_time=2.0)
    assert np.all(u[:20] == 1.0) and np.all(u[20:] == 1.5)
    assert np.allclose(y[0], plant.gain)
    model, _ = identify_fopdt(t, u, y)
    for name in ("gain", "tau", "delay"):
        assert np.allclose(getattr(model, name), getattr(plant, name), rtol=1e-6, atol=1e-9), name


@pytest.mark.parametrize("plant", [PLANTS["fopdt"], PLANTS["sopdt"]], ids=["fopdt", "sopdt"])
def test_a_run_from_an_operating_point_stays_there(plant):
    # The plant at the steady state of u0, the setpoint its output: the
    # bank's first output is u0 (setpoint weight b != 1 included) and the
    # loop does not move.
    u0 = rng.uniform(-2.0, 2.0, N)
    bank = PIDBank(N, **GAINS)
    bank.update(5.0, 0.0, DT)  # a state from elsewhere, not carried over
    run = simulate(bank, plant, dt=DT, steps=STEPS, setpoint=plant.gain * u0, initial_input=u0)
    # (to rounding: the coefficients keep the steady state to an ulp a step)
    assert np.allclose(run.u, u0, rtol=0.0, atol=1e-10)
    assert np.allclose(run.y, plant.gain * u0, rtol=0.0, atol=1e-10)


def test_load_time_is_load_step_in_seconds():
    plant = PLANTS["fopdt"]
    by_step = simulate(PIDBank(N, **GAINS), plant, dt=DT, steps=60, load=0.4, load_step=21)
    for seconds in (20 * DT + 1e-9, 21 * DT):
        by_time = simulate(PIDBank(N, **GAINS), plant, dt=DT, steps=60, load=0.4, load_time=seconds)
        assert np.array_equal(bits(by_time.y), bits(by_step.y))


def test_feedforward_and_track_reach_the_bank():
    plant = PLANTS["fopdt"]
    ff = simulate(PIDBank(N, kp=0.0), plant, dt=DT, steps=5, feedforward=np.arange(5.0)[:, None])
    assert np.array_equal(ff.u, np.broadcast_to(np.arange(5.0)[:, None], (5, N)))
    # Tracking a held actuator winds the integral toward it.
    free = simulate(PIDBank(N, kp=1.0, ki=1.0), plant, dt=DT, steps=40)
    held = simulate(PIDBank(N, kp=1.0, ki=1.0), plant, dt=DT, steps=40, track=0.0)
    assert np.all(held.u[-1] < free.u[-1])


@pytest.mark.parametrize("call, error, message", [
    (lambda: FOPDT(1.0, 1.0).discretize(0.1).start(u0=np.nan), ValueError, "u0 must be finite"),
    (lambda: FOPDT([1.0, 2.0], 1.0).discretize(0.1).start(u0=[1.0, 2.0, 3.0]), ValueError,
     r"u0 has shape \(3,\)"),
    (lambda: FOPDT([1.0, 2.0], 1.0).discretize(0.1).start().step(np.ones(3)), ValueError,
     r"u has shape \(3,\)"),
    (lambda: FOPDT(1.0, 1.0).discretize(0.1).start().step("1"), TypeError, "u must be a real"),
    (lambda: FOPDT(1.0, 1.0).response(1.0, 0.1), ValueError, "u must be a series"),
    (lambda: FOPDT([1.0, 2.0], 1.0).response(np.ones((10, 3)), 0.1), ValueError,
     r"u has shape \(10, 3\), whose channels \(3,\)"),
    (lambda: step_test(FOPDT(1.0, 1.0), 0.1, 10, amplitude=np.inf), ValueError, "amplitude must be finite"),
    (lambda: step_test("plant", 0.1, 10), TypeError, "plant must be"),
    (lambda: step_test(FOPDT(1.0, 1.0), 0.1, 10, step_time=[1.0]), TypeError, "step_time must be a real number"),
    (lambda: simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, load_step=1, load_time=0.1),
     TypeError, "not both"),
    (lambda: simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, load_time=np.nan),
     ValueError, "load_time must be finite"),
    (lambda: simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, feedforward="x"),
     TypeError, "feedforward must be a real"),
    (lambda: simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, track=np.ones((5, 3))),
     ValueError, r"track has shape \(5, 3\)"),
    (lambda: simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, load=np.ones(5)),
     ValueError, r"load\[:, None\]"),
    (lambda: simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, initial_input=[0.0, np.inf]),
     ValueError, "initial_input must be finite"),
])
def test_refusals_name_the_argument(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_an_operating_point_without_a_finite_integral_leaves_the_bank_as_it_was():
    bank = PIDBank(2, kp=1.0, ki=0.5)
    bank.update(1.0, 0.0, 0.1)
    before = bank.__reduce__()[2]
    with pytest.raises(ValueError, match=r"initial_input gives no finite integral .*\(index \(1,\)\)"):
        simulate(bank, FOPDT(1.0, 1.0), dt=0.1, steps=5, setpoint=[0.0, np.nan], initial_input=0.5)
    after = bank.__reduce__()[2]
    assert after.keys() == before.keys()
    for key, value in before.items():
        if isinstance(value, np.ndarray):
            assert np.array_equal(after[key], value, equal_nan=True), key
        else:
            assert after[key] == value, key
