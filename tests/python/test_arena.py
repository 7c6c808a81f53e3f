"""kestrel-arena: real tournaments on a real kestrel-server between the
example bots and bots that crash, hang, do not load or answer badly; runs
interrupted by a signal and resumed, and games played in parallel."""

from __future__ import annotations

import itertools
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any

import pytest

from kestrel_arena.arena_server import result_of
from kestrel_arena.judge import mistakes as judged_mistakes
from kestrel_arena.results import GameRecord, standings
from kestrel_arena.tables import format_table
from kestrel_testing.server_process import find_server_binary

ROOT = Path(__file__).resolve().parents[2]

EXAMPLES = ROOT / "examples"
BOTS = Path(__file__).parent / "bots"
GOOD = ["perfect", "random_bot", "first_free"]
FAULTY = {
    "crash": "handle_turn raised RuntimeError",
    "hang": "out of time",
    "broken": "failed to load: ModuleNotFoundError",
    "sleepy": "did not join within 5 s",
    "nine": "answered 9, not a cell",
    "taken": "took occupied cell ",
}
# Bots written by the tests, each a TicTacToeClient subclass's handle_turn body.
WRITTEN = {
    "nine": "return 9",
    "taken": "return next((c for c, m in enumerate(state.board) if m is not None), 0)",
}
# Opens on its own cell, then plays at random: the first two moves of a game
# name its seats, and the rest repeat only if the seeding does.
OPENERS = {"o0": 0, "o4": 4, "o8": 8}
OPENER = (
    "free = [c for c, m in enumerate(state.board) if m is None]\n"
    "        return {cell} if len(free) >= 8 and {cell} in free else random.choice(free)"
)


def write_bot(folder: Path, name: str, body: str) -> Path:
    path = folder / f"{name}.py"
    path.write_text(
        "import random\n\nimport kestrel\n\n\nclass Bot(kestrel.TicTacToeClient):\n"
        f"    async def handle_turn(self, state):\n        {body}\n"
    )
    return path


def openers(folder: Path) -> list[str]:
    folder.mkdir(exist_ok=True)
    return [str(write_bot(folder, name, OPENER.format(cell=cell))) for name, cell in OPENERS.items()]


def arena_command(*args: str, first_on_path: Path | None = None) -> tuple[list[str], dict[str, str]]:
    pytest.importorskip("kestrel")
    server = find_server_binary()
    if server is None:
        pytest.skip("kestrel-server not built (set KESTREL_BUILD_DIR or install the package)")
    # The runner from this checkout; the bots' processes inherit the path.
    path = os.pathsep.join(str(p) for p in [first_on_path, ROOT / "src", os.environ.get("PYTHONPATH")] if p is not None)
    command = [sys.executable, "-m", "kestrel_arena.launch", "--server", str(server), *args]
    return command, {**os.environ, "PYTHONPATH": path}


def arena(
    out: Path | None, *args: str, first_on_path: Path | None = None, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    command, base = arena_command(*(["--out", str(out)] if out else []), *args, first_on_path=first_on_path)
    return subprocess.run(command, env=base | (env or {}), capture_output=True, text=True, timeout=600)


def played(record: dict[str, Any]) -> set[tuple[Any, ...]]:
    """What a run's games were, whatever order they ended in."""
    return {(g["game"], tuple(g["seats"]), tuple(g["moves"]), g["result"], g["reason"]) for g in record["games"]}


# The module's tournament (its fixed move and join times) is paid by whichever
# test comes first.
pytestmark = pytest.mark.timeout(300)


@pytest.fixture(scope="module")
def tournament(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str], Path]:
    out = tmp_path_factory.mktemp("arena")
    written = tmp_path_factory.mktemp("bots")
    bots = [str(EXAMPLES / f"{name}.py") for name in GOOD] + [
        str(write_bot(written, name, WRITTEN[name]) if name in WRITTEN else BOTS / f"{name}.py") for name in FAULTY
    ]
    done = arena(out, *bots, "--games", "2", "--move-time", "1", "--join-time", "5", "--concurrency", "2")
    # Played to its end, but two bots never played a game: a status of its own says so.
    assert done.returncode == 13, done.stdout + done.stderr
    return done, out


@pytest.fixture(scope="module")
def record(tournament: tuple[subprocess.CompletedProcess[str], Path]) -> dict[str, Any]:
    return json.loads((tournament[1] / "tournament.json").read_text())


def test_perfect_never_loses_and_the_examples_never_beat_it(record: dict[str, Any]) -> None:
    rows = {row["name"]: row for row in record["standings"]}
    assert rows["perfect"]["losses"] == 0 and rows["perfect"]["games"] == 2 * (len(GOOD) + len(FAULTY) - 1)
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
        if name != "taken":
            assert any(line.strip().startswith(f"{name}: ") and reason in line for line in out.splitlines()), out
    assert all("crash.py gives up" in p for g in record["games"] for n, p in g["problems"].items() if n == "crash")
    # Losses to a process that never played are counted apart; a raise in a turn is play.
    rows = {row["name"]: row for row in record["standings"]}
    for name in ("broken", "sleepy"):
        assert rows[name]["crashes"] == rows[name]["losses"] == rows[name]["games"] and rows[name]["played"] == 0
        assert any(line.startswith(f"{name} never played a game (") for line in out.splitlines()), out
    assert all(rows[name]["crashes"] == 0 for name in rows if name not in ("broken", "sleepy"))
    # Forfeits are summed up by kind, whatever the cell.
    lost = sum(g["loser"] == "taken" for g in record["games"])
    assert f"  taken: {lost} games forfeited: took an occupied cell ({lost})" in out.splitlines(), out
    lost = sum(g["loser"] == "nine" for g in record["games"])
    assert f"  nine: {lost} games forfeited: answered 9, not a cell ({lost})" in out.splitlines(), out


def test_every_game_is_recorded_with_alternating_seats(record: dict[str, Any]) -> None:
    games = record["games"]
    names = GOOD + list(FAULTY)
    assert len(games) == 2 * math.comb(len(names), 2)
    assert [g["game"] for g in games] == list(range(1, len(games) + 1))
    assert Counter(tuple(g["seats"]) for g in games) == Counter({(a, b): 1 for a in names for b in names if a != b})
    for g in games:
        if g["server_game"] is None:  # decided before it could start
            assert {"broken", "sleepy"} & set(g["seats"]) and g["forfeit"]
            continue
        assert "server_line" not in g and len(g["addresses"]) == 2
        assert g["reason"] in ("three in a row", "board full") or g["forfeit"]
        assert len(set(g["moves"])) == len(g["moves"]) <= 9
        if not g["forfeit"]:
            assert (g["result"] == "draw") == (len(g["moves"]) == 9 and g["winner"] is None)


