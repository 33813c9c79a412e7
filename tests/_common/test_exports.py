"""The shared object exports exactly the declared kernel names and the module entry."""

import pytest

from native import PROTOTYPES, exported_symbols

# File-local or header-inline helpers that must never be visible.
INTERNAL = [
    "qdl_smooth_threshold",
    "qdl_ridge_eff_dof",
    "qdl_ridge_objective",
    "qdl_solve_small",
    "qdl_split_penalty",
    "as241_poly7",
]


def declared():
    return set(PROTOTYPES)


def test_every_declared_kernel_is_exported():
    names = declared()
    assert "qdl_ols_chol_solve" in names and "qdl_chol" in names
    assert names <= exported_symbols()


def test_nothing_else_is_exported():
    extra = exported_symbols() - declared() - {"PyInit__regression"}
    # The C runtime may add its own markers (e.g. _init/_fini); nothing of ours may leak.
    assert not {s for s in extra if not s.startswith("_")}, sorted(extra)
    assert not {s for s in extra if "qdl" in s or "c128" in s or "Quandrel" in s}


@pytest.mark.parametrize("name", INTERNAL)
def test_internal_helpers_are_hidden(name):
    assert not {s for s in exported_symbols() if name in s}
