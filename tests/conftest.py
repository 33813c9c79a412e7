import zlib

import numpy as np
import pytest


@pytest.fixture
def rng(request):
    """A generator seeded from the test's name, so every test is reproducible."""
    # crc32, not hash(): string hashes change from one interpreter run to the next.
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))


def pytest_addoption(parser):
    group = parser.getgroup("hardening", "run lengths of the hardening tests")
    group.addoption(
        "--hostile-examples",
        type=int,
        default=1000,
        help="examples of the hostile-argument property test (the sanitizer run uses 20000)",
    )
    group.addoption(
        "--leak-calls",
        type=int,
        default=100_000,
        help="calls per function and outcome in the reference-count and memory test",
    )
    group.addoption(
        "--lars-tie-problems",
        type=int,
        default=3000,
        help="generated tie-heavy problems (each also permuted) for the LARS path checker",
    )
