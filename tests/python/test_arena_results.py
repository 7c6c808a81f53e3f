"""What the arena makes of a run's games, on games written by hand: the
standings' counts and order, the table as printed, the forfeits summed up
by kind, the cross-table, tournament.json and the cross-table picture."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

from kestrel_arena.judge import judge, mistakes
from kestrel_arena.picture import draw
from kestrel_arena.rating import superiority
from kestrel_arena.results import GameRecord, standings, write_json
from kestrel_arena.tables import format_table, percent, problem_summary


def game(number: int, seats: tuple[str, str], winner: str | None, **extra: Any) -> GameRecord:
    loser = None if winner is None else seats[1] if winner == seats[0] else seats[0]
    result = "draw" if winner is None else f"{winner} wins"
    reason = extra.pop("reason", "three in a row" if winner else "board full")
    return GameRecord(number, seats, winner, loser, result, reason, extra.pop("forfeit", False), **extra)


def both_forfeit(number: int, seats: tuple[str, str], why: str) -> GameRecord:
    return GameRecord(number, seats, None, None, "both forfeit", why, True, problems={s: why for s in seats})


GAMES = [
    game(1, ("a", "b"), "a", moves=[0, 3, 1, 4, 2], mistakes=[3]),
    game(2, ("b", "a"), None, moves=[4, 0, 8, 2, 1, 7, 6, 3, 5]),
    game(3, ("a", "c"), "a", moves=[0, 3, 1, 4, 2], mistakes=[1, 3]),
    game(4, ("c", "a"), "a", forfeit=True, reason="disconnected", problems={"c": "answered 9, not a cell"}),
    game(5, ("b", "c"), "b", forfeit=True, reason="took occupied cell 4"),
    game(6, ("c", "b"), "b", forfeit=True, reason="disconnected", problems={"c": "answered '4', not a cell"}),
    both_forfeit(7, ("c", "c#2"), "failed to load: SyntaxError"),
]


def test_standings_count_rank_and_blame_mistakes_by_seat() -> None:
    rows = standings(["c", "b", "a", "c#2"], GAMES)
    # By points, then Elo: c#2 lost its one game, c all five.
    assert [r.name for r in rows] == ["a", "b", "c#2", "c"]
    table = {r.name: (r.games, r.wins, r.draws, r.losses, r.points, r.mistakes) for r in rows}
    assert table == {
        "a": (4, 3, 1, 0, 3.5, 0),
        "b": (4, 2, 1, 1, 2.5, 1),  # ply 3 of game 1: seat 1's
        "c": (5, 0, 0, 5, 0.0, 2),  # plies 1 and 3 of game 3; a game both forfeit is a loss
        "c#2": (1, 0, 0, 1, 0.0, 0),
    }
    assert rows[1].mistakes_per_game == 0.25 and rows[3].superiority is None
    assert all(r.elo_low < r.elo < r.elo_high for r in rows)
    assert rows[0].elo > rows[1].elo > rows[2].elo
    # A bot that has not played yet (a run stopped early): no mistakes per game, not a division by zero.
    rows = standings(["a", "b", "idle"], [*GAMES[:2], game(8, ("a", "b"), None)])
    idle = next(r for r in rows if r.name == "idle")
    assert (idle.games, idle.mistakes_per_game) == (0, 0.0) and rows[0].draws == 2
    # A game both forfeited, wherever it comes, tells nothing of strength: the ratings are those without it.
    without = {r.name: r.elo for r in standings(["a", "b", "c", "c#2"], GAMES[:6])}
    forfeited_first = {r.name: r.elo for r in standings(["a", "b", "c", "c#2"], [GAMES[6], *GAMES[:6]])}
    assert forfeited_first == pytest.approx(without) and without["c#2"] == pytest.approx(1500)
    # Equal points: the higher Elo first, then the name.
    tied = standings(["y", "x", "z"], [game(1, ("x", "z"), "x"), game(2, ("y", "z"), "y")])
    assert [r.name for r in tied] == ["x", "y", "z"] and tied[0].elo == pytest.approx(tied[1].elo)


def test_the_printed_table() -> None:
    rows = standings(["a", "b", "c", "c#2"], GAMES)
    lines = format_table(rows).splitlines()
    # Columns as wide as their headings (the names column as the longest name, at least "bot").
    assert lines[0] == " #  bot  games  wins  draws  losses  points    elo  95 % interval        mistakes      LOS"
    assert lines[1].startswith(" 1  a        4     3      1       0     3.5  ")
    a = lines[1].split()
    assert a[:7] == ["1", "a", "4", "3", "1", "0", "3.5"] and a[7] == f"{rows[0].elo:.0f}"
    assert a[8:11] == [f"{rows[0].elo_low:.0f}", "to", f"{rows[0].elo_high:.0f}"] and a[11:13] == ["0", "(0.00/game)"]
    assert lines[2].split()[11:13] == ["1", "(0.25/game)"]
    for line, row, below in zip(lines[1:], rows, rows[1:], strict=False):
        assert percent(row.superiority) in line
        assert line.endswith(f"cannot be told apart from {below.name}") == (row.superiority < 0.95)
    assert lines[-1].split()[-2:] == ["2", "(0.40/game)"]  # the last row has no LOS
    assert len(lines) == 5


def test_likelihood_of_superiority() -> None:
    """P(the true difference is above 0) for an estimate of normal error; no error: certain, or even at 0."""
    assert (superiority(0, 0), superiority(0.5, 0), superiority(-0.5, 0)) == (0.5, 1.0, 0.0)
    assert superiority(1, 1) == pytest.approx(0.841345, abs=1e-6)
    assert superiority(-0.5, 0.25) == pytest.approx(0.158655, abs=1e-6)


@pytest.mark.parametrize(
    ("p", "shown"), [(0.9995, ">99.9 %"), (0.999, "99.9 %"), (0.0005, "<0.1 %"), (0.001, "0.1 %"), (0.5, "50.0 %")]
)
def test_percentages_never_round_up_to_a_certainty(p: float, shown: str) -> None:
    assert percent(p) == shown


def test_forfeits_are_summed_up_by_kind_per_bot() -> None:
    # What the arena saw (the answer) beats the server's reason; a game both forfeit counts for both.
    assert problem_summary(GAMES) == [
        "c: 4 games forfeited: answered 9 or '4', not a cell (2); took an occupied cell (1); "
        "failed to load: SyntaxError (1)",
        "c#2: 1 game forfeited: failed to load: SyntaxError (1)",
    ]
    assert problem_summary([g for g in GAMES if not g.forfeit]) == []


def test_tournament_json_and_the_cross_table(tmp_path: Path) -> None:
    rows = standings(["a", "b", "c", "c#2"], GAMES)
    path = tmp_path / "tournament.json"
    write_json(path, {"seed": "1"}, rows, GAMES)
    record = json.loads(path.read_text())
    assert record["seed"] == "1"
    assert record["elo_method"] == (
        "maximum likelihood (Bradley-Terry, a draw counts half a win), anchored by one virtual draw per bot "
        "against a fixed 1500 player, so that an unbeaten bot stays finite"
    )
    assert record["interval_method"] == (
        "95 % interval: the rating against the field's average, from the model's information at the estimate "
        "(normal approximation); LOS: likelihood that the bot is stronger than the next one in the table, "
        "below 95 % the two cannot be told apart"
    )
    first = record["standings"][0]
    assert first["name"] == "a" and first["points"] == 3.5 and first["elo"] == round(rows[0].elo, 1)
    assert first["elo_low"] == round(rows[0].elo_low, 1) and first["elo_high"] == round(rows[0].elo_high, 1)
    assert first["superiority"] == round(rows[0].superiority, 4) and first["mistakes_per_game"] == 0
    assert record["standings"][1]["mistakes_per_game"] == 0.25 and record["standings"][-1]["superiority"] is None
    # [wins, draws, losses] of the row bot against the column bot; a game both forfeit is lost by both.
    assert record["cross_table"] == {
        "a": {"b": [1, 1, 0], "c": [2, 0, 0], "c#2": [0, 0, 0]},
        "b": {"a": [0, 1, 1], "c": [2, 0, 0], "c#2": [0, 0, 0]},
        "c": {"a": [0, 0, 2], "b": [0, 0, 2], "c#2": [0, 0, 1]},
        "c#2": {"a": [0, 0, 0], "b": [0, 0, 0], "c": [0, 0, 1]},
    }
    assert [g["game"] for g in record["games"]] == list(range(1, 8))
    assert record["games"][3]["problems"] == {"c": "answered 9, not a cell"}
    assert all(g["past_deciding_pair"] is False for g in record["games"])  # a game is counted unless marked
    # A game decided before the server could start it: no moves, no server game, nothing judged.
    unstarted = record["games"][6]
    assert [unstarted[k] for k in ("moves", "server_game", "addresses")] == [[], None, None]
    assert [unstarted[k] for k in ("opening", "judged", "mistakes", "think_times", "stderr")] == [[], [], [], {}, {}]


def test_the_cross_table_picture(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    drawn: list[Figure] = []
    save = Figure.savefig

    def keep(figure: Figure, *args: Any, **kwargs: Any) -> None:
        drawn.append(figure)
        save(figure, *args, **kwargs)

    monkeypatch.setattr(Figure, "savefig", keep)
    rows = standings(["a", "b", "c", "c#2"], GAMES)
    path = tmp_path / "crosstable.png"
    draw(plt, path, rows, GAMES)
    assert path.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    axes = drawn[0].axes[0]
    cells = {(round(t.get_position()[1]), round(t.get_position()[0])): t for t in axes.texts}
    # Row bot by rank, column the opponent: its wins-draws-losses and how many of its wins were forfeits.
    a, b, c, c2 = (next(i for i, r in enumerate(rows) if r.name == name) for name in ("a", "b", "c", "c#2"))
    assert cells[c, a].get_text() == "0-0-2\n1 forfeited" and cells[c, b].get_text() == "0-0-2\n2 forfeited"
    assert (cells[a, b].get_text(), cells[a, c].get_text(), cells[a, a].get_text()) == ("1-1-0", "2-0-0", "—")
    assert cells[c, c2].get_text() == "0-0-1" and cells[a, c2].get_text() == "0-0-0"  # both forfeit; never met
    # White on the dark ends of the scale, black in its light middle and where there is no share.
    assert cells[a, c].get_color() == cells[c, a].get_color() == "white"
    assert cells[a, b].get_color() == cells[a, c2].get_color() == "black"
    assert [t.get_text() for t in axes.get_yticklabels()] == [f"{r.name} ({r.points:g}, {r.elo:.0f})" for r in rows]
    assert [t.get_text() for t in axes.get_xticklabels()] == [r.name for r in rows]
    assert (axes.get_xlabel(), axes.get_ylabel()) == ("opponent", "bot (points, Elo)")
    assert axes.get_title() == (
        "kestrel-arena: wins-draws-losses of the row bot, and how many it forfeited\n(colour: its share of the points)"
    )
    assert axes.images[0].get_clim() == (0, 1)  # a share of the points, from none to all


def test_each_move_is_judged_as_the_movers_value_before_and_after() -> None:
    """games.jsonl's `judged`: 1 a win, 0 a draw, -1 a loss, with best play from both sides."""
    # X takes a corner, O an edge next to it (losing), X goes on to win.
    assert judge([0, 1, 3, 2, 6]) == [(0, 0), (0, -1), (1, 1), (-1, -1), (1, 1)]
    assert judge([4, 0, 8, 2, 1, 7, 6, 3, 5]) == [(0, 0)] * 9
    # Past the end of a legal game (a taken cell, a game already won): not judged.
    assert judge([0, 0, 1]) == [(0, 0)] and judge([0, 3, 1, 4, 2, 5]) == judge([0, 3, 1, 4, 2]) != []
    assert judge([9]) == judge([-1]) == []
    # The opening's moves are the arena's; the bots' first move after it is theirs.
    assert mistakes([0, 1, 3, 2, 6], opening=1) == [1] and mistakes([0, 1, 3, 2, 6], opening=2) == []
