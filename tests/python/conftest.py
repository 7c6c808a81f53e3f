"""Fixtures shared by the Python test suites."""

from __future__ import annotations

import os
import sys
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
