"""Builds and runs the native table test of the buffer-format reader."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [
    ROOT / "tests" / "native" / "test_buffer_format.cpp",
    ROOT / "src" / "kovar" / "regulo" / "binding" / "buffer_format.cpp",
]
CXX = ["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror"]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-g"]

# Three g++ builds of the reader.
pytestmark = pytest.mark.slow


def _sanitizers_work(tmp_path: Path) -> bool:
    # Runtimes may be missing, or the sandbox may forbid what ASan needs.
    probe = tmp_path / "probe.cpp"
    probe.write_text("int main() { return 0; }\n")
    exe = tmp_path / "probe"
    built = subprocess.run([*CXX, *SANITIZE, str(probe), "-o", str(exe)], capture_output=True)
    return built.returncode == 0 and subprocess.run([str(exe)], capture_output=True).returncode == 0


@pytest.mark.parametrize("flags", [[], ["-O2"], SANITIZE], ids=["plain", "optimised", "sanitized"])
def test_native_table(tmp_path: Path, flags: list) -> None:
    if shutil.which("g++") is None:
        pytest.skip("g++ is not on PATH")
    if flags is SANITIZE and not _sanitizers_work(tmp_path):
        pytest.skip("address/undefined sanitizers unavailable")
    exe = tmp_path / "test_buffer_format"
    built = subprocess.run([*CXX, *flags, *map(str, SOURCES), "-o", str(exe)], capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    ran = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert " 0 failed" in ran.stdout, ran.stdout
