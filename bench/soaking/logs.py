"""What the client printed and the server logged, sorted into kinds, so that
every session's end is accounted for."""

from __future__ import annotations

import re
from collections import Counter, defaultdict

from kestrel_testing.game_line import GameLine
from soaking import ENDED_BEFORE_OVER, ENDED_BEFORE_START, MARK, RESULT_LINES


def split_at_mark(text: str) -> tuple[list[str], list[str]]:
    before, _, after = text.partition(MARK + "\n")
    return before.splitlines(), after.splitlines()


def classify_client_lines(out: list[str], err: list[str], url: str) -> dict[str, Counter[str]]:
    """Every line the clients printed, by kind; unknown lines under "unknown"."""
    seen: dict[str, Counter[str]] = defaultdict(Counter)
    failed = "Failed to connect to " + url + ": "
    for line in out:
        if line == "Connected to " + url:
            seen["stdout"]["connected"] += 1
        elif line == "Waiting for game to start":
            seen["stdout"]["waiting"] += 1
        elif re.fullmatch(r"Game started, player id: [01]", line):
            seen["stdout"]["started"] += 1
        elif line in RESULT_LINES:
            seen["results"][line] += 1
        else:
            seen["unknown"]["stdout: " + line[:200]] += 1
    for line in err:
        if line == ENDED_BEFORE_START:
            seen["ended"]["before the game started"] += 1
        elif line == ENDED_BEFORE_OVER:
            seen["ended"]["before the game was over"] += 1
        elif line.startswith(failed):
            seen["failed_to_connect"][line[len(failed) :]] += 1
        else:
            seen["unknown"]["stderr: " + line[:200]] += 1
    return seen


def classify_server_log(lines: list[str]) -> dict[str, Counter[str]]:
    seen: dict[str, Counter[str]] = defaultdict(Counter)
    for line in lines:
        if m := re.fullmatch(r"dropped \S+ (.+) \((RST|FIN)\)", line):
            seen["drops"][m[1]] += 1
            seen["drop_kind"][m[2]] += 1
        elif game := GameLine.parse(line):
            client_seat = 1 if game.seats[0] == "house" else 0
            result = game.outcome
            if result == "Tie":
                seen["games"]["tie"] += 1
            elif "forfeits: disconnected" in result:
                seen["games"]["client disconnected mid-game"] += 1
            elif "forfeits" in result:
                seen["games"]["forfeit: " + result.split("forfeits: ", 1)[1]] += 1
            elif result == f"Player{client_seat + 1} wins":
                seen["games"]["client won"] += 1
            else:
                seen["games"]["house won"] += 1
        else:
            seen["other"][line[:200]] += 1
    return seen
