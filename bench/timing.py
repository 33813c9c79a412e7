"""Timing helpers shared by the benchmarks: alternate runs, medians, ratios, thread counts."""

import statistics
import time


def blas_info():
    """A one-line description of the BLAS numpy runs on, with its thread count."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:  # pragma: no cover - threadpoolctl ships with scikit-learn
        return "unknown BLAS"
    pools = [p for p in threadpool_info() if p.get("user_api") == "blas"]
    return ", ".join(
        f"{p['internal_api']} {p.get('version')} ({p['num_threads']} thread"
        f"{'' if p['num_threads'] == 1 else 's'}, {p.get('architecture', 'unknown')} kernels)"
        f" {p['filepath']}"
        for p in pools
    )


# Every figure is measured at each of these thread counts, ours (the OpenMP runtime)
# and the baselines' (OpenBLAS) alike.
THREADS = (1, 2)


def by_threads(label, ours, *baselines, **kw):
    """Table rows (label and thread count, times) of compare() at each of THREADS, with
    the OpenMP runtime and BLAS both limited to that many threads."""
    from threadpoolctl import threadpool_limits

    rows = []
    for threads in THREADS:
        with threadpool_limits(limits=threads):
            rows.append((f"{label} x{threads}", compare(ours, *baselines, settle=SETTLE, **kw)))
    return rows


# Seconds of untimed calls before each sample. On several threads, both runtimes keep
# their idle workers spinning after a call (OpenBLAS for about 2^28 cycles, libgomp for
# a few hundred microseconds), and on a machine with as many cores as threads a side's
# first call after the other's would share its cores with those spinning workers: in
# that time the other side's workers go to sleep, while the measured side keeps its own
# team and every core busy, as in a loop of calls. A pause would not do: on a virtual
# machine, cores left idle run the next calls slowly for milliseconds (a 2-thread
# chol_solve_L2 at (10000, 100): 5.4 ms after a 150 ms sleep and one untimed call, 1.6
# ms after a busy wait of the calling thread; qdl_ndtri_as241_into on 2e6 points: 6.4
# ms after a busy wait, 5.4 ms in a loop of calls). On one thread the same warm start
# keeps the two thread counts comparable: without it a one-thread sample follows the
# other side's call and found its caches cold (a 53-knot LARS path: 304 us then,
# 222 us after its own calls).


def _once(fn, inner):
    t0 = time.perf_counter()
    for _ in range(inner):
        fn()
    return (time.perf_counter() - t0) / inner


def _inner_count(fn, target=2e-3):
    """How many calls make one timed sample of about `target` seconds."""
    n = 1
    while True:
        if _once(fn, n) * n >= target or n >= 1 << 20:
            return n
        n *= 2


SETTLE = 0.15


def _warm(fn, seconds):
    """Untimed calls of fn for at least `seconds` (at least one)."""
    end = time.perf_counter() + seconds
    fn()
    while time.perf_counter() < end:
        fn()


def compare(ours, *baselines, rounds=15, target=2e-3, settle=0.0):
    """Median seconds per call of `ours` and of each baseline, measured alternately
    (ours, base1, base2, ours, ...) so that drift and noise hit all alike; with `settle`,
    each sample follows that many seconds of untimed calls of the same function."""
    fns = (ours,) + baselines
    for fn in fns:  # warm up
        fn()
    inner = [_inner_count(fn, target) for fn in fns]
    samples = [[] for _ in fns]
    for _ in range(rounds):
        for k, fn in enumerate(fns):
            if settle:
                _warm(fn, settle)
            samples[k].append(_once(fn, inner[k]))
    return [statistics.median(s) for s in samples]


def scaling(fn, rounds=15, target=2e-3):
    """Median seconds per call of fn at each of THREADS (ours and BLAS limited alike),
    the thread counts taken in turn within every round, each sample after SETTLE seconds
    of untimed calls at its own count: the machine's drift over the minutes of a run
    hits every count alike, which separate tables per thread count do not ensure."""
    from threadpoolctl import threadpool_limits

    inner = {}
    for threads in THREADS:
        with threadpool_limits(limits=threads):
            fn()
            inner[threads] = _inner_count(fn, target)
    samples = {threads: [] for threads in THREADS}
    for _ in range(rounds):
        for threads in THREADS:
            with threadpool_limits(limits=threads):
                _warm(fn, SETTLE)
                samples[threads].append(_once(fn, inner[threads]))
    return [statistics.median(samples[threads]) for threads in THREADS]


def after_blas(fn, blas, threads=2, rounds=15):
    """Median seconds of one call of fn on `threads` threads alone (after SETTLE seconds of
    its own calls) and right after blas() (a numpy call that ran on OpenBLAS's threads,
    which then keep spinning for a while), the two taken in turn within every round."""
    from threadpoolctl import threadpool_limits

    alone, after = [], []
    with threadpool_limits(limits=threads):
        fn()
        for _ in range(rounds):
            _warm(fn, SETTLE)
            alone.append(_once(fn, 1))
            _warm(fn, SETTLE)
            blas()
            after.append(_once(fn, 1))
    return [statistics.median(alone), statistics.median(after)]


def report_after_blas(title, rows):
    """Print a table of after_blas() rows: both medians and their ratio (1: no cost)."""
    print(f"\n== {title}")
    print(f"{'size':>28} {'alone':>12} {'after BLAS':>12} {'ratio':>7}")
    for size, (alone, after) in rows:
        print(f"{size:>28} {fmt_time(alone):>12} {fmt_time(after):>12} {after / alone:6.2f}x", flush=True)


def report_scaling(title, rows):
    """Print a table of scaling() rows: the median time at each of THREADS and the
    speed-up of each count over the first (above 1: the added threads pay)."""
    print(f"\n== {title}")
    head = f"{'size':>28}" + "".join(f" {f'{t} thread' + ('s' if t > 1 else ''):>12}" for t in THREADS)
    head += "".join(f" {f'{t}/{THREADS[0]}':>7}" for t in THREADS[1:])
    print(head)
    for size, times in rows:
        line = f"{size:>28}" + "".join(f" {fmt_time(t):>12}" for t in times)
        line += "".join(f" {times[0] / t:6.2f}x" for t in times[1:])
        print(line, flush=True)


def fmt_time(t):
    if t < 1e-3:
        return f"{t * 1e6:9.2f} us"
    if t < 1:
        return f"{t * 1e3:9.3f} ms"
    return f"{t:9.3f} s "


def report(title, rows, baseline_names):
    """Print a table: one row per size (and thread count, "xN") with our time, each
    baseline's, and the ratio baseline / ours (above 1 means we are faster)."""
    print(f"\n== {title}")
    head = f"{'size':>16} {'ours':>12}"
    for b in baseline_names:
        head += f" {b:>16} {'ratio':>7}"
    print(head)
    for size, times in rows:
        line = f"{size:>16} {fmt_time(times[0]):>12}"
        for t in times[1:]:
            line += f" {fmt_time(t):>16} {t / times[0]:6.2f}x"
        print(line)
