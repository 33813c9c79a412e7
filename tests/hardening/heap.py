"""How much the C allocator has handed out: a leak of heap memory shows here at once,
where resident memory would hide it behind the allocator's own caching."""

import ctypes
import os

# Under the sanitizer build the runtime is preloaded; its allocator keeps freed
# memory in quarantine and does not report through mallinfo2.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]  # fmt: skip


_mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def malloc_in_use():
    """Bytes allocated by malloc and not yet freed (None when it cannot be known)."""
    if _mallinfo2 is None or ASAN:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd
