"""kestrel-arena: a real tournament on a real kestrel-server between the
example bots and bots that crash, hang or do not load."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections import Counter
from pathlib import Path
from typing import Any

import pytest

from kestrel_arena.results import parse_game_line
from kestrel_arena.server_process import find_server_binary

ROOT = Path(__file__).resolve().parents[2]

EXAMPLES = ROOT / "examples"
BOTS = Path(__file__).parent / "bots"
GOOD = ["perfect", "random_bot", "first_free"]
FAULTY = {
    "crash": "crashed (exit ",
    "hang": "out of time",
    "broken": "failed to load: ModuleNotFoundError",
    "sleepy": "did not join within 5 s",
}


def arena(out: Path, *args: str, first_on_path: Path | None = None) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("kestrel")
    server = find_server_binary()
    if server is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    # The runner from this checkout; the bots' processes inherit the path.
    path = os.pathsep.join(str(p) for p in [first_on_path, ROOT / "src", os.environ.get("PYTHONPATH")] if p is not None)
    return subprocess.run(
        [sys.executable, "-m", "kestrel_arena.cli", "--server", str(server), "--out", str(out), *args],
        env={**os.environ, "PYTHONPATH": path},
        capture_output=True,
        text=True,
        timeout=600,
    )


# The module's tournament (its fixed move and join times) is paid by whichever
# test comes first.
pytestmark = pytest.mark.timeout(160)


@pytest.fixture(scope="module")
def tournament(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str], Path]:
    out = tmp_path_factory.mktemp("arena")
    bots = [str(EXAMPLES / f"{name}.py") for name in GOOD] + [str(BOTS / f"{name}.py") for name in FAULTY]
    done = arena(out, *bots, "--games", "2", "--move-time", "1", "--join-time", "5")
    assert done.returncode == 0, done.stdout + done.stderr
    return done, out


@pytest.fixture(scope="module")
def record(tournament: tuple[subprocess.CompletedProcess[str], Path]) -> dict[str, Any]:
    return json.loads((tournament[1] / "tournament.json").read_text())


def test_perfect_never_loses_and_the_examples_never_beat_it(record: dict[str, Any]) -> None:
    rows = {row["name"]: row for row in record["standings"]}
    assert rows["perfect"]["losses"] == 0 and rows["perfect"]["games"] == 2 * 6
    assert record["standings"][0]["name"] == "perfect"
    for name in ("random_bot", "first_free"):
        wins, _, _ = record["cross_table"][name]["perfect"]
        assert wins == 0
    # Ranked by points, and the Elo estimate agrees with the points.
    points = [row["points"] for row in record["standings"]]
    assert points == sorted(points, reverse=True)
    by_elo = sorted(record["standings"], key=lambda row: -row["elo"])
    assert [row["points"] for row in by_elo] == points


def test_standings_count_the_recorded_games(record: dict[str, Any]) -> None:
    games = record["games"]
    for row in record["standings"]:
        name = row["name"]
        own = [g for g in games if name in g["seats"]]
        wins = sum(g["winner"] == name for g in own)
        draws = sum(g["result"] == "draw" for g in own)
        losses = sum(g["loser"] == name or g["result"] == "both forfeit" for g in own)
        assert (row["games"], row["wins"], row["draws"], row["losses"]) == (len(own), wins, draws, losses), row
        assert row["points"] == wins + 0.5 * draws


def test_faulty_bots_lose_their_games_with_the_reason(
    tournament: tuple[subprocess.CompletedProcess[str], Path], record: dict[str, Any]
) -> None:
    table = record["cross_table"]
    for name in FAULTY:
        for good in GOOD:
            assert table[name][good] == [0, 0, 2], (name, good)
    # Among themselves the seat decides: whoever moves first fails first.
    # A bot that does not load or join forfeits the rest unplayed, and a game
    # between two such bots is lost by both.
    assert table["crash"]["hang"] == [1, 0, 1]
    for name in ("crash", "hang"):
        assert table[name]["broken"] == table[name]["sleepy"] == [2, 0, 0]
    assert table["broken"]["sleepy"] == table["sleepy"]["broken"] == [0, 0, 2]
    out = tournament[0].stdout
    for name, reason in FAULTY.items():
        problems = {g["problems"][name] for g in record["games"] if g["loser"] == name}
        assert problems and all(p.startswith(reason) for p in problems), (name, problems)
        assert any(line.strip().startswith(f"{name}: ") and reason in line for line in out.splitlines()), out
    assert all("crash.py gives up" in p for g in record["games"] for n, p in g["problems"].items() if n == "crash")


def test_every_game_is_recorded_with_alternating_seats(record: dict[str, Any]) -> None:
    games = record["games"]
    assert len(games) == 2 * 21
    assert Counter(tuple(g["seats"]) for g in games) == Counter(
        {(a, b): 1 for a in GOOD + list(FAULTY) for b in GOOD + list(FAULTY) if a != b}
    )
    for g in games:
        if g["server_game"] is None:  # decided before it could start
            assert {"broken", "sleepy"} & set(g["seats"]) and g["forfeit"]
            continue
        assert g["server_line"].startswith(f"game {g['server_game']} (seat 0 ")
        assert g["reason"] in ("three in a row", "board full") or g["forfeit"]
        assert len(set(g["moves"])) == len(g["moves"]) <= 9
        if not g["forfeit"]:
            assert (g["result"] == "draw") == (len(g["moves"]) == 9 and g["winner"] is None)


def test_standings_table_and_cross_table_picture(tournament: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    done, out = tournament
    header = done.stdout.splitlines()[0].split()
    assert header == ["#", "bot", "games", "wins", "draws", "losses", "points", "elo"]
    assert done.stdout.splitlines()[1].split()[1] == "perfect"
    pytest.importorskip("matplotlib")
    assert (out / "crosstable.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_without_matplotlib_the_picture_is_skipped_with_a_note(tmp_path: Path) -> None:
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "matplotlib.py").write_text("raise ImportError('matplotlib hidden by the test')\n")
    first_free = str(EXAMPLES / "first_free.py")
    done = arena(tmp_path / "out", first_free, first_free, "--games", "1", first_on_path=blocker)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "No crosstable.png: matplotlib is not installed (pip install 'kestrel[arena]')" in done.stdout
    assert (tmp_path / "out" / "tournament.json").is_file()
    assert not (tmp_path / "out" / "crosstable.png").exists()


SEATS = "game 7 (seat 0 127.0.0.1:40001, seat 1 127.0.0.1:40002): "


@pytest.mark.parametrize(
    ("outcome", "winner", "reason", "forfeit", "moves"),
    [
        ("Tie; moves 0 1 2 4 3 5 7 6 8", None, "board full", False, [0, 1, 2, 4, 3, 5, 7, 6, 8]),
        ("Player1 wins; moves 0 3 1 4 2", 0, "three in a row", False, [0, 3, 1, 4, 2]),
        ("Player2 wins; moves 0 3 1 4 8 5", 1, "three in a row", False, [0, 3, 1, 4, 8, 5]),
        ("Player2 wins, Player1 forfeits: out of time; moves -", 1, "out of time", True, []),
        ("Player1 wins, Player2 forfeits: left the game; moves 4", 0, "left the game", True, [4]),
    ],
)
def test_server_game_lines_are_read(
    outcome: str, winner: int | None, reason: str, forfeit: bool, moves: list[int]
) -> None:
    got = parse_game_line(SEATS + outcome)
    assert got is not None
    assert (got.server_game, got.addresses) == (7, ("127.0.0.1:40001", "127.0.0.1:40002"))
    assert (got.winner, got.reason, got.forfeit, got.moves) == (winner, reason, forfeit, moves)
    assert parse_game_line(SEATS + outcome.replace("; moves", " moves")) is None
    assert parse_game_line(SEATS + "Player3 wins; moves 0") is None
