"""kovar: banks of element-wise PID controllers on NumPy float64 arrays.

The controllers live in the native module :mod:`kovar.regulo`.
"""
