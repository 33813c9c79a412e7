"""Run the benchmarks: `tools/dev bench [--only NAME ...] [--quick]`.

Each bench/bench_<name>.py defines `run(quick)` and prints its own table of median
times and ratios (baseline time / our time: above 1 means ours is faster), measured
alternately in one process, at 1 and at 2 threads on both sides (timing.THREADS).
"""

import argparse
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy  # noqa: E402,F401  (loads BLAS, so that the thread limits reach it)

import timing  # noqa: E402


def main(argv=None):
    names = sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--only", action="append", choices=names, help="run only these benchmarks")
    ap.add_argument("--quick", action="store_true", help="fewer rounds (a smoke run)")
    args = ap.parse_args(argv)
    print(f"BLAS: {timing.blas_info()}")
    for name in args.only or names:
        importlib.import_module(f"bench_{name}").run(args.quick)


if __name__ == "__main__":
    main()