def test_standings_table_and_cross_table_picture(tournament: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    done, out = tournament
    header = done.stdout.splitlines()[0].split()
    assert header == [
        *("#", "bot", "games", "wins", "draws", "losses", "points", "elo", "95", "%", "interval", "mistakes", "LOS")
    ]
    assert done.stdout.splitlines()[1].split()[1] == "perfect"
    pytest.importorskip("matplotlib")
    assert (out / "crosstable.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_without_matplotlib_the_picture_is_skipped_with_a_note(tmp_path: Path) -> None:
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "matplotlib.py").write_text("raise ImportError('matplotlib hidden by the test')\n")
    first_free = str(EXAMPLES / "first_free.py")
    done = arena(tmp_path / "out", first_free, first_free, "--games", "2", first_on_path=blocker)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "No crosstable.png: matplotlib is not installed (pip install 'kestrel[arena]')" in done.stdout
    assert (tmp_path / "out" / "tournament.json").is_file()
    assert not (tmp_path / "out" / "crosstable.png").exists()


STARTED = {"type": "started", "game": 3, "server_game": 7, "seats": [{"peer": "a:1"}, {"peer": "b:2"}]}


@pytest.mark.parametrize(
    ("winner", "forfeit", "reason"),
    [
        (None, None, "board full"),
        (1, None, "three in a row"),
        (1, {"seat": 0, "reason": "out of time"}, "out of time"),
    ],
)
def test_server_reports_are_read(winner: int | None, forfeit: dict[str, Any] | None, reason: str) -> None:
    ended = {"type": "ended", "game": 3, "server_game": 7, "winner": winner, "moves": [4], "times": [0.5]}
    got = result_of(ended | {"forfeit": forfeit}, STARTED)
    assert (got.server_game, got.addresses, got.moves, got.times) == (7, ("a:1", "b:2"), [4], [0.5])
    assert (got.winner, got.reason, got.forfeit) == (winner, reason, forfeit is not None)


@pytest.mark.parametrize(
    "refused",
    [
        ["--games", "3"],
        ["--resume", "somewhere", "--games", "2"],
        ["--resume", "somewhere", "first_free.py"],
        ["--server", "ws://127.0.0.1:9000"],
    ],
    ids=["odd-games", "resume-with-settings", "resume-with-bots", "server-url"],
)
def test_unfair_or_ambiguous_runs_are_refused(tmp_path: Path, refused: list[str]) -> None:
    first_free = str(EXAMPLES / "first_free.py")
    args = [first_free, first_free, *refused] if "--resume" not in refused else refused
    done = arena(None, *args)
    assert done.returncode == 2, done.stdout + done.stderr
    expected = ("must be even", "--resume takes the bots and settings", "--server takes the path of a kestrel-server")
    assert any(text in done.stderr for text in expected), done.stderr


def record_of(winner: str | None, a: str, b: str, number: int) -> GameRecord:
    loser = None if winner is None else b if winner == a else a
    result = "draw" if winner is None else f"{winner} wins"
    return GameRecord(number, (a, b), winner, loser, result, "three in a row", False)


@pytest.mark.parametrize(
    "results",
    [
        # Two perfect players that only ever draw, and a weak third.
        {("p", "m"): "d" * 10, ("p", "w"): "a" * 9 + "d", ("m", "w"): "a" * 9 + "d"},
        {("x", "y"): "aaabbd", ("y", "z"): "aabbbd", ("x", "z"): "aaaaab", ("z", "u"): "abdd", ("x", "u"): "ddd"},
    ],
    ids=["drawn-pair", "mixed"],
)
def test_intervals_and_superiority_agree_with_a_direct_computation(results: dict[tuple[str, str], str]) -> None:
    games = [
        record_of({"a": a, "b": b, "d": None}[r], a, b, i)
        for i, ((a, b), r) in enumerate(((pair, r) for pair, rs in results.items() for r in rs), 1)
    ]
    names = sorted({n for pair in results for n in pair})
    rows = standings(names, games)
    scale = 400 / math.log(10)
    theta = [(next(r.elo for r in rows if r.name == n) - 1500) / scale for n in names]

    def log_likelihood(t: list[float]) -> float:
        # Every bot drew once against a fixed player at 0; a draw is half a win and half a loss.
        total = sum(0.5 * math.log(1 / (1 + math.exp(-x))) + 0.5 * math.log(1 / (1 + math.exp(x))) for x in t)
        for g in games:
            d = t[names.index(g.seats[0])] - t[names.index(g.seats[1])]
            s = 0.5 if g.winner is None else float(g.winner == g.seats[0])
            total += s * -math.log1p(math.exp(-d)) + (1 - s) * -math.log1p(math.exp(d))
        return total

    def moved(t: list[float], *steps: tuple[int, float]) -> list[float]:
        u = list(t)
        for i, h in steps:
            u[i] += h
        return u

    n, h = len(names), 1e-4
    # The ratings are the maximum: no direction improves the likelihood.
    for i in range(n):
        assert abs(log_likelihood(moved(theta, (i, h))) - log_likelihood(moved(theta, (i, -h)))) / (2 * h) < 1e-4
    hessian = [
        [
            (
                log_likelihood(moved(theta, (i, h), (j, h)))
                - log_likelihood(moved(theta, (i, h), (j, -h)))
                - log_likelihood(moved(theta, (i, -h), (j, h)))
                + log_likelihood(moved(theta, (i, -h), (j, -h)))
            )
            / (4 * h * h)
            for j in range(n)
        ]
        for i in range(n)
    ]
    np = pytest.importorskip("numpy")
    covariance = np.linalg.inv(-np.array(hessian)) * scale**2
    centred = np.eye(n) - np.full((n, n), 1 / n)
    against_average = centred @ covariance @ centred
    z = statistics.NormalDist().inv_cdf(0.975)
    for row in rows:
        i = names.index(row.name)
        margin = z * math.sqrt(against_average[i, i])
        assert row.elo_low == pytest.approx(row.elo - margin, abs=0.05)
        assert row.elo_high == pytest.approx(row.elo + margin, abs=0.05)
    for upper, lower in itertools.pairwise(rows):
        i, j = names.index(upper.name), names.index(lower.name)
        spread = math.sqrt(covariance[i, i] + covariance[j, j] - 2 * covariance[i, j])
        above = 1 - statistics.NormalDist(upper.elo - lower.elo, spread).cdf(0)
        assert upper.superiority == pytest.approx(above, abs=1e-3)
        apart = f"cannot be told apart from {lower.name}" in format_table(rows)
        assert apart == (upper.superiority < 0.95)
    if "p" in names:  # all draws: the same rating, and no telling them apart
        top = {r.name: r for r in rows}
        assert top["p"].elo == pytest.approx(top["m"].elo, abs=1e-6) and rows[0].superiority == pytest.approx(0.5)
        assert "cannot be told apart" in format_table(rows).splitlines()[1]


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Any]:
    """The openers' run played one game at a time, untouched: what the others must equal."""
    out = tmp_path_factory.mktemp("whole")
    bots = openers(tmp_path_factory.mktemp("openers"))
    done = arena(out, *bots, "--games", "4", "--seed", "7", "--concurrency", "1")
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads((out / "tournament.json").read_text())


