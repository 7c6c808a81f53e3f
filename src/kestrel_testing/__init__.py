"""Testing kestrel bots: a local kestrel-server, games against its house bot
or another bot with their results, and positions for `handle_turn`.

    from kestrel_testing import play, position

    def test_never_loses() -> None:
        match = play(MyBot, games=10)   # against the house bot, seats alternating
        assert match.losses == 0

    async def test_takes_the_win() -> None:
        assert await MyBot().handle_turn(position("XX.|OO.|...")) == 2

With pytest, the fixtures `kestrel_server` (a server for bots to meet on)
and `kestrel_house` (one whose every client plays the house bot) come with
the package (its pytest11 plugin)."""

from kestrel_testing.bots import load_bot
from kestrel_testing.errors import BotLoadError, KitError, ServerFailed, ServerNotFound
from kestrel_testing.games import GameResult, Match, play, play_async
from kestrel_testing.position import position
from kestrel_testing.server import LocalServer, serve, serve_async

__all__ = [
    "BotLoadError",
    "GameResult",
    "KitError",
    "LocalServer",
    "Match",
    "ServerFailed",
    "ServerNotFound",
    "load_bot",
    "play",
    "play_async",
    "position",
    "serve",
    "serve_async",
]
