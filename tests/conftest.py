import numpy as np
import pytest


@pytest.fixture
def rng(request):
    """A generator seeded from the test's name, so every test is reproducible."""
    return np.random.default_rng(abs(hash(request.node.nodeid)) % (2**32))


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
