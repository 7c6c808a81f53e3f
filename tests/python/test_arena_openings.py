"""The arena's openings: balanced ones by default (a draw with best play,
checked by a search of the test's own), any legal ones when asked, the same
for a run and its resumption, and the uniform ones of a run begun before
openings were balanced unchanged."""

from __future__ import annotations

import itertools
import json
from pathlib import Path

import pytest
from test_arena import EXAMPLES, arena
from test_arena_sprt import drawn

from kestrel_arena.arguments import parse_args
from kestrel_arena.openings import BALANCED, UNIFORM, opening_for

LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))


def legal_unfinished(opening: tuple[int, ...]) -> bool:
    marks: dict[int, int] = {}
    for ply, cell in enumerate(opening):
        if cell in marks or not 0 <= cell <= 8:
            return False
        marks[cell] = ply % 2
        if any(a in marks and marks.get(a) == marks.get(b) == marks.get(c) for a, b, c in LINES):
            return False
    return len(opening) < 9


def test_two_move_openings_balanced_by_default_and_any_when_uniform() -> None:
    every = [o for o in itertools.permutations(range(9), 2)]
    balanced = {o for o in every if drawn(list(o))}
    assert len(every) == 72 and len(balanced) == 24
    chosen = {BALANCED: set(), UNIFORM: set()}
    for pair in range(600):
        default = opening_for("5", "new", "old", pair, 2)
        assert default == opening_for("5", "new", "old", pair, 2, BALANCED)  # the same for a resumed run
        chosen[BALANCED].add(default)
        chosen[UNIFORM].add(opening_for("5", "new", "old", pair, 2, UNIFORM))
    assert chosen[BALANCED] == balanced
    assert chosen[UNIFORM] == set(every)
    # Another seed, another pair of bots: other openings.
    def first_twenty(seed: str, first: str, second: str) -> list[tuple[int, ...]]:
        return [opening_for(seed, first, second, p, 2) for p in range(20)]

    assert first_twenty("6", "new", "old") != first_twenty("5", "new", "old") != first_twenty("5", "a", "b")


@pytest.mark.parametrize("length", range(9))
def test_balanced_openings_of_every_length_are_legal_drawn_and_unfinished(length: int) -> None:
    for pair in range(12):
        opening = opening_for("9", "x", "y", pair, length)
        assert len(opening) == length and legal_unfinished(opening) and drawn(list(opening)), opening
        assert legal_unfinished(opening_for("9", "x", "y", pair, length, UNIFORM))


def test_uniform_openings_are_those_runs_began_with() -> None:
    """A run begun before openings were balanced resumes with the openings it began with."""
    assert [opening_for("7", "a", "b", k, 2, UNIFORM) for k in range(4)] == [(6, 7), (0, 7), (2, 4), (1, 4)]
    assert [opening_for("s", "x", "y", k, 3, UNIFORM) for k in range(3)] == [(6, 4, 7), (2, 3, 1), (4, 0, 1)]


@pytest.mark.timeout(300)
def test_the_choice_is_recorded_and_a_run_from_before_resumes_uniform(tmp_path: Path) -> None:
    first_free = str(EXAMPLES / "first_free.py")
    done = arena(tmp_path / "any", first_free, first_free, "--games", "4", "--openings", "2",
                 "--uniform-openings", "--seed", "1")  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert json.loads((tmp_path / "any" / "run.json").read_text())["opening_choice"] == "uniform"
    games = json.loads((tmp_path / "any" / "tournament.json").read_text())["games"]
    uniform = [opening_for("1", "first_free", "first_free#2", k // 2, 2, UNIFORM) for k in range(4)]
    assert [tuple(g["opening"]) for g in games] == uniform

    # A run of before: run.json without the choice, interrupted before its first game.
    old = tmp_path / "old"
    done = arena(old, first_free, first_free, "--games", "4", "--openings", "2", "--seed", "1")
    assert done.returncode == 0, done.stderr
    record = json.loads((old / "run.json").read_text())
    assert record.pop("opening_choice") == "balanced"
    (old / "run.json").write_text(json.dumps(record))
    (old / "games.jsonl").write_text("")
    (old / "tournament.json").unlink()
    done = arena(None, "--resume", str(old))
    assert done.returncode == 0, done.stderr
    assert [tuple(g["opening"]) for g in json.loads((old / "tournament.json").read_text())["games"]] == [
        tuple(g["opening"]) for g in games
    ]


def test_the_opening_choice_on_the_command_line() -> None:
    first_free = str(EXAMPLES / "first_free.py")
    bots = [first_free, first_free, "--sprt", "0", "50"]
    assert (parse_args(bots).opening_choice, parse_args(bots).openings) == ("balanced", 2)
    assert parse_args([*bots, "--uniform-openings"]).opening_choice == "uniform"
    assert parse_args([*bots, "--openings", "8"]).openings == 8  # the longest: a ninth move ends every game
    refusals = (["--openings", "9"], ["--resume", "x", "--uniform-openings"])
    for refused in refusals:
        with pytest.raises(SystemExit) as stopped:
            parse_args(refused if "--resume" in refused else [*bots, *refused])
        assert stopped.value.code == 2
