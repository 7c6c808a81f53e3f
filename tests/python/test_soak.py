"""A short soak: bench/soak.py with a few hundred kestrel sessions at once in one
process against kestrel-server --house-bot --drop 0.1, a tenth cancelled, for
some seconds; every future must be accounted for and nothing may grow."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from kestrel_testing.server_process import find_server_binary
from support import loops

ROOT = Path(__file__).resolve().parents[2]
STAGES = {"during the handshake", "after the handshake", "while waiting for a partner", "mid-game"}


@pytest.mark.skipif(sys.platform != "linux", reason="the soak measures through /proc")
@pytest.mark.timeout(90)
def test_short_soak_accounts_for_every_session_and_leaks_nothing(tmp_path: Path) -> None:
    pytest.importorskip("kestrel")
    binary = find_server_binary()
    if binary is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    report_path = tmp_path / "soak.json"
    done = subprocess.run(
        [sys.executable, ROOT / "bench" / "soak.py", "--server", binary, "--sessions", "300",
         "--duration", "15", "--drop", "0.1", "--cancel", "0.1", "--json", report_path,
         "--loop", loops.chosen()],
        capture_output=True, text=True, timeout=600,
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr
    report = json.loads(report_path.read_text())
    assert report["failures"] == []

    # Every future ended exactly once, as None or cancelled; none was left.
    outcomes = report["futures_by_outcome"]
    assert report["pending_at_end"] == 0
    assert set(outcomes) == {"none", "cancelled"}
    assert sum(outcomes.values()) == report["sessions_started"] > 3 * 300
    assert outcomes["cancelled"] == report["cancels_taking_effect"] > 0

    # The server cut connections at every stage, and the clients saw it.
    assert STAGES <= set(report["server_drops"])
    assert report["client_failed_to_connect"]
    assert report["client_early_ends"]["before the game started"] > 0
    assert report["client_early_ends"]["before the game was over"] > 0
    assert report["games_finished_main"] > 0
    assert report["server_games"].get("client won", 0) == 0

    # Nothing grew: the figures behind the script's own verdict.
    base, end = report["client_base"], report["client_end"]
    assert end["threads"] == base["threads"]
    # A cancelled session closes its connection at once, even while the
    # server is silent, waiting for its move or a partner.
    assert report["client_drained"]["server_connections"] == 0
    assert report["server"]["drained"]["fds"] <= report["server"]["start"]["fds"]
    assert end["fds"] <= base["fds"] + 2
    assert end["clients_alive"] == report["client_samples_kept"] + 1
    assert end["futures_alive"] <= base["futures_alive"]
    refcounts = report["client_sample_refcounts"]
    assert refcounts and all(r == report["client_control_refcount"] for rs in refcounts.values() for r in rs)
    assert report["server"]["exit"] == 0
