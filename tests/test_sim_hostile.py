"""simulate and the plant banks on arbitrary arguments: a result or a
ValueError/TypeError, nothing else."""
import numpy as np
from hypothesis import given, settings, strategies as st
from hypothesis.extra.numpy import array_shapes, arrays

from kovar.bank import PIDBank
from kovar.sim import FOPDT, Integrating, SOPDT, simulate

values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-3, 3),
    arrays(np.float64, array_shapes(max_dims=2, max_side=3), elements=st.floats(-5, 5)),
    st.sampled_from(["1", None, 1j, [1.0, "a"], np.array([True]), np.zeros(2, dtype="M8[s]")]),
)


@settings(max_examples=150, deadline=None)
@given(kind=st.sampled_from([FOPDT, SOPDT, Integrating]), args=st.lists(values, min_size=4, max_size=4),
       dt=values, steps=st.one_of(st.integers(-1, 4), st.floats(0, 3)), setpoint=values, load=values,
       noise=values)
def test_arbitrary_arguments_give_a_result_or_a_clear_refusal(kind, args, dt, steps, setpoint, load, noise):
    count = {FOPDT: 3, SOPDT: 4, Integrating: 2}[kind]
    try:
        plant = kind(*args[:count])
        result = simulate(PIDBank((3,), kp=1.0, ki=0.5), plant, dt=dt, steps=steps, setpoint=setpoint,
                          load=load, noise=noise, seed=0)
    except (ValueError, TypeError):
        return
    assert result.iae.shape == (3,) and result.y.shape[0] == result.t.shape[0]
