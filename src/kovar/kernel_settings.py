"""Settings of the native kernels of kovar's compiled modules.

A process has one kernel core (the private module ``kovar._core``), which
kovar.regulo and kovar.bank share, chosen when it is first imported:

- the SIMD path: ``"avx512"`` where the CPU has AVX-512F, else ``"avx2"``
  where it has AVX2, else ``"sse2"``. The environment variable
  ``KOVAR_SIMD=avx2``, ``sse2`` or ``scalar`` forces a lower path (every path
  gives the same bits; a higher one than the CPU has is never taken);
- the threads a call of a few microseconds' work or more (thousands of
  channels) may spread over: ``KOVAR_THREADS`` if set, else the CPUs the
  process may use, at most 8. One thread means none: the call stays on the
  caller's thread. Every module's large calls share one set of threads.

A value of either variable that cannot be read gives a ``RuntimeWarning``
naming it at import, and the default is used.

The functions take the name of a module, as they did when each module had
settings of its own; every module now reads and sets the same ones.
"""

import operator

from kovar import _core

__all__ = ["simd_path", "threads", "set_threads"]

MODULES = ("regulo", "bank")
_MAX_THREADS = 64


def _check(module: str) -> None:
    if module not in MODULES:
        raise ValueError(f"kovar.{module} has no kernel settings; choose from {MODULES}")


def simd_path(module: str = "regulo") -> str:
    """The SIMD path the kernels run on: "avx512", "avx2", "sse2" or "scalar"."""
    _check(module)
    return _core.simd_path()


def threads(module: str = "regulo") -> int:
    """The threads a large call may use, the caller's included."""
    _check(module)
    return _core.threads()


def set_threads(count: int, module: str = "regulo") -> int:
    """Sets the threads of large calls, of every module (1 to 64; 1 means
    none), and returns the value taken."""
    _check(module)
    count = max(1, min(operator.index(count), _MAX_THREADS))
    return _core.set_threads(count)
