"""The type stubs: stubtest against the installed extension modules, and
mypy --strict on user code. Runs where mypy is installed (the Makefile puts
it into one environment of the test matrix)."""
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

# mypy's runs take a while.
pytestmark = pytest.mark.slow

HERE = pathlib.Path(__file__).parent / "typing"
# Every extension module of the package with its stub.
STUB_MODULES = ["kovar._core", "kovar.regulo", "kovar.bank", "kovar.sim", "kovar.tune"]
OPTIONAL_IMPORTS = ["matplotlib", "matplotlib.*", "distributed", "distributed.*", "dask", "dask.*",
                    "tqdm", "tqdm.*", "scipy", "scipy.*", "control", "control.*"]


def mypy(tmp_path, *args):
    """Runs `python -m <args>` with its cache under tmp_path; returns the exit code and the output."""
    config = tmp_path / "mypy.ini"
    # The optional extras kovar.sim and kovar.tune import where they are used
    # may be missing from the environment.
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n"
                      f"[mypy-{','.join(OPTIONAL_IMPORTS)}]\nignore_missing_imports = True\n")
    proc = subprocess.run([sys.executable, "-m", *args, "--mypy-config-file" if "stubtest" in args[0] else
                           "--config-file", str(config)], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


def test_stubs_match_the_modules(tmp_path):
    # One run over every module: the allowlist is shared, and a run that
    # leaves an entry unused fails.
    code, out = mypy(tmp_path, "mypy.stubtest", "--allowlist", str(HERE / "stubtest-allowlist.txt"),
                     *STUB_MODULES)
    assert code == 0, out


def test_strict_mypy_catches_exactly_the_wrong_lines(tmp_path):
    source = (HERE / "user_code.py").read_text()
    wrong = [i for i, line in enumerate(source.splitlines(), 1) if "# WRONG" in line]
    code, out = mypy(tmp_path, "mypy", "--strict", "--no-error-summary", str(HERE / "user_code.py"))
    errors = re.findall(r"^\S*user_code\.py:(\d+): error: (.*)$", out, re.MULTILINE)
    assert code == 1, out
    assert sorted({int(line) for line, _ in errors}) == wrong, out
    assert re.fullmatch(r'Argument 1 to "compute_control" of "PIDController" has incompatible type '
                        r'"list\[float\]"; expected "ndarray\[.*floating\[Any\].*\] \| None"  \[arg-type\]',
                        errors[0][1]), out
