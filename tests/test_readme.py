"""The code of the README and of the documentation's pages runs as shown:
in every Python block, a line that is an expression followed by `  # text`
gives a value whose repr is that text (unless the value is None: then the
comment is a remark)."""
import ast
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
BLOCKS = [(page.relative_to(ROOT).as_posix(), block) for page in PAGES
          for block in re.findall(r"^```python\n(.*?)^```", page.read_text(), re.DOTALL | re.MULTILINE)]


def run(block, name="README.md"):
    """Runs the block statement by statement; returns how many results it compared."""
    namespace, checked, lines = {}, 0, block.splitlines()
    for node in ast.parse(block).body:
        if not isinstance(node, ast.Expr):
            exec(compile(ast.Module([node], []), name, "exec"), namespace)
            continue
        got = eval(compile(ast.Expression(node.value), name, "eval"), namespace)
        shown = lines[node.end_lineno - 1].partition("  # ")[2]
        if shown and got is not None:
            assert repr(got) == shown, lines[node.lineno - 1]
            checked += 1
    return checked


@pytest.mark.parametrize("name, block", BLOCKS,
                         ids=[f"{name}-block{i}" for i, (name, _) in enumerate(BLOCKS)])
def test_code_blocks_give_the_results_shown(name, block):
    if "import control" in block:
        pytest.importorskip("control")
    run(block, name)


@pytest.mark.parametrize("module, results", [("kovar.bank", 3), ("kovar.regulo", 2)])
def test_each_quick_start_shows_its_results(module, results):
    quick_start = re.search(r"^## Quick start\n(.*?)^## ", README.read_text(), re.DOTALL | re.MULTILINE).group(1)
    block = next(b for b in re.findall(r"^```python\n(.*?)^```", quick_start, re.DOTALL | re.MULTILINE)
                 if f"from {module} import" in b)
    assert run(block) == results


def test_simulation_and_tuning_example_runs():
    # The section's first example, in the README or in its page of the docs.
    text = "\n".join(page.read_text() for page in PAGES)
    block = re.search(r"^#+ Simulation and tuning\n.*?```python\n(.*?)```", text,
                      re.DOTALL | re.MULTILINE).group(1)
    namespace = {}
    exec(block, namespace)
    # The step tests are noise-free ZOH data of FOPDT models: fitted exactly.
    assert namespace["fit_error"].max() < 1e-9
    assert namespace["run"].iae.shape == (100,)
    assert set(namespace["margins"]) == {"stable", "ms", "gm", "gm_lower", "pm"}
