"""Runs the real kestrel-server binary as a subprocess: one way to start it,
read the address it announces, stop it and read its log, for the arena, the
tests and the benchmarks."""

from __future__ import annotations

import contextlib
import os
import select
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from kestrel_testing.server_binary import first_executable, server_candidates

STOP_TIMEOUT = 30.0  # seconds a stopping server is given in all
RESIGNAL_AFTER = 3.0  # seconds without an exit before the signal is sent again

LISTENING = "kestrel-server listening on "
WEB_LISTENING = "kestrel-server spectators on "


def find_server_binary() -> Path | None:
    """$KESTREL_SERVER, else $KESTREL_BUILD_DIR/kestrel-server, else the one
    installed beside this Python (a venv's scripts folder need not be on
    PATH), else PATH. The first lets a run against an installed wheel take
    the C++ test programs from a build tree but the server from the wheel;
    it is taken as given, never passed over for another."""
    if server := os.environ.get("KESTREL_SERVER"):
        return Path(server)
    build = os.environ.get("KESTREL_BUILD_DIR")
    return first_executable(server_candidates(Path(build) if build else None))


class ServerProcess:
    """`with ServerProcess(binary, "--house-bot") as server:` -- listens on a
    free port of 127.0.0.1; its stderr log is readable while it runs.
    `new_session`: out of the terminal's reach (a Ctrl-C goes to the caller
    alone, which stops it in its own time)."""

    def __init__(
        self,
        binary: Path,
        *args: str,
        new_session: bool = False,
        control: bool = False,
        pass_fds: tuple[int, ...] = (),
    ) -> None:
        self.args = [str(binary), "--port", "0", *args]
        self._new_session = new_session
        self._pass_fds = pass_fds  # descriptors the server inherits (a --report pipe)
        # --control: its stdin is a pipe the caller writes commands to.
        self.control = control
        self._log = tempfile.NamedTemporaryFile(prefix="kestrel-server-", suffix=".log")
        self.process: subprocess.Popen[str] | None = None
        self.url = ""
        self.exit_code: int | None = None
        self._lines: list[str] = []
        self._read_to = 0  # how far log_lines has read the log

    def __enter__(self) -> ServerProcess:
        self.process = subprocess.Popen(
            self.args,
            stdin=subprocess.PIPE if self.control else subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=self._log,
            text=True,
            encoding="utf-8",
            start_new_session=self._new_session,
            pass_fds=self._pass_fds,
        )
        assert self.process.stdout is not None
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        line = self.process.stdout.readline() if ready else ""
        if not line.startswith(LISTENING):
            self.process.kill()
            raise RuntimeError(f"server did not start: {line!r} {self.log()}")
        self.url = line[len(LISTENING) :].strip()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.process is not None and self.exit_code is None:
            try:
                self.stop()
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None and self.process.stdout is not None:
            self.process.stdout.close()
        if self.process is not None and self.process.stdin is not None:
            with contextlib.suppress(OSError):  # a pipe the server no longer reads
                self.process.stdin.close()
        self._log.close()

    def second_line(self, prefix: str) -> str:
        """The rest of the server's next stdout line if it starts with
        `prefix` (with --web: the page's address), else "". No select: the
        line usually came with the first and waits in the reader's buffer;
        it follows the first at once, or the server has ended (EOF)."""
        assert self.process is not None and self.process.stdout is not None
        line = self.process.stdout.readline()
        return line[len(prefix) :].strip() if line.startswith(prefix) else ""

    def stop(self, sig: int = signal.SIGTERM) -> int:
        """Signals the server and returns its exit code. The signal goes again
        every few seconds while the server runs on: a sanitizer's runtime may
        hold a signal back until the thread it reached next wakes, and the
        threads of an idle server do not wake by themselves (seen under
        ThreadSanitizer, about one stop in a hundred)."""
        assert self.process is not None
        deadline = time.monotonic() + STOP_TIMEOUT
        while True:
            self.process.send_signal(sig)
            try:
                self.exit_code = self.process.wait(timeout=min(RESIGNAL_AFTER, max(deadline - time.monotonic(), 0.01)))
                return self.exit_code
            except subprocess.TimeoutExpired:
                if time.monotonic() >= deadline:
                    raise

    def log(self) -> str:
        return Path(self._log.name).read_text()

    def log_lines(self) -> list[str]:
        """The log's whole lines so far, one list that grows: each call reads
        on from where the last stopped, so polling a long run stays cheap."""
        with open(self._log.name, "rb") as log:
            log.seek(self._read_to)
            data = log.read()
        whole = data[: data.rfind(b"\n") + 1]
        self._read_to += len(whole)
        self._lines += whole.decode(errors="replace").splitlines()
        return self._lines

    def game_lines(self) -> list[str]:
        return [line for line in self.log().splitlines() if line.startswith("game ")]

    def wait_for_games(self, count: int, timeout: float = 60.0) -> list[str]:
        """The game result lines, once there are `count` of them."""
        return self.wait_for_log("game ", count, timeout, at_start=True)

    def wait_for_log(self, text: str, count: int = 1, timeout: float = 60.0, at_start: bool = False) -> list[str]:
        """The log lines containing `text` (or starting with it), once there are `count`."""
        end = time.monotonic() + timeout
        while True:
            lines = self.log().splitlines()
            lines = [ln for ln in lines if (ln.startswith(text) if at_start else text in ln)]
            if len(lines) >= count:
                return lines
            if time.monotonic() > end:
                raise TimeoutError(f"{count} x {text!r} not logged:\n{self.log()}")
            time.sleep(0.02)
