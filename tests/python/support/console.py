"""Standard output and error at the descriptor level: kestrel's console
writes to file descriptors 1 and 2 directly, past sys.stdout and
sys.stderr, from the runtime's threads as well as the caller's."""

from __future__ import annotations

import contextlib
import os
import threading

from kestrel_dev.descriptors import fd_redirected
from support.players import TIMEOUT, wait_until


class Console:
    """Fds 1 and 2, drained through pipes while the block runs, so a test can
    wait for a line without racing the writers."""

    def __init__(self) -> None:
        self._redirects = contextlib.ExitStack()
        self._streams: list[tuple[threading.Thread, list[bytes]]] = []

    def __enter__(self) -> Console:
        for fd in (1, 2):
            read_end, write_end = os.pipe()
            self._redirects.enter_context(fd_redirected(fd, write_end))
            os.close(write_end)
            chunks: list[bytes] = []
            drain = threading.Thread(target=self._drain, args=(read_end, chunks), daemon=True)
            drain.start()
            self._streams.append((drain, chunks))
        return self

    def __exit__(self, *exc: object) -> None:
        self._redirects.close()  # the pipes' last write ends go: their drains end
        for drain, _ in self._streams:
            drain.join(TIMEOUT)

    @staticmethod
    def _drain(read_end: int, chunks: list[bytes]) -> None:
        with open(read_end, "rb", buffering=0) as pipe:
            while chunk := pipe.read(65536):
                chunks.append(chunk)

    @property
    def out(self) -> str:
        return b"".join(self._streams[0][1]).decode(errors="replace")

    @property
    def err(self) -> str:
        return b"".join(self._streams[1][1]).decode(errors="replace")

    async def printed(self, line: str) -> None:
        await wait_until(lambda: line in self.out)
