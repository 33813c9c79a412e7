"""Literal transcriptions of the stated summation orders, in Python floats (IEEE
doubles, no fused multiply-add). The kernels must match them bit for bit."""

import math

EPS = 2.0**-52


def chol(S, jitter=0.0):
    """Row-by-row Cholesky with the scale-relative pivot test: (status, L as lists)."""
    n = len(S)
    L = [[0.0] * n for _ in range(n)]
    scale = 0.0
    for i in range(n):
        d = S[i][i] + jitter if jitter > 0 else S[i][i]
        if d > scale:
            scale = d
    tol = (float(n) * scale) * EPS
    for i in range(n):
        for j in range(i + 1):
            s = S[i][j] + jitter if (i == j and jitter > 0) else S[i][j]
            for k in range(j):
                s = s - L[i][k] * L[j][k]
            if i == j:
                if s <= tol:
                    return -1, L
                L[i][i] = math.sqrt(s)
            else:
                L[i][j] = s / L[j][j]
    return 0, L
