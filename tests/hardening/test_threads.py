"""Eight threads calling every function at once, each on its own arrays, get
exactly the results of the same calls made one after another."""

import threading
import time

import numpy as np

from hardening.calls import NAMES, call, same_result, sound_args

THREADS = 8
SECONDS = 3.0


def test_threads_reproduce_serial_results(rng):
    # Sizes large enough that kernels overlap while the lock is released.
    work = [[(name, sound_args(name, rng, n=120, k=24)) for name in NAMES] for _ in range(THREADS)]
    expected = [[call(name, args) for name, args in calls] for calls in work]
    inputs = [[[np.copy(a) for a in args if isinstance(a, np.ndarray)] for _, args in calls]
              for calls in work]  # fmt: skip

    start = threading.Barrier(THREADS)
    deadline = [0.0]
    rounds, failures = [0] * THREADS, []

    def worker(t):
        start.wait()
        try:
            while time.monotonic() < deadline[0]:
                for (name, args), want in zip(work[t], expected[t]):
                    got = call(name, args)
                    if not same_result(got, want):
                        failures.append((t, name))
                rounds[t] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append((t, repr(e)))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    deadline[0] = time.monotonic() + SECONDS
    for th in threads:
        th.start()
    for th in threads:
        th.join()

    assert not failures, failures[:5]
    assert min(rounds) >= 1
    for calls, before in zip(work, inputs):  # inputs are read, never written
        for (_, args), copies in zip(calls, before):
            arrays = [a for a in args if isinstance(a, np.ndarray)]
            assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(arrays, copies))
