"""Runs the C++ driver program `session_client` as a subprocess.

Standard output is read line by line as it comes, so a test can wait for a
line (with a generous timeout) before it lets its server go on; standard
input carries "cancel" lines to the driver.
"""

from __future__ import annotations

import os
import queue
import subprocess
import threading
from dataclasses import dataclass
from pathlib import Path

TIMEOUT = 30.0

# Exit statuses of the driver.
FINISHED, USAGE, NO_RUNTIME, FAILED, CANCELLED = 0, 2, 3, 4, 5


@dataclass
class Finished:
    status: int
    out: str
    err: str

    @property
    def out_lines(self) -> list[str]:
        return self.out.splitlines()

    @property
    def err_lines(self) -> list[str]:
        return self.err.splitlines()


class Driver:
    def __init__(self, build_dir: Path, url: str, *args: str, env: dict[str, str] | None = None) -> None:
        environment = {k: v for k, v in os.environ.items() if k != "TOKIO_WORKER_THREADS"}
        environment.update(env or {})
        self.proc = subprocess.Popen(
            [str(build_dir / "session_client"), url, *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=environment,
        )
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._out: list[str] = []
        self._err = b""
        self._out_reader = threading.Thread(target=self._read_out, daemon=True)
        self._err_reader = threading.Thread(target=self._read_err, daemon=True)
        self._out_reader.start()
        self._err_reader.start()

    def _read_out(self) -> None:
        assert self.proc.stdout is not None
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace")
            self._out.append(line)
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def _read_err(self) -> None:
        assert self.proc.stderr is not None
        self._err = self.proc.stderr.read()

    def line(self, timeout: float = TIMEOUT) -> str | None:
        """The next line of standard output; None once it has ended."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            self.kill()
            raise TimeoutError("the driver printed nothing more") from None

    def wait_for_line(self, wanted: str, timeout: float = TIMEOUT) -> list[str]:
        """Lines up to and including `wanted`."""
        seen = []
        while True:
            line = self.line(timeout)
            if line is None:
                raise AssertionError(f"output ended before {wanted!r}: {seen}")
            seen.append(line)
            if line == wanted:
                return seen

    def cancel(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(b"cancel\n")
        self.proc.stdin.flush()

    def finish(self, timeout: float = TIMEOUT) -> Finished:
        """Closes standard input and waits for the process to end."""
        assert self.proc.stdin is not None
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self._out_reader.join(timeout)
        self._err_reader.join(timeout)
        for pipe in (self.proc.stdout, self.proc.stderr):
            if pipe is not None:
                pipe.close()
        return Finished(status, "".join(self._out), self._err.decode(errors="replace"))

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def run_driver(build_dir: Path, url: str, *args: str, env: dict[str, str] | None = None) -> Finished:
    """Runs the driver to its end with nothing on standard input."""
    return Driver(build_dir, url, *args, env=env).finish()
