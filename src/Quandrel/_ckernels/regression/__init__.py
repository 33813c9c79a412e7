"""Least-squares solvers; the functions live in the native module ``_regression``."""
