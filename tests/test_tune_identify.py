"""identify_fopdt on step tests of kovar.sim's own ZOH plants."""
import numpy as np
import pytest

from kovar.sim import FOPDT
from kovar.sim.stepping import PlantState
from kovar.tune import identify_fopdt


def step_test(plant, dt, steps, at=10, size=1.0):
    """The plant's output for a step of `size` at sample `at`, from rest."""
    state = PlantState(plant.discretize(dt).broadcast(plant.shape))
    u = np.where(np.arange(steps) >= at, size, 0.0)
    y = np.empty((steps, *plant.shape))
    for k in range(steps):
        y[k] = state.output()
        state.advance(np.full(plant.shape, u[k]))
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