@pytest.mark.parametrize("concurrency", ["2", "8"])
def test_parallel_games_keep_seats_and_results(uninterrupted: dict[str, Any], tmp_path: Path, concurrency: str) -> None:
    """The same seed gives the same games at any concurrency."""
    bots = openers(tmp_path / "bots")
    done = arena(tmp_path / "out", *bots, "--games", "4", "--seed", "7", "--concurrency", concurrency)
    assert done.returncode == 0, done.stdout + done.stderr
    record = json.loads((tmp_path / "out" / "tournament.json").read_text())
    assert played(record) == played(uninterrupted)
    lines = (tmp_path / "out" / "games.jsonl").read_text().splitlines()
    assert sorted(json.loads(line)["game"] for line in lines) == list(range(1, 13))
    for g in record["games"]:
        assert g["moves"][:2] == [OPENERS[g["seats"][0]], OPENERS[g["seats"][1]]], g
    # Each bot moves first in half its games against each opponent.
    assert Counter(tuple(g["seats"]) for g in record["games"]) == {p: 2 for p in itertools.permutations(OPENERS, 2)}


def descendants(pid: int) -> set[int]:
    """The process tree under `pid` as it stands; threads and processes that end meanwhile are passed over."""
    found: set[int] = set()
    try:
        tasks = list(Path(f"/proc/{pid}/task").iterdir())
    except OSError:
        return found
    for task in tasks:
        try:
            children = map(int, (task / "children").read_text().split())
        except OSError:
            continue
        for child in children:
            found |= {child} | descendants(child)
    return found


def command_line(pid: int) -> bytes:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return b""


def alive(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0]
    except (OSError, IndexError):
        return False
    return state != "Z"


