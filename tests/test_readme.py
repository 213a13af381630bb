"""The README's quick start runs as shown: every `# result` comment is what
the line before it evaluates to."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_quick_start_gives_the_results_shown():
    text = README.read_text()
    block = re.search(r"## Quick start\n\n```python\n(.*?)```", text, re.DOTALL).group(1)
    namespace, checked = {}, 0
    for line in block.splitlines():
        code, _, shown = line.partition("  # ")
        if shown:
            got = eval(code, namespace)
            assert repr(got) == shown, code
            checked += 1
        else:
            exec(code, namespace)
    assert checked == 2  # both results of the block were compared


def test_simulation_and_tuning_example_runs():
    text = README.read_text()
    block = re.search(r"## Simulation and tuning\n.*?```python\n(.*?)```", text, re.DOTALL).group(1)
    namespace = {}
    exec(block, namespace)
    # The step tests are noise-free ZOH data of FOPDT models: fitted exactly.
    assert namespace["fit_error"].max() < 1e-9
    assert namespace["run"].iae.shape == (100,)
    assert set(namespace["margins"]) == {"ms", "gm", "pm"}
