"""The examples in the docstrings of kovar.sim and kovar.tune run and print
what they show (the API reference renders them, the docs build does not
run them)."""

import doctest
import importlib.util
import inspect

import pytest

import kovar.sim
import kovar.tune


def _documented():
    """(name, object) of every public function, class and method of the two
    modules, once each."""
    found = {}
    for module in (kovar.sim, kovar.tune):
        for name in module.__all__:
            obj = getattr(module, name)
            found[f"{module.__name__}.{name}"] = obj
            if inspect.isclass(obj):
                for attr, member in vars(obj).items():
                    if not attr.startswith("_") or attr == "__init__":
                        member = getattr(member, "__func__", getattr(member, "fget", member))
                        found[f"{module.__name__}.{name}.{attr}"] = member
    return found


_EXAMPLES = {name: obj for name, obj in _documented().items()
             if doctest.DocTestFinder(recurse=False).find(obj, name)
             and doctest.DocTestFinder(recurse=False).find(obj, name)[0].examples}


def test_the_public_names_have_examples():
    # Every public function and class shows its use; a docstring that loses
    # its examples would drop out of the differential run below silently.
    for module in (kovar.sim, kovar.tune):
        missing = [name for name in module.__all__ if f"{module.__name__}.{name}" not in _EXAMPLES]
        assert missing == [], f"{module.__name__}: no examples for {missing}"


@pytest.mark.parametrize("name", sorted(_EXAMPLES))
def test_docstring_examples(name):
    (test,) = doctest.DocTestFinder(recurse=False).find(_EXAMPLES[name], name, globs={})
    if any("import control" in e.source for e in test.examples) and importlib.util.find_spec("control") is None:
        pytest.skip("the example needs python-control")
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} of {len(test.examples)} examples of {name} failed (see above)"
