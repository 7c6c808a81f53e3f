"""kestrel-arena's bot processes: one plays game after game with its module
state kept, a process whose game failed is replaced, and --fresh-process
gives every game a process of its own; either way a seed gives the same games."""

from __future__ import annotations

import json
from collections import Counter
from pathlib import Path

import pytest
from test_arena import EXAMPLES, arena, played, write_bot

pytestmark = pytest.mark.timeout(300)

# Counts the games its process has played (module state) and logs it with the
# process id once per game; plays at random, so the seeding shows in the moves.
COUNTER = (
    "global PLAYED\n"
    "        if not getattr(self, 'counted', False):\n"
    "            self.counted = True\n"
    "            PLAYED += 1\n"
    "            with open(__import__('os').environ['ARENA_TEST_LOG'], 'a') as log:\n"
    "                log.write(f'{NAME} {__import__(\"os\").getpid()} {PLAYED}\\n')\n"
    "            if PLAYED == CRASH_AT:\n"
    "                raise RuntimeError('second game')\n"
    "        return random.choice([c for c, m in enumerate(state.board) if m is None])"
)


def counting_bot(folder: Path, name: str, crash_at: int = 0) -> str:
    path = write_bot(folder, name, COUNTER)
    path.write_text(f"PLAYED = 0\nNAME = {name!r}\nCRASH_AT = {crash_at}\n" + path.read_text())
    return str(path)


def run(tmp_path: Path, label: str, bots: list[str], *extra: str) -> tuple[dict, list[tuple[str, int, int]]]:
    log = tmp_path / f"{label}.log"
    out = tmp_path / label
    done = arena(out, *bots, "--games", "4", "--seed", "5", *extra, env={"ARENA_TEST_LOG": str(log)})
    assert done.returncode == 0, done.stdout + done.stderr
    entries = [(name, int(pid), int(count)) for name, pid, count in map(str.split, log.read_text().splitlines())]
    return json.loads((out / "tournament.json").read_text()), entries


def test_a_process_plays_many_games_unless_fresh_and_the_games_are_the_same(tmp_path: Path) -> None:
    bots = [counting_bot(tmp_path, name) for name in ("a", "b", "c")]
    kept, kept_log = run(tmp_path, "kept", bots, "--concurrency", "2")
    fresh, fresh_log = run(tmp_path, "fresh", bots, "--concurrency", "1", "--fresh-process")
    assert played(kept) == played(fresh)
    assert len(kept_log) == len(fresh_log) == 2 * len(kept["games"])
    # Kept: module state carries over, and far fewer processes than games.
    assert max(count for _, _, count in kept_log) >= 2
    assert len({pid for _, pid, _ in kept_log}) < len(kept_log)
    assert {count for _, _, count in fresh_log} == {1}
    assert len({pid for _, pid, _ in fresh_log}) == len(fresh_log)


def test_a_process_whose_game_failed_is_replaced(tmp_path: Path) -> None:
    bots = [counting_bot(tmp_path, "fragile", crash_at=2), counting_bot(tmp_path, "steady")]
    record, log = run(tmp_path, "out", bots, "--concurrency", "1")
    # A fragile process raises in its second game and is replaced: none reaches a third.
    counts = Counter(count for name, _, count in log if name == "fragile")
    assert set(counts) == {1, 2}
    forfeits = [g for g in record["games"] if g["forfeit"]]
    assert len(forfeits) == counts[2] and all(g["loser"] == "fragile" for g in forfeits)
    assert all("handle_turn raised RuntimeError" in g["problems"]["fragile"] for g in forfeits)


def test_each_pair_of_games_starts_from_the_same_opening(tmp_path: Path) -> None:
    bots = [str(EXAMPLES / "perfect.py"), str(EXAMPLES / "first_free.py")]
    done = arena(tmp_path, *bots, "--games", "6", "--openings", "3", "--seed", "2")
    assert done.returncode == 0, done.stdout + done.stderr
    games = sorted(json.loads((tmp_path / "tournament.json").read_text())["games"], key=lambda g: g["game"])
    for first, second in zip(games[::2], games[1::2], strict=True):
        assert first["opening"] == second["opening"] and len(first["opening"]) == 3
        assert first["seats"] == second["seats"][::-1]
        for g in (first, second):
            assert g["moves"][:3] == g["opening"]
            # Think times are the bot's own moves only, never the opening's.
            for seat, name in enumerate(g["seats"]):
                own = len(g["moves"][3:][(seat - 3) % 2 :: 2])
                assert len(g["think_times"].get(name, [])) == own, g
    assert len({tuple(g["opening"]) for g in games}) > 1
