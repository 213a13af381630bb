"""Identification on step tests of kovar.sim's own ZOH plants and of
analytic higher-order responses."""
from math import factorial

import numpy as np
import pytest

from kovar.sim import FOPDT, SOPDT, Integrating
from kovar.tune import identify, identify_fopdt, identify_integrating, identify_sopdt

# No fit may leak a NumPy warning, whatever it is given.
pytestmark = pytest.mark.filterwarnings("error")


def step_test(plant, dt, steps, at=10, size=1.0):
    """The plant's output for a step of `size` at sample `at`, from rest."""
    u = np.where(np.arange(steps) >= at, size, 0.0)
    y = plant.response(u.reshape(steps, *[1] * len(plant.shape)), dt)
    return np.arange(steps) * dt, u, y


def _plants(n, seed):
    rng = np.random.default_rng(seed)
    gain = rng.uniform(0.5, 3.0, n) * rng.choice([-1.0, 1.0], n)
    return FOPDT(gain, rng.uniform(0.5, 6.0, n), rng.integers(5, 30, n) * 0.1)


def _relative_errors(model, plant):
    return [np.abs(getattr(model, n) / getattr(plant, n) - 1.0).max() for n in ("gain", "tau", "delay")]


def test_noise_free_step_tests_are_recovered():
    plant = _plants(40, 1)
    t, u, y = step_test(plant, 0.1, 500)
    model, error = identify_fopdt(t, u[:, None], y)
    assert max(_relative_errors(model, plant)) < 0.02
    assert error.shape == (40,) and np.all(error < 1e-6)


def test_one_percent_noise_stays_within_ten_percent():
    plant = _plants(40, 2)
    t, u, y = step_test(plant, 0.1, 500, size=2.0)
    noisy = y + 0.01 * np.abs(2.0 * plant.gain) * np.random.default_rng(3).standard_normal(y.shape)
    model, error = identify_fopdt(t, u[:, None], noisy)
    assert max(_relative_errors(model, plant)) < 0.10
    assert np.all(np.abs(error - 0.01) < 0.003)  # the residual is the noise


def test_one_channel_gives_zero_dimensional_parameters_and_offsets_are_fitted():
    plant = FOPDT(-2.0, 3.0, 1.2)
    t, u, y = step_test(plant, 0.2, 200)
    model, error = identify_fopdt(t, u + 5.0, y + 7.0)  # an operating point, not rest
    assert model.shape == () and error.shape == ()
    assert float(model.gain) == pytest.approx(-2.0, rel=1e-9)
    assert float(model.tau) == pytest.approx(3.0, rel=1e-9)
    assert float(model.delay) == pytest.approx(1.2, rel=1e-9)


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.arange(5.0), np.ones(5), np.ones(5)), "u must change during the test"),
        ((np.arange(5.0), np.arange(5.0)[:, None] * [1.0, 0.0], np.ones((5, 2))),
         "u must change during the test (index (1,))"),
        ((np.arange(5.0), np.arange(5.0), np.ones(4)), "y has shape (4,), but t has 5 samples"),
        ((np.arange(3.0), np.arange(3.0), np.ones(3)), "a step test needs at least 4 samples, not 3"),
        ((np.array([0.0, 1.0, 1.0, 2.0]), np.arange(4.0), np.ones(4)), "t must be increasing"),
        ((np.arange(4.0), np.ones((4, 3)), np.ones((4, 2))),
         "u has shape (4, 3), which does not broadcast to y's shape (4, 2)"),
    ],
)
def test_refusals(args, message):
    with pytest.raises(ValueError) as info:
        identify_fopdt(*args)
    assert str(info.value) == message


def lags(t, n, gain=1.0):
    """The step response of gain/(s + 1)**n at times t (0 before 0)."""
    s = np.maximum(t, 0.0)
    return gain * (1.0 - np.exp(-s) * sum(s**k / factorial(k) for k in range(n)))


def test_the_baseline_is_the_pre_step_output_whatever_its_length():
    # A FOPDT fitted to three lags: a free baseline traded gain against the
    # misfit, the more so the shorter the record before the step.
    gains = []
    for before in (5, 50, 300):
        t = np.arange(before + 400) * 0.1
        model, _ = identify_fopdt(t, t >= t[before], lags(t - t[before], 3, gain=2.0))
        gains.append(float(model.gain))
    assert gains == pytest.approx([gains[0]] * 3, rel=1e-9)
    assert gains[0] == pytest.approx(2.0, rel=0.01)


def _bank(kind, n, seed):
    rng = np.random.default_rng(seed)
    gain = rng.uniform(0.5, 3.0, n) * rng.choice([-1.0, 1.0], n)
    delay = rng.integers(2, 20, n) * 0.1
    if kind is FOPDT:
        return FOPDT(gain, rng.uniform(0.5, 6.0, n), delay)
    if kind is SOPDT:
        tau1 = rng.uniform(1.0, 5.0, n)
        return SOPDT(gain, tau1, tau1 * rng.uniform(0.2, 0.6, n), delay)
    return Integrating(gain / 5.0, delay)


