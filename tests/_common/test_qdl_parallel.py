"""Kernels that share their work among OpenMP threads: the same bytes at every thread
count, the runtime's usual controls, and processes forked after a threaded call."""

import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from threadpoolctl import threadpool_info, threadpool_limits

import Quandrel._ckernels.regression._regression as module
from native import P, fn

THREADS = [1, 2, 3, 4, 7]


def real(rng, *shape):
    return rng.standard_normal(shape)


def cplx(rng, *shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def gram(rng, n=2500, p=83):
    X = real(rng, n, p)
    G = np.empty((p, p))
    return lambda: (fn("qdl_gram")(P(X), P(G), n, p), G)[1:]


def gram_narrow(rng):  # two groups of G's rows, so pieces often wait for the one before
    return gram(rng, n=40_001, p=13)


def gram_rhs(rng, n=20000, p=101):
    X, y, g = real(rng, n, p), real(rng, n), np.empty(p)
    return lambda: (fn("qdl_gram_rhs")(P(X), P(y), P(g), n, p), g)[1:]


def ols(rng, n=4000, p=60):  # the Gram and right-hand side of the regression kernels
    X, y = real(rng, n, p), real(rng, n)
    return lambda: module.ols_chol_solve(X, y)[:2]


def product(name, n, p, m):
    shapes = {"qdl_matmul": ((n, p), (p, m)), "qdl_matmul_atb": ((n, p), (n, m)),
              "qdl_matmul_abt": ((n, p), (m, p))}[name]  # fmt: skip

    def case(rng):
        A, B = real(rng, *shapes[0]), real(rng, *shapes[1])
        out = np.empty((p, m) if name == "qdl_matmul_atb" else (n, m))
        return lambda: (fn(name)(P(A), P(B), P(out), n, p, m), out)[1:]

    return case


def abt_plus_c(rng, n=160, p=211, m=233):
    A, B, C, out = real(rng, n, p), real(rng, m, p), real(rng, n, m), np.empty((n, m))
    return lambda: (fn("qdl_matmul_abt_plus_c")(P(A), P(B), P(C), P(out), n, p, m), out)[1:]


def matvec(rng, n=3001, m=700):
    A, x, b, out, out_b = real(rng, n, m), real(rng, m), real(rng, n), np.empty(n), np.empty(n)

    def call():
        fn("qdl_matvec")(P(A), P(x), P(out), n, m)
        fn("qdl_matvec_plus_vec")(P(A), P(x), P(b), P(out_b), n, m)
        return out, out_b

    return call


def c128_matmul(rng, m=131, n=127, p=123):
    A, B, out = cplx(rng, m, n), cplx(rng, n, p), np.empty((m, p), complex)
    return lambda: (fn("c128_matmul")(P(A), P(B), m, n, p, P(out)), out)[1:]


def lu_factor(name, dtype, n):
    def case(rng):
        A0 = cplx(rng, n, n) if dtype is complex else real(rng, n, n)
        A, piv = np.empty_like(A0), np.empty(n, np.int64)

        def call():
            A[...] = A0
            status = fn(name)(P(A), P(piv), n)
            return A, piv, np.array([status])

        return call

    return case


def solve_and_inv(prefix, dtype, n, m):
    def case(rng):
        draw = cplx if dtype is complex else real
        A, B = draw(rng, n, n), draw(rng, n, m)
        X, Ainv = np.empty((n, m), dtype), np.empty((n, n), dtype)

        def call():
            s1 = fn(f"{prefix}_solve")(P(A), P(B), n, m, P(X))
            s2 = fn(f"{prefix}_inv")(P(A), n, P(Ainv))
            return X, Ainv, np.array([s1, s2])

        return call

    return case


def lars(rng, k=540):
    # The whole path: its active blocks grow to k, and from 521 on the delayed updates
    # of the elimination's first panel (16 n (n - 16) multiply-adds) are shared.
    X, y = real(rng, 2 * k, k), real(rng, 2 * k)
    G, c = X.T @ X, X.T @ y
    return lambda: module.lars_lasso_gram(G, c, 2 * k, 1e-10)


def ndtri(rng, n=100_003):
    p = rng.random(n)
    p[::97] = rng.random(p[::97].size) * 1e-12  # far tail
    p[::101] = np.nan
    out = np.empty(n)
    return lambda: (fn("qdl_ndtri_as241_into")(P(p), n, P(out)), out)[1:]


def ridge_grid(rng, flat, n=1000, p=40, num=40):
    """Every output and scratch buffer of the grid search, on a grid that mixes failed
    penalties (+inf), NaN objectives (a NaN penalty) and repeated penalties, so that
    runs of the grid begin on each kind. A flat X (zeros, no intercept) gives every
    penalty that factors the same objective: ties between distinct penalties."""
    X, y = real(rng, n, p) * (not flat), real(rng, n)
    X[:, 0] = 0.0 if flat else 1.0
    pool = np.r_[-1e3, np.nan, 10.0 ** rng.uniform(-3, 1, 3)]
    alphas = rng.choice(pool, num, p=rng.dirichlet(np.ones(5)))
    crit = int(rng.integers(1, 4))
    bufs = [np.zeros(k) for k in (1, p, 1, 1, p * p, p * p, p, p * p, p, p)]

    def call():
        for b in bufs:
            b.fill(-7.0)
        fn("qdl_ridge_grid_search")(P(X), P(y), n, p, P(alphas), num, crit, int(not flat),
                                    *map(P, bufs))  # fmt: skip
        return bufs

    return call


def chol_solve_L2(rng, n=400, p=230):  # the degrees of freedom's column solves
    X, y = real(rng, n, p), real(rng, n)
    return lambda: module.chol_solve_L2(X, y, 0.3, True)


def en_active_dof(rng, k=260):
    X = real(rng, 2 * k, k)
    G, beta = X.T @ X, real(rng, k)
    beta[::9] = 0.0  # inactive
    return lambda: [np.array([module.elastic_net_active_dof(G, beta, 0.4, True, 0.0)])]


# Each case sized above its kernel's threshold for seven threads.
CASES = {
    "gram": gram,
    "gram_narrow": gram_narrow,
    "gram_rhs": gram_rhs,
    "ols_gram_and_rhs": ols,
    "matmul_rows": product("qdl_matmul", 160, 233, 211),
    "matmul_cols": product("qdl_matmul", 40, 300, 700),
    "matmul_atb": product("qdl_matmul_atb", 300, 150, 211),
    "matmul_abt": product("qdl_matmul_abt", 160, 211, 233),
    "matmul_abt_plus_c": abt_plus_c,
    "matvec": matvec,
    "c128_matmul": c128_matmul,
    "lu_factor": lu_factor("qdl_lu_factor_inplace", float, 700),
    "c128_lu_factor": lu_factor("c128_lu_factor_inplace", complex, 500),
    "solve_inv": solve_and_inv("qdl", float, 170, 150),
    "c128_solve_inv": solve_and_inv("c128", complex, 140, 120),
    "lars": lars,
    "ndtri": ndtri,
    "chol_solve_L2": chol_solve_L2,
    "en_active_dof": en_active_dof,
    **{f"ridge_grid_{seed}": (lambda rng, seed=seed: ridge_grid(np.random.default_rng(seed),
                                                                 flat=seed % 4 == 3))
       for seed in range(24)},
}


@pytest.mark.parametrize("name", CASES)
def test_same_bytes_at_every_thread_count(name, rng):
    call = CASES[name](rng)
    results = {}
    for threads in THREADS:
        with threadpool_limits(threads, user_api="openmp"):
            results[threads] = [np.copy(a).tobytes() for a in call()]
    assert all(results[t] == results[1] for t in THREADS), name


# Cases run under contention: a thread beside them keeps calling a numpy product on two
# OpenBLAS threads, whose workers spin between calls, so the team's threads run at
# uneven speeds and take the pieces of the work in varying order and numbers.
CONTENDED = ["gram", "gram_narrow", "ols_gram_and_rhs", "gram_rhs", "matmul_rows", "matmul_cols",
             "matvec", "lu_factor", "solve_inv", "ndtri", "chol_solve_L2", "ridge_grid_0"]


@pytest.mark.parametrize("name", CONTENDED)
def test_same_bytes_beside_a_busy_blas(name, rng):
    call = CASES[name](rng)
    with threadpool_limits(1, user_api="openmp"):
        want = [np.copy(a).tobytes() for a in call()]
    A = real(rng, 300, 300)
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            A @ A

    with threadpool_limits(2, user_api="blas"):
        neighbour = threading.Thread(target=busy)
        neighbour.start()
        try:
            for threads in [2, 3, 2, 7]:
                with threadpool_limits(threads, user_api="openmp"):
                    got = [np.copy(a).tobytes() for a in call()]
                assert got == want, (name, threads)
        finally:
            stop.set()
            neighbour.join()


def gomp_threads():
    """Thread limits of the GCC OpenMP runtimes in the process (ours among them)."""
    pools = [p for p in threadpool_info() if p["user_api"] == "openmp"]
    return [p["num_threads"] for p in pools if "libgomp" in p["filepath"]]


def test_threadpoolctl_sees_and_limits_the_runtime():
    before = gomp_threads()
    assert before
    with threadpool_limits(3, user_api="openmp"):
        assert gomp_threads() == [3] * len(before)
    assert gomp_threads() == before


def run_script(tmp_path, source, env=None, timeout=120):
    """Runs `source` in a fresh interpreter (a hang ends at the timeout, not the suite)."""
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    tests = pathlib.Path(__file__).resolve().parents[1]
    full_env = dict(os.environ, PYTHONPATH=str(tests), **(env or {}))
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=timeout, env=full_env, cwd=tmp_path)  # fmt: skip
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def test_team_size_follows_omp_num_threads_and_small_calls_start_none(tmp_path):
    # Threads of the process before and after calls: small OLS and ridge calls start no
    # team, a large Gram starts OMP_NUM_THREADS - 1 helpers (the calling thread is the
    # first).
    out = run_script(tmp_path, """
        import os
        import numpy as np
        from threadpoolctl import threadpool_info
        from Quandrel._ckernels.regression._regression import (
            chol_solve_L2, elastic_net_active_dof, ols_chol_solve, ridge_grid_search)
        from native import P, fn

        def threads():
            return len(os.listdir("/proc/self/task"))

        (pool,) = [p for p in threadpool_info() if p["user_api"] == "openmp"]
        rng = np.random.default_rng(0)
        X, y = rng.standard_normal((100, 5)), rng.standard_normal(100)
        before = threads()
        G, alphas = X.T @ X, np.logspace(-3, 1, 20)
        for _ in range(100):
            ols_chol_solve(X, y)
            chol_solve_L2(X, y, 0.1, True)
            ridge_grid_search(X, y, alphas, 1, True)
            elastic_net_active_dof(G, np.ones(5), 0.1, True, 0.0)
        small = threads() - before
        X, G = rng.standard_normal((3000, 100)), np.empty((100, 100))
        fn("qdl_gram")(P(X), P(G), 3000, 100)
        print(pool["num_threads"], small, threads() - before)
    """, env={"OMP_NUM_THREADS": "3", "OPENBLAS_NUM_THREADS": "1"})
    assert out.split() == ["3", "0", "2"]


def test_kernels_work_in_forked_children_and_worker_processes(tmp_path):
    run_script(tmp_path, """
        import multiprocessing
        import os
        import warnings

        import numpy as np
        from Quandrel._ckernels.regression._regression import ols_chol_solve

        def fit(seed):
            rng = np.random.default_rng(seed)
            X, y = rng.standard_normal((3000, 80)), rng.standard_normal(3000)
            small = ols_chol_solve(X[:100, :5].copy(), y[:100].copy())[0]
            return ols_chol_solve(X, y)[0].tobytes() + small.tobytes()

        if __name__ == "__main__":
            want = [fit(s) for s in range(3)]  # threaded calls: the parent now has a team
            # Python warns that forking a process with threads may deadlock the child;
            # the runtime's threads are what this test is about, so the warning is
            # expected (when they have not yet exited) and not an error here.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
            if pid == 0:
                os._exit(0 if [fit(s) for s in range(3)] == want else 3)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
            assert fit(0) == want[0]  # the parent makes a new team
            for method in (None, "fork"):  # None: the default start method
                with multiprocessing.get_context(method).Pool(2) as pool:
                    assert pool.map(fit, range(3)) == want, method
    """)
