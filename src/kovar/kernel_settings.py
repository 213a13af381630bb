"""Settings of the native kernels in kovar's compiled modules.

Each module chooses, when it is imported:

- its SIMD path: ``"avx2"`` where the CPU has AVX2, else ``"sse2"``. The
  environment variable ``KOVAR_SIMD=sse2`` or ``KOVAR_SIMD=scalar`` forces a
  lower path (every path gives the same bits);
- the threads a call of a few microseconds' work or more (thousands of
  channels) may spread over: ``KOVAR_THREADS`` if set, else the CPUs the
  process may use, at most 8. One thread means none: the call stays on the
  caller's thread.

The modules' own namespaces are fixed, so the settings are reached here,
through plain C functions each module exports.
"""

import ctypes
import functools
import importlib
import operator

__all__ = ["simd_path", "threads", "set_threads"]

MODULES = ("regulo", "bank")
_MAX_THREADS = 64


@functools.lru_cache(maxsize=None)
def _library(module: str) -> ctypes.CDLL:
    if module not in MODULES:
        raise ValueError(f"kovar.{module} has no kernel settings; choose from {MODULES}")
    library = ctypes.CDLL(importlib.import_module(f"kovar.{module}").__file__)
    library.kovar_simd_path.restype = ctypes.c_char_p
    library.kovar_simd_path.argtypes = []
    library.kovar_kernel_threads.restype = ctypes.c_int
    library.kovar_kernel_threads.argtypes = []
    library.kovar_set_kernel_threads.restype = ctypes.c_int
    library.kovar_set_kernel_threads.argtypes = [ctypes.c_int]
    return library


def simd_path(module: str = "regulo") -> str:
    """The SIMD path the module's kernels run on: "avx2", "sse2" or "scalar"."""
    return _library(module).kovar_simd_path().decode("ascii")


def threads(module: str = "regulo") -> int:
    """The threads a large call of the module may use, the caller's included."""
    return _library(module).kovar_kernel_threads()


def set_threads(count: int, module: str = "regulo") -> int:
    """Sets the threads of the module's large calls (1 to 64; 1 means none)
    and returns the value taken."""
    count = max(1, min(operator.index(count), _MAX_THREADS))
    return _library(module).kovar_set_kernel_threads(count)