def _dead_time(model):
    return model.delay + getattr(model, "tau2", 0.0)


def _lag(model):
    return getattr(model, "tau", getattr(model, "tau1", None))


@pytest.mark.parametrize(
    "kind, fit, lag_tolerance, dead_time_tolerance",
    [(FOPDT, identify_fopdt, 0.05, 0.2), (SOPDT, identify_sopdt, 0.2, 0.4), (Integrating, identify_integrating, None, 1.0)],
)
def test_each_model_is_recovered_and_chosen_by_fit(kind, fit, lag_tolerance, dead_time_tolerance):
    plant = _bank(kind, 40, 4)
    t, u, y = step_test(plant, 0.1, 500)
    model, error = fit(t, u[:, None], y)
    for name, value in plant.params().items():
        assert model.params()[name] == pytest.approx(value, rel=1e-9), name
    assert np.all(error < 1e-9)
    # Noise of 1 % of the output's change: the gain within 2 %, the (first)
    # lag within the tolerance, the delay with the second lag, which trade
    # against each other, within the tolerance in seconds.
    noisy = y + 0.01 * np.abs(y[-1]) * np.random.default_rng(5).standard_normal(y.shape)
    model, error = fit(t, u[:, None], noisy)
    assert model.gain == pytest.approx(plant.gain, rel=0.02)
    if lag_tolerance:
        assert _lag(model) == pytest.approx(_lag(plant), rel=lag_tolerance)
    assert _dead_time(model) == pytest.approx(_dead_time(plant), abs=dead_time_tolerance)
    assert error == pytest.approx(0.01, abs=0.002)
    assert type(identify(t, u[:, None], noisy)[0]) is kind


def _channels(bad_u, bad_y):
    """A step test of two channels whose second is `bad_u`, `bad_y`."""
    t = np.arange(200.0)
    good = lags(t - 20.0, 1, gain=2.0)
    return t, np.stack([t >= 20.0, bad_u(t)], axis=1), np.stack([good, bad_y(t)], axis=1)


@pytest.mark.parametrize(
    "fit, bad_u, bad_y, message",
    [
        (identify_fopdt, lambda t: t >= 20, lambda t: np.full(t.shape, 3.0), "y does not respond to u: it is constant"),
        (identify_fopdt, lambda t: t >= 20, lambda t: np.random.default_rng(1).standard_normal(t.shape),
         r"y does not respond to u: the fitted FOPDT changes by .*, less than 3 times the residual's RMS"),
        (identify_fopdt, lambda t: (t >= 20) & (t < 30), lambda t: lags(t - 20, 1) - lags(t - 30, 1),
         "u must be a step, not a pulse: it ends 0 from where it started, after moving 1"),
        (identify_fopdt, lambda t: t >= 199, lambda t: np.zeros(t.shape),
         "u steps at sample 199 of 200: a step test needs at least 4 samples from the step on"),
        (identify_fopdt, lambda t: t >= 20, lambda t: 0.5 * np.maximum(t - 25, 0.0),
         r"y has not settled: the fitted FOPDT reaches only 0 % of its change by the end of the record "
         r"\(an integrating process\? see identify_integrating\)"),
        (identify_sopdt, lambda t: t >= 20, lambda t: 0.5 * np.maximum(t - 25, 0.0), r"y has not settled: the fitted SOPDT"),
        (identify, lambda t: t >= 20, lambda t: np.random.default_rng(1).standard_normal(t.shape),
         r"no model fits every channel; fopdt: y does not respond .*; sopdt: .*; integrating: .*"),
    ],
)
def test_non_step_tests_are_refused_naming_the_channel(fit, bad_u, bad_y, message):
    with pytest.raises(ValueError, match=message) as info:
        fit(*_channels(bad_u, bad_y))
    assert "(index (1,))" in str(info.value)


def test_pandas_series_and_frames_with_a_time_index():
    pd = pytest.importorskip("pandas")
    plant = _bank(FOPDT, 3, 6)
    t, u, y = step_test(plant, 0.5, 200)
    expected, _ = identify_fopdt(t, u[:, None], y)
    # Across a change to summer time: the times count in UTC.
    times = pd.date_range("2024-03-31 01:59", periods=200, freq="500ms", tz="Europe/Berlin")
    frame = pd.DataFrame(y, index=times, columns=["a", "b", "c"])
    for args in ((None, pd.Series(u, index=times), frame), (pd.Series(times), u[:, None], frame.to_numpy())):
        model, _ = identify_fopdt(*args)
        for name, value in expected.params().items():
            assert model.params()[name] == pytest.approx(value, rel=1e-9), name