@pytest.mark.skipif(not Path("/proc/self/task").is_dir(), reason="reads process trees from /proc")
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_an_interrupted_run_stops_everything_and_resumes_to_the_same_games(
    uninterrupted: dict[str, Any], tmp_path: Path, sig: signal.Signals
) -> None:
    bots = openers(tmp_path / "bots")
    out = tmp_path / "out"
    command, env = arena_command("--out", str(out), *bots, "--games", "4", "--seed", "7", "--concurrency", "1")
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
        log = out / "games.jsonl"
        while not (log.exists() and len(log.read_text().splitlines()) >= 3):
            assert run.poll() is None, run.communicate()
            time.sleep(0.02)
        children = descendants(run.pid)
        commands = [command_line(p) for p in children]
        assert any(b"kestrel-server" in c for c in commands) and any(b"kestrel_arena.player" in c for c in commands)
        run.send_signal(sig)
        stdout, stderr = run.communicate(timeout=120)
    assert run.returncode == 128 + sig, stdout + stderr
    assert f"interrupted ({sig.name})" in stderr and f"--resume {out}" in stderr
    assert [p for p in children if alive(p)] == []
    partial = json.loads((out / "tournament.json").read_text())
    assert not partial["complete"] and 3 <= len(partial["games"]) < 12
    assert stdout.startswith(f"Standings after {len(partial['games'])} of 12 games:")
    assert played(partial) <= played(uninterrupted)

    # A bot that changed since is refused, and the run is left as it was.
    changed = Path(bots[1])
    original = changed.read_text()
    changed.write_text(original + "# changed\n")
    done = arena(None, "--resume", str(out))
    assert done.returncode == 1 and "changed since the run began" in done.stderr, done.stdout + done.stderr
    changed.write_text(original)

    done = arena(None, "--resume", str(out), "--concurrency", "2")
    assert done.returncode == 0, done.stdout + done.stderr
    record = json.loads((out / "tournament.json").read_text())
    assert record["complete"] and played(record) == played(uninterrupted)


def test_every_move_is_judged_and_perfect_makes_no_mistake(record: dict[str, Any]) -> None:
    rows = {row["name"]: row for row in record["standings"]}
    assert rows["perfect"]["mistakes"] == 0 and rows["first_free"]["mistakes"] > 0
    for g in record["games"]:
        assert len(g["judged"]) == len(g["moves"]) or g["forfeit"]
        assert g["mistakes"] == [ply for ply, (before, after) in enumerate(g["judged"]) if after < before]
    assert sum(row["mistakes"] for row in record["standings"]) == sum(len(g["mistakes"]) for g in record["games"])


@pytest.mark.parametrize(
    ("moves", "mistakes"),
    [
        ([0, 1, 3, 2, 6], [1]),  # after a corner only the centre draws
        ([4, 0, 8, 2, 1, 7, 6, 3, 5], []),  # a drawn game, both sides perfect
        # O takes a corner against opposite corners (X forks); then X, with 7 winning, plays 5.
        ([0, 4, 8, 2, 6, 3, 5, 7, 1], [3, 6]),
    ],
)
def test_moves_judged_against_perfect_play(moves: list[int], mistakes: list[int]) -> None:
    assert judged_mistakes(moves) == mistakes
    # An opening's moves are the arena's: never a bot's mistake.
    assert judged_mistakes(moves, opening=4) == [ply for ply in mistakes if ply >= 4]


def test_a_run_recorded_before_games_were_reported_as_data_resumes(tmp_path: Path) -> None:
    """Records that still carry the server's prose line load, and the game missing is played."""
    bots = openers(tmp_path / "bots")[:2]
    out = tmp_path / "out"
    assert arena(out, *bots, "--games", "2", "--seed", "7").returncode == 0
    whole = json.loads((out / "tournament.json").read_text())
    log = out / "games.jsonl"
    old = [json.loads(line) | {"server_line": "game 1 (...): Tie; moves -"} for line in log.read_text().splitlines()]
    log.write_text(json.dumps(old[0]) + "\n")
    done = arena(None, "--resume", str(out))
    assert done.returncode == 0, done.stdout + done.stderr
    assert played(json.loads((out / "tournament.json").read_text())) == played(whole)
