import numpy as np
import pytest


@pytest.fixture
def rng(request):
    """A generator seeded from the test's name, so every test is reproducible."""
    return np.random.default_rng(abs(hash(request.node.nodeid)) % (2**32))
