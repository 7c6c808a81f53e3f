"""Every seed a run derives from its own, in one form: the run's seed and a
path of names joined by "/" (a game and a seat, a pair's opening, a bot's
process), so that the same run, resumed or played at another concurrency,
derives the same ones. A text seeds `random` as it is; PYTHONHASHSEED takes
a number, hashed from it."""

from __future__ import annotations

import hashlib


def sub_seed(seed: str, *path: object) -> str:
    return "/".join([seed, *map(str, path)])


def game_seed(seed: str, game: int, seat: int) -> str:
    """A bot's `random` in one game: the same game of the same run gets the same one, whatever ran before it."""
    return sub_seed(seed, game, seat)


def opening_seed(seed: str, first: str, second: str, pair: int) -> str:
    """The opening of the `pair`-th pair of games between the bots named `first` and `second`."""
    return sub_seed(seed, "opening", first, second, pair)


def process_seed(seed: str, bot: str) -> str:
    """A bot's process kept across games: its hash seed cannot vary per game, so it comes from the run and the bot."""
    return sub_seed(seed, bot)


def hash_seed(text: str) -> str:
    """PYTHONHASHSEED from a seed, so that even a bot's walk over a set of strings repeats."""
    digest = hashlib.sha256(text.encode()).digest()
    return str(int.from_bytes(digest[:4], "big"))
