"""Pickling, copy and deepcopy of kovar.bank.PIDBank, and the golden pickles
that fix its stored format."""
import copy
import importlib.util
import json
import math
import pickle
from pathlib import Path

import numpy as np
import pytest

from kovar.bank import PIDBank

GOLDEN = Path(__file__).resolve().parent / "golden" / "bank"
# The writer of the golden pickles, loaded from its file under a name of its
# own (tests/golden/make_golden.py is another module).
_spec = importlib.util.spec_from_file_location("make_bank_golden", GOLDEN / "make_bank_golden.py")
writer = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(writer)
CASES, NEXT_CALLS, PROTOCOLS, record = writer.CASES, writer.NEXT_CALLS, writer.PROTOCOLS, writer.record
# The writer of the version-2 pickles, under its own name too.
_spec_v2 = importlib.util.spec_from_file_location("make_bank_golden_v2", GOLDEN / "make_bank_golden_v2.py")
writer_v2 = importlib.util.module_from_spec(_spec_v2)
_spec_v2.loader.exec_module(writer_v2)
_spec_v3 = importlib.util.spec_from_file_location("make_bank_golden_v3", GOLDEN / "make_bank_golden_v3.py")
writer_v3 = importlib.util.module_from_spec(_spec_v3)
_spec_v3.loader.exec_module(writer_v3)

ATTRS = ["kp", "ki", "kd", "b", "c", "tf", "u_min", "u_max", "i_min", "i_max", "deadband",
         "tt", "rate_limit", "anti_windup", "on_nan", "shape", "integral", "derivative", "output",
         "manual"]


def assert_same_bank(a, b):
    for name in ATTRS:
        x, y = getattr(a, name), getattr(b, name)
        assert type(x) is type(y), name
        if isinstance(x, np.ndarray):
            np.testing.assert_array_equal(x, y, err_msg=name)
        else:
            assert x == y or (x != x and y != y), name
    for call in NEXT_CALLS:
        np.testing.assert_array_equal(a.update(*call), b.update(*call))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", sorted(CASES))
def test_pickle_round_trip_keeps_everything(name, protocol):
    bank = CASES[name]()
    loaded = pickle.loads(pickle.dumps(bank, protocol))
    assert type(loaded) is PIDBank
    assert_same_bank(loaded, bank)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_independent(copier):
    bank = CASES["running"]()
    twin = copier(bank)
    assert_same_bank(twin, CASES["running"]())
    twin.update(5.0, 0.0, 0.1)
    twin.kp = 9.0
    assert_same_bank(bank, CASES["running"]())


@pytest.mark.filterwarnings("ignore:numpy.core:DeprecationWarning")  # NumPy 1.x wrote numpy.core
@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", sorted(CASES))
def test_golden_pickles_load(name, protocol):
    expected = json.loads((GOLDEN / "expected.json").read_text())[name]
    bank = pickle.loads((GOLDEN / f"{name}-p{protocol}.pickle").read_bytes())
    assert_same_bank(bank, CASES[name]())
    assert record(pickle.loads((GOLDEN / f"{name}-p{protocol}.pickle").read_bytes())) == expected


@pytest.mark.filterwarnings("ignore:numpy.core:DeprecationWarning")  # NumPy 1.x wrote numpy.core
@pytest.mark.parametrize("protocol", writer_v2.PROTOCOLS)
@pytest.mark.parametrize("name", sorted(writer_v2.CASES))
def test_version_2_golden_pickles_load(name, protocol):
    expected = json.loads((GOLDEN / "expected_v2.json").read_text())[name]
    data = (GOLDEN / f"v2-{name}-p{protocol}.pickle").read_bytes()
    # A version-2 bank moved its integral when kp or b changed ("tracked"),
    # one made today moves it at the next call: their next calls differ.
    if name != "tracked":
        assert_same_bank(pickle.loads(data), writer_v2.CASES[name]())
    assert pickle.loads(data).keep_terms  # every version-2 bank kept its terms
    assert writer_v2.record(pickle.loads(data)) == expected


@pytest.mark.filterwarnings("ignore:numpy.core:DeprecationWarning")  # NumPy 1.x wrote numpy.core
@pytest.mark.parametrize("protocol", writer_v3.PROTOCOLS)
@pytest.mark.parametrize("name", sorted(writer_v3.CASES))
def test_version_3_golden_pickles_load(name, protocol):
    """Pending changes of kp and b, and the terms kept or not, come back
    as they were: the next calls give the bits they gave when written."""
    expected = json.loads((GOLDEN / "expected_v3.json").read_text())[name]
    data = (GOLDEN / f"v3-{name}-p{protocol}.pickle").read_bytes()
    assert writer_v3.record(pickle.loads(data)) == expected
    assert writer_v3.record(pickle.loads(pickle.dumps(pickle.loads(data)))) == expected


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", sorted(writer_v2.CASES))
def test_round_trip_keeps_the_new_state(name, protocol):
    # Gap flags, held setpoint and measurement, terms, rate limit, on_nan:
    # what the next calls give shows each of them.
    loaded = pickle.loads(pickle.dumps(writer_v2.CASES[name](), protocol))
    assert writer_v2.record(loaded) == writer_v2.record(writer_v2.CASES[name]())


