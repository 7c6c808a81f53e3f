"""A file descriptor pointed elsewhere for a while: kestrel's console writes to
descriptors 1 and 2 directly, past sys.stdout and sys.stderr, so the tests
that read it and the benchmarks that silence it redirect the descriptors."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator


@contextlib.contextmanager
def fd_redirected(fd: int, target: int) -> Iterator[None]:
    """Points descriptor `fd` at whatever `target` refers to until the block
    ends; `target` stays the caller's to close."""
    saved = os.dup(fd)
    os.dup2(target, fd)
    try:
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)
