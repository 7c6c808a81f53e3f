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
    _started: list[Driver] = []

    @classmethod
    def kill_all(cls) -> None:
        """Ends every driver still running (after a failed test)."""
        while cls._started:
            cls._started.pop().kill()

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
        self._err_lines: queue.Queue[str | None] = queue.Queue()
        self._out: list[str] = []
        self._err: list[str] = []
        self._out_reader = threading.Thread(target=self._read_out, daemon=True)
        self._err_reader = threading.Thread(target=self._read_err, daemon=True)
        self._out_reader.start()
        self._err_reader.start()
        Driver._started.append(self)

    @staticmethod
    def _pump(stream, seen: list[str], lines: queue.Queue[str | None]) -> None:
        for raw in stream:
            line = raw.decode(errors="replace")
            seen.append(line)
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def _read_out(self) -> None:
        self._pump(self.proc.stdout, self._out, self._lines)

    def _read_err(self) -> None:
        self._pump(self.proc.stderr, self._err, self._err_lines)

    def _next(self, lines: queue.Queue[str | None], timeout: float) -> str | None:
        try:
            return lines.get(timeout=timeout)
        except queue.Empty:
            self.kill()
            raise TimeoutError("the driver printed nothing more") from None

    def line(self, timeout: float = TIMEOUT) -> str | None:
        """The next line of standard output; None once it has ended."""
        return self._next(self._lines, timeout)

    def err_line(self, timeout: float = TIMEOUT) -> str | None:
        """The next line of standard error; None once it has ended."""
        return self._next(self._err_lines, timeout)

    def wait_for_err_line(self, wanted: str, timeout: float = TIMEOUT) -> list[str]:
        """Standard error lines up to and including `wanted`."""
        return self._wait(self._err_lines, wanted, timeout)

    def wait_for_line(self, wanted: str, timeout: float = TIMEOUT) -> list[str]:
        """Standard output lines up to and including `wanted`."""
        return self._wait(self._lines, wanted, timeout)

    def _wait(self, lines: queue.Queue[str | None], wanted: str, timeout: float) -> list[str]:
        seen = []
        while True:
            line = self._next(lines, timeout)
            if line is None:
                raise AssertionError(f"output ended before {wanted!r}: {seen}")
            seen.append(line)
            if line == wanted:
                return seen

    def tell(self, line: str) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def cancel(self) -> None:
        self.tell("cancel")

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
        self.kill()
        return Finished(status, "".join(self._out), "".join(self._err))

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self._out_reader.join(TIMEOUT)
        self._err_reader.join(TIMEOUT)
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if pipe is not None:
                try:
                    pipe.close()
                except BrokenPipeError:
                    pass


def run_driver(build_dir: Path, url: str, *args: str, env: dict[str, str] | None = None) -> Finished:
    """Runs the driver to its end with nothing on standard input."""
    return Driver(build_dir, url, *args, env=env).finish()