@pytest.mark.filterwarnings("ignore:numpy.core:DeprecationWarning")
def test_version_1_pickles_load_with_the_new_state_at_its_defaults():
    bank = pickle.loads((GOLDEN / "running-p2.pickle").read_bytes())
    assert bank.rate_limit == math.inf and bank.on_nan == "nan" and not bank.keep_terms
    state = bank.__reduce__()[2]
    assert state["version"] == 4 and not state["gap"].any() and not state["pending"].any()
    assert "r_last" not in state


def test_state_carries_its_version():
    _, args, state = CASES["fresh"]().__reduce__()
    assert args == (PIDBank,) and state["version"] == 4 and state["relay"] is None


def test_version_3_states_load_as_banks_without_a_relay():
    # Version 4 is version 3 and the relay's fields.
    bank = CASES["running"]()
    state = dict(bank.__reduce__()[2], version=3)
    del state["relay"]
    loaded = PIDBank.__new__(PIDBank)
    loaded.__setstate__(state)
    assert_same_bank(loaded, bank)


def state_with(**changes):
    state = dict(CASES["grid"]().__reduce__()[2])
    for key, value in changes.items():
        if value is None:
            del state[key]
        else:
            state[key] = value
    return state


@pytest.mark.parametrize("state, error, message", [
    ([], TypeError, "PIDBank state must be a dict, not list"),
    (state_with(version=5), ValueError, "unsupported PIDBank state version 5"),
    (state_with(relay=None), ValueError, "PIDBank state lacks 'relay'"),
    (state_with(relay=[]), TypeError, "PIDBank state 'relay' must be None or a dict, not list"),
    (state_with(keep_terms=1), TypeError, "PIDBank state 'keep_terms' must be a bool, not int"),
    (state_with(pending=None), ValueError, "PIDBank state lacks 'pending'"),
    (state_with(version=0), ValueError, "unsupported PIDBank state version 0"),
    (state_with(version=True), ValueError, "unsupported PIDBank state version True"),
    (state_with(on_nan="zero"), ValueError, "on_nan must be 'nan' or 'hold', not 'zero'"),
    (state_with(rate_limit=-1.0), ValueError, "rate_limit must be non-negative, not -1.0"),
    (state_with(gap=None), ValueError, "PIDBank state lacks 'gap'"),
    (state_with(term_ff=np.zeros(3)), ValueError,
     "PIDBank state 'term_ff' has shape (3,), expected (2, 2)"),
    (state_with(version="1"), ValueError, "unsupported PIDBank state version '1'"),
    (state_with(version=True), ValueError, "unsupported PIDBank state version True"),
    (state_with(version=1.0), ValueError, "unsupported PIDBank state version 1.0"),
    (state_with(version=2**64 + 1), ValueError, "unsupported PIDBank state version 18446744073709551617"),
    (state_with(version=None), ValueError, "PIDBank state lacks 'version'"),
    (state_with(integral=None), ValueError, "PIDBank state lacks 'integral'"),
    (state_with(integral=np.zeros(4)), ValueError,
     "PIDBank state 'integral' has shape (4,), expected (2, 2)"),
    (state_with(manual=np.zeros((2, 2))), TypeError, "PIDBank state 'manual' is not an array of booleans"),
    (state_with(output="x"), TypeError, "PIDBank state 'output' is not an array of real numbers"),
    (state_with(kp=math.inf), ValueError, "kp must be finite, not inf"),
    (state_with(kp=2**2000), ValueError, "kp is an int too large to convert to float"),
    (state_with(shape=[2, 2.0]), TypeError, "shape must be an integer or a sequence of integers, not float"),
    (state_with(u_min=5.0), ValueError, "u_min must not exceed u_max, but 5.0 > 3.0"),
    (state_with(anti_windup="x"), ValueError,
     "anti_windup must be 'back_calculation', 'conditional' or 'none', not 'x'"),
    (state_with(shape=(3,)), ValueError,
     "ki has shape (2, 2), which does not broadcast to the bank's shape (3,)"),
    (state_with(integral=[[0.0, 2**2000], [0.0, 0.0]]), ValueError,
     "PIDBank state 'integral' holds an int too large to convert to float"),
    (state_with(manual=[[False, True], [False, False]], manual_value=[[0.0, math.nan], [0.0, 0.0]]),
     ValueError, "PIDBank state 'manual_value' must be finite on manual channels, not nan (index (0, 1))"),
    (state_with(manual=[[False, False], [False, True]], manual_value=[[math.nan, 0.0], [0.0, -math.inf]]),
     ValueError, "PIDBank state 'manual_value' must be finite on manual channels, not -inf (index (1, 1))"),
])
def test_bad_state_is_refused_and_changes_nothing(state, error, message):
    bank = CASES["grid"]()
    with pytest.raises(error) as info:
        bank.__setstate__(state)
    assert str(info.value) == message
    assert_same_bank(bank, CASES["grid"]())


def test_state_of_another_shape_is_refused_by_a_configured_bank():
    bank = CASES["fresh"]()
    with pytest.raises(ValueError, match=r"the bank has shape \(3,\) and keeps it; got shape \(2, 2\)"):
        bank.__setstate__(state_with())
