"""Plant banks: their checks, dead time in samples and exact ZOH models."""
import pickle
import warnings

import numpy as np
import pytest

from kovar.sim import FOPDT, SOPDT, Integrating
from kovar.sim.expm import pade_expm


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: FOPDT(1.0, 0.0), "tau must be positive, not 0.0"),
        (lambda: FOPDT(1.0, [1.0, -2.0]), "tau must be positive, not -2.0 (index (1,))"),
        (lambda: FOPDT(1.0, 1.0, -0.5), "delay must be non-negative, not -0.5"),
        (lambda: FOPDT(np.nan, 1.0), "gain must be finite, not nan"),
        (lambda: FOPDT(1.0, [[1.0, np.inf]]), "tau must be finite, not inf (index (0, 1))"),
        (lambda: SOPDT(1.0, 1.0, 0.0), "tau2 must be positive, not 0.0"),
        (lambda: SOPDT(1.0, -1.0, 1.0), "tau1 must be positive, not -1.0"),
        (lambda: Integrating(1.0, [0.0, -1.0]), "delay must be non-negative, not -1.0 (index (1,))"),
        (lambda: FOPDT([1.0, 2.0], [1.0, 2.0, 3.0]),
         "gain has shape (2,) and tau has shape (3,), which do not broadcast together"),
        (lambda: FOPDT(1.0, 1.0).discretize(0.0), "dt must be a positive finite number, not 0.0"),
        (lambda: FOPDT(1.0, 1.0).discretize(-1), "dt must be a positive finite number, not -1.0"),
    ],
)
def test_invalid_parameters_are_refused_by_name(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize("value", ["1", None, 1j, [object()]])
def test_non_real_parameters_are_type_errors(value):
    with pytest.raises(TypeError) as info:
        FOPDT(value, 1.0)
    assert str(info.value) == f"gain must be a real number or array, not {type(value).__name__}"


def test_parameters_broadcast_to_a_read_only_shape():
    p = SOPDT([[1.0], [2.0]], 3.0, [1.0, 2.0, 4.0])
    assert p.shape == (2, 3)
    assert p.gain.shape == p.tau2.shape == (2, 3)
    with pytest.raises(ValueError):
        p.tau1[0, 0] = 5.0
    assert pickle.loads(pickle.dumps(p)) == p


@pytest.mark.parametrize(
    "delay, dt, samples",
    [(0.0, 0.1, 0), (0.04, 0.1, 0), (0.05, 0.1, 1), (0.149, 0.1, 1), (1.0, 0.1, 10), (2.5, 1.0, 3)],
)
def test_dead_time_rounds_to_whole_samples(delay, dt, samples):
    assert FOPDT(1.0, 1.0, delay).discretize(dt).d == samples


@pytest.mark.parametrize("delay, dt", [(1e20, 1.0), (1e300, 1e-10), (9.3e18, 1.0)])
def test_a_dead_time_beyond_any_run_never_lets_the_input_through(delay, dt):
    from kovar.bank import PIDBank
    from kovar.sim import simulate
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert FOPDT(1.0, 1.0, delay).discretize(dt).d == 2**62
        result = simulate(PIDBank(2, kp=1.0, ki=0.1), FOPDT(1.0, 1.0, delay), dt=dt, steps=5)
    assert not result.y.any()


@pytest.mark.parametrize("fast", [1e-3, 1e-20, 1e-300, 1e-310])
@pytest.mark.parametrize("which", ["tau1", "tau2"])
def test_a_stiff_lag_leaves_the_first_order_model_of_the_other(which, fast):
    # dt/tau from 1000 to past the largest double: the fast lag settles within
    # the sample, the slow one (tau 1 at dt 1) decays by exp(-1) per sample
    gain, slow = 2.0, np.exp(-1.0)
    taus = {"tau1": fast, "tau2": 1.0} if which == "tau1" else {"tau1": 1.0, "tau2": fast}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m = SOPDT(gain, taus["tau1"], taus["tau2"]).discretize(1.0)
        f = FOPDT(gain, fast).discretize(1.0)
    assert f.a == 0.0 and f.b == gain
    if which == "tau1":  # x1 follows the input at once: x2 is the slow lag fed by it
        want = dict(a11=0.0, a21=fast * slow / (1.0 - fast), a22=slow, b1=gain,
                    b2=gain * (1.0 - slow / (1.0 - fast)))
    else:  # x2 follows x1 at once
        want = dict(a11=slow, a21=slow / (1.0 - fast), a22=0.0, b1=gain * (1.0 - slow),
                    b2=gain * (1.0 - slow / (1.0 - fast)))
    for name, value in want.items():
        assert np.isclose(getattr(m, name), value, rtol=4e-16, atol=0), name
    assert m.a12 == 0.0


def test_stiff_and_ordinary_plants_in_one_bank_each_get_their_own_model():
    m = SOPDT(2.0, [1e-30, 1e-30, 1.0], [1e-30, 0.5, 0.5]).discretize(1.0)
    ordinary = SOPDT(2.0, 1.0, 0.5).discretize(1.0)
    assert m.a11[0] == m.a22[0] == m.a21[0] == 0.0 and m.b1[0] == m.b2[0] == 2.0  # passes the input on
    assert m.a22[1] == np.exp(-2.0) and m.a11[1] == 0.0
    for name in ("a11", "a12", "a21", "a22", "b1", "b2"):
        assert getattr(m, name)[2] == getattr(ordinary, name)


def test_fopdt_coefficients_follow_the_equations():
    tau = np.array([0.3, 1.0, 7.0])
    m = FOPDT(2.5, tau).discretize(0.1)
    a = np.exp(-0.1 / tau)
    assert np.array_equal(m.a, a)
    assert np.array_equal(m.b, (1.0 - a) * 2.5)
    assert np.array_equal(Integrating([2.0, -3.0]).discretize(0.1).b, np.array([2.0, -3.0]) * 0.1)


def test_matrix_exponential_matches_scipy():
    linalg = pytest.importorskip("scipy.linalg")
    rng = np.random.default_rng(7)
    stable = rng.standard_normal((200, 3, 3)) - 3.0 * np.eye(3)
    scaled = stable * rng.uniform(1e-3, 40.0, (200, 1, 1))
    for a in (stable, scaled, np.zeros((3, 3))):
        expected = np.array([linalg.expm(m) for m in a.reshape(-1, 3, 3)]).reshape(a.shape)
        assert np.allclose(pade_expm(a), expected, rtol=1e-12, atol=1e-13)


def _control_step(system, dt, steps, u):
    control = pytest.importorskip("control")
    sysd = control.c2d(system, dt, method="zoh")
    return control.forced_response(sysd, np.arange(steps) * dt, u).outputs


@pytest.mark.parametrize("tau1, tau2", [(1.0, 0.3), (0.5, 0.5), (2.0, 2.0 + 1e-9), (0.05, 20.0)])
def test_sopdt_open_loop_matches_python_control(tau1, tau2):
    control = pytest.importorskip("control")
    dt, steps, gain = 0.1, 300, 1.7
    u = np.sin(np.arange(steps) * 0.05) + 1.0
    expected = _control_step(control.tf([gain], np.polymul([tau1, 1.0], [tau2, 1.0])), dt, steps, u)
    got = _open_loop(SOPDT(gain, tau1, tau2), dt, u)
    assert np.allclose(got, expected, rtol=0, atol=1e-12 * np.abs(expected).max())


def test_sopdt_coefficients_are_the_same_bits_without_scipy():
    import pickle, subprocess, sys
    rng = np.random.default_rng(5)
    plant = SOPDT(rng.uniform(-3, 3, 64), rng.uniform(1e-3, 50, 64), rng.uniform(1e-3, 50, 64))
    code = ("import pickle, sys; sys.modules['scipy'] = None; "
            "plant = pickle.loads(sys.stdin.buffer.read()); "
            "sys.stdout.buffer.write(pickle.dumps(plant.discretize(0.1).coefficients))")
    done = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(plant), capture_output=True,
                          check=True)
    without = pickle.loads(done.stdout)
    pytest.importorskip("scipy")  # and here SciPy is importable
    for name, value in plant.discretize(0.1).coefficients.items():
        assert value.tobytes() == without[name].tobytes(), name


