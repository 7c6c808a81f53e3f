"""The line kestrel-server writes on standard error for every finished game,
written and read from this one definition:

    game N (seat 0 ADDRESS, seat 1 ADDRESS): OUTCOME; moves 0 4 8 ...

ADDRESS is a client's "host:port" (or "house"), OUTCOME "Player1 wins",
"Player2 wins", "Tie" or "PlayerX wins, PlayerY forfeits: REASON", and the
moves are the cells in the order played ("-" when there were none). Tests that
run the real server compare its lines with `GameLine.format`, which ties this
module to what the server writes."""

from __future__ import annotations

import re
from dataclasses import dataclass

PREFIX = "game "
_PATTERN = re.compile(r"^game (\d+) \(seat 0 (\S+), seat 1 (\S+)\): (.*); moves ([-\d ]*)$")


@dataclass(frozen=True)
class GameLine:
    number: int
    seats: tuple[str, str]  # seat 0 (moves first), seat 1
    outcome: str
    moves: tuple[int, ...]

    def format(self) -> str:
        moves = " ".join(map(str, self.moves)) if self.moves else "-"
        return f"{PREFIX}{self.number} (seat 0 {self.seats[0]}, seat 1 {self.seats[1]}): {self.outcome}; moves {moves}"

    @classmethod
    def parse(cls, line: str) -> GameLine | None:
        """The fields of a game line; None for any other line."""
        m = _PATTERN.match(line)
        if not m:
            return None
        number, seat0, seat1, outcome, moves = m.groups()
        return cls(int(number), (seat0, seat1), outcome, tuple(int(c) for c in moves.split() if c != "-"))
