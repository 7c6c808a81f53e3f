"""Fixtures shared by the Python test suites."""

from __future__ import annotations

import os
import signal
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
# kestrel_arena from this checkout, as the tournaments' processes get it
# through PYTHONPATH: one copy in every process, and the one a mutation run
# plants its faults in. kestrel_testing comes from the installed package:
# pytest loads its plugin before this file runs.
sys.path.insert(1, str(Path(__file__).resolve().parents[2] / "src"))

from kestrel_testing.server_process import find_server_binary  # noqa: E402
from support import loops  # noqa: E402
from support.match_server import MatchServer  # noqa: E402

# At import, so that every loop the suite makes follows the switch, the
# match server's included.
loops.install()

# Every process the suite starts inherits this mark, so that one left behind
# (its parent gone, reparented away from the suite) is still found as ours.
SUITE_MARK = "KESTREL_TEST_SUITE"
os.environ[SUITE_MARK] = str(os.getpid())
PROC = Path("/proc")
LEFT_BEHIND_WAIT = 15.0  # seconds for the children of a process just ended to notice and end
# Detached on purpose by a program that is still running (Chromium's crash reporter lives as long
# as the module's browser): passed over after a test, still caught if it outlives the session.
DETACHED_BY_DESIGN = ("chrome_crashpad_handler",)


def marked_processes() -> dict[int, int]:
    """The live processes started by this suite, other than itself: pid -> parent pid."""
    mark = f"{SUITE_MARK}={os.getpid()}".encode() + b"\0"
    found = {}
    for entry in PROC.iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            if mark not in (entry / "environ").read_bytes():
                continue
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended meanwhile, or not ours to read
        if fields[0] != "Z":
            found[int(entry.name)] = int(fields[1])
    return found


def orphans(processes: dict[int, int]) -> list[int]:
    """Those of `processes` that are no descendant of the suite: whoever started them has gone."""
    me = os.getpid()
    lost = []
    for pid in processes:
        parent = processes[pid]
        while parent in processes:
            parent = processes[parent]
        if parent != me:
            lost.append(pid)
    return lost


def command_of(pid: int) -> str:
    try:
        return (PROC / str(pid) / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "(ended)"


def detached_by_design(pid: int) -> bool:
    return any(name in command_of(pid) for name in DETACHED_BY_DESIGN)


def left_behind(within_suite: bool) -> list[str]:
    """Processes of the suite still running after LEFT_BEHIND_WAIT seconds, killed, as lines to report:
    orphans only, or (`within_suite`) also those still under the suite."""
    end = time.monotonic() + LEFT_BEHIND_WAIT
    while True:
        found = marked_processes()
        stray = list(found) if within_suite else [p for p in orphans(found) if not detached_by_design(p)]
        if not stray or time.monotonic() >= end:
            break
        time.sleep(0.1)
    lines = [f"{pid}: {command_of(pid)}" for pid in stray]
    for pid in stray:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return lines


@pytest.fixture(autouse=True)
def leaves_no_process_behind() -> Iterator[None]:
    """Fails the test after which a process it started runs on with its parent gone."""
    yield
    if PROC.is_dir() and (stray := left_behind(within_suite=False)):
        pytest.fail("processes left behind (killed now):\n" + "\n".join(stray), pytrace=False)


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    """Fails the run when any process it started outlives it."""
    if PROC.is_dir() and (stray := left_behind(within_suite=True)):
        print("\nprocesses left behind by the suite (killed now):\n" + "\n".join(stray), file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    """KESTREL_TIMEOUT_SCALE stretches every test's time limit, its own mark's
    included: the limits are set for optimised builds, and the sanitizer runs
    start programs that are many times slower."""
    scale = float(os.environ.get("KESTREL_TIMEOUT_SCALE", "1"))
    if scale == 1:
        return
    default = float(config.getoption("timeout", None) or config.getini("timeout") or 0)
    for item in items:
        mark = item.get_closest_marker("timeout")
        seconds = default
        if mark is not None:
            seconds = float(mark.args[0] if mark.args else mark.kwargs.get("timeout", default))
        if seconds > 0:
            item.add_marker(pytest.mark.timeout(seconds * scale), append=False)


def pytest_report_header() -> str:
    return f"event loop: {loops.describe()}"


@pytest.fixture(scope="session")
def build_dir() -> Path:
    """The CMake tree that holds the C++ test programs (KESTREL_BUILD_DIR)."""
    value = os.environ.get("KESTREL_BUILD_DIR")
    if not value:
        pytest.skip("KESTREL_BUILD_DIR is not set")
    return Path(value)


@pytest.fixture(scope="session")
def binary() -> Path:
    """kestrel-server: from KESTREL_SERVER, the build folder or the installed package."""
    found = find_server_binary()
    if found is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    return found


@pytest.fixture
def match_server() -> Iterator[MatchServer]:
    with MatchServer() as server:
        yield server


@pytest.fixture
def closing_match_server() -> Iterator[MatchServer]:
    """A match server that closes both connections once a game is over."""
    with MatchServer(close_after_game=True) as server:
        yield server