def test_fopdt_open_loop_with_dead_time_matches_python_control():
    control = pytest.importorskip("control")
    dt, steps = 0.05, 200
    u = np.where(np.arange(steps) >= 3, 1.0, 0.0)
    expected = _control_step(control.tf([2.0], [0.7, 1.0]), dt, steps, u)
    got = _open_loop(FOPDT(2.0, 0.7, 0.25), dt, u)  # 5 samples of dead time
    assert np.allclose(got[5:], expected[:-5], rtol=0, atol=1e-12)
    assert np.all(got[:5] == 0.0)


def _open_loop(plant, dt, u):
    return plant.response(u, dt)


@pytest.mark.parametrize("gain, time_scale", [
    (1.0, 2.0**-1040),     # subnormal taus and dt: 1/tau overflows
    (2.0**1000, 2.0**-60),  # gain/tau1 overflows
])
def test_sopdt_past_the_range_of_1_over_tau_is_the_same_plant_on_another_time_scale(gain, time_scale):
    # The model depends on dt/tau1, dt/tau2 and linearly on the gain; the
    # times scale by a power of two, so every ratio is the same double.
    tau1 = np.array([0.5, 2.0, 0.25, 1.0])
    tau2 = np.array([0.75, 0.25, 0.25, 2.0**-4])
    dt = 2.0**-6
    ordinary = SOPDT(1.0, tau1, tau2).discretize(dt)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m = SOPDT(gain, tau1 * time_scale, tau2 * time_scale).discretize(dt * time_scale)
    for name in ("a11", "a12", "a21", "a22", "b1", "b2"):
        want = getattr(ordinary, name) * (gain if name[0] == "b" else 1.0)
        assert np.allclose(getattr(m, name), want, rtol=1e-14, atol=1e-15), name


@pytest.mark.parametrize("plant", [FOPDT([1.5, -2.0], [2.0, 0.3], [0.0, 0.4]),
                                   SOPDT([1.5, -2.0], [2.0, 0.3], [0.7, 0.3], [0.0, 0.4]),
                                   Integrating([0.5, -1.0], [0.2, 0.0])], ids=["fopdt", "sopdt", "integrating"])
def test_each_plant_knows_its_frequency_response(plant):
    # against python-control's transfer function of the delay-free plant, the dead time exact
    control = pytest.importorskip("control")
    w = np.logspace(-2, 2, 9)
    for i in range(plant.shape[0]):
        params = {n: v[i] for n, v in plant.params().items()}
        delay = params.pop("delay")
        free = type(plant)(**params).to_control()
        expected = free(1j * w) * np.exp(-1j * w * delay)
        assert np.allclose(plant.frequency_response(w)[i], expected, rtol=1e-13, atol=0)
