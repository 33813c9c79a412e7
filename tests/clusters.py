"""A local Dask cluster for the tests that run on one: two worker processes of one
thread each, under a watchdog."""

import contextlib
import faulthandler

import pytest


@contextlib.contextmanager
def two_workers(watchdog=240):
    """A client of a new cluster of two worker processes, closed on leaving. If the
    tests inside ever hang, the watchdog ends the whole run with a traceback after
    `watchdog` seconds."""
    distributed = pytest.importorskip("distributed")
    faulthandler.dump_traceback_later(watchdog, exit=True)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", death_timeout=30) as lc, \
             distributed.Client(lc, timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            yield client
    finally:
        faulthandler.cancel_dump_traceback_later()
