"""Native kernels: the foundation library (_common) and the regression solvers."""
