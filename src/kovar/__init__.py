"""kovar: banks of element-wise PID controllers on NumPy float64 arrays.

The controllers live in the native modules :mod:`kovar.regulo` and
:mod:`kovar.bank`. ``kovar.PIDBank`` is :class:`kovar.bank.PIDBank`,
imported on first use so that importing :mod:`kovar.regulo` alone never
loads :mod:`kovar.bank`. :mod:`kovar.sim` and :mod:`kovar.tune`, written in
Python, simulate banks against plant banks and tune them.
"""

from kovar._version import __version__

__all__ = ["PIDBank"]


def __getattr__(name):
    if name == "PIDBank":
        from kovar.bank import PIDBank

        return PIDBank
    raise AttributeError(f"module 'kovar' has no attribute '{name}'")


def __dir__():
    # The lazily imported names too, for completion and introspection.
    return sorted(set(globals()) | set(__all__))
