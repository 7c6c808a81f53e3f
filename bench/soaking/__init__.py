"""The parts of bench/soak.py: what the worker and the parent share here, the
worker (`worker`), the reading of both sides' logs (`logs`), the verdict
(`verdict`) and the parent that runs it all (`parent`)."""

from __future__ import annotations

import resource
import sys

MARK = "=== soak: main phase ==="
RESULT_LINES = ("Player1 wins!", "Player2 wins!", "Tie")
ENDED_BEFORE_START = "Connection to the server ended before the game started"
ENDED_BEFORE_OVER = "Connection to the server ended before the game was over"
RUNTIME_THREAD = "tokio-runtime-w"  # as Linux shows "tokio-runtime-worker"
BLOCKING_POOL_CAP = 64
DROP_STAGES = (
    "during the handshake",
    "after the handshake",
    "while waiting for a partner",
    "mid-game",
    "while closing",
)


def raise_fd_limit(needed: int) -> int:
    """Raises the soft RLIMIT_NOFILE to the hard limit; children inherit it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        soft = hard
    if soft != resource.RLIM_INFINITY and soft < needed:
        sys.exit(f"soak: needs {needed} file descriptors, the hard limit is {hard}")
    return soft
