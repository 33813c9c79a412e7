"""The shared object exports exactly the declared kernel names and the module entry."""

from native import PROTOTYPES, exported_symbols


def declared():
    return set(PROTOTYPES)


def test_every_declared_kernel_is_exported():
    names = declared()
    assert {"qdl_ols_chol_solve", "qdl_chol", "qdl_ridge_grid_search_gram", "qdl_moments_leaves",
            "qdl_moments_merge"} <= names
    assert names <= exported_symbols()


def test_nothing_else_is_exported():
    extra = exported_symbols() - declared() - {"PyInit__regression"}
    # The C runtime may add its own markers (e.g. _init/_fini); nothing of ours may leak,
    # whatever its name: no helper with C linkage, and no C++ symbol at all (a file-local
    # helper, an inline function of a private header or a template instance).
    assert not {s for s in extra if not s.startswith("_")}, sorted(extra)
    assert not {s for s in extra if s.startswith("_Z")}, sorted(extra)
    assert not {s for s in extra if "qdl" in s or "c128" in s or "Quandrel" in s}
