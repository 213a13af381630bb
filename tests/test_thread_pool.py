"""Builds and runs the native stress test of the kernel threads, plain and under ThreadSanitizer."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "tests" / "native" / "test_thread_pool.cpp", ROOT / "src" / "kovar" / "kernels" / "thread_pool.cpp"]
CXX = ["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-pthread", "-ffp-contract=off", f"-I{ROOT / 'src'}"]
TSAN = ["-fsanitize=thread", "-O1", "-g"]


def _tsan_works(tmp_path: Path) -> bool:
    probe = tmp_path / "probe.cpp"
    probe.write_text("#include <thread>\nint main() { std::thread([] {}).join(); return 0; }\n")
    exe = tmp_path / "probe"
    built = subprocess.run([*CXX, *TSAN, str(probe), "-o", str(exe)], capture_output=True)
    return built.returncode == 0 and subprocess.run([str(exe)], capture_output=True).returncode == 0


@pytest.mark.slow
@pytest.mark.parametrize("flags", [["-O2"], TSAN], ids=["optimised", "thread_sanitizer"])
def test_ranges_cover_every_item_once_under_the_callers_fp_mode(tmp_path: Path, flags: list) -> None:
    if shutil.which("g++") is None:
        pytest.skip("g++ is not on PATH")
    if flags is TSAN and not _tsan_works(tmp_path):
        pytest.skip("ThreadSanitizer unavailable")
    exe = tmp_path / "test_thread_pool"
    built = subprocess.run([*CXX, *flags, *map(str, SOURCES), "-o", str(exe)], capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    ran = subprocess.run([str(exe)], capture_output=True, text=True, timeout=600)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert " 0 failed" in ran.stdout and "WARNING" not in ran.stderr, ran.stdout + ran.stderr
