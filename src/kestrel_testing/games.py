"""Games played by the kit: a bot against the house bot or against another
bot, one game at a time on a server of the call's own, each game's result
read from the line the server writes for it."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import operator
import os
import re
import traceback
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from kestrel_testing.bots import load_bot
from kestrel_testing.game_line import GameLine
from kestrel_testing.server import LocalServer, serve_async

if TYPE_CHECKING:
    import kestrel
    from kestrel_testing.bots import Bot, BotClass

__all__ = ["GameResult", "Match", "play", "play_async"]

HOUSE = "house"  # the house bot's address in the server's game lines
_OUTCOME = re.compile(r"Player([12]) wins(?:, Player[12] forfeits: (.*))?")
# Seconds a game's line may take to appear once both sides are done: the
# server writes it as the game ends, before it closes the connections.
_LINE_GRACE = 10.0
# Seconds a side may go on once the server has ended the game: it ends by
# itself as the server closes its connection. A side caught in a turn then
# (a forfeit by move time, or an opponent gone) is let go at once instead.
_AFTER_LINE = 2.0


@dataclass(frozen=True)
class GameResult:
    """One game, from the tested bot's side."""

    seat: int  # the tested bot's seat: 0 moves first (X), 1 second (O)
    winner: int | None  # the seat that won; None for a tie or a game without a result
    moves: tuple[int, ...]  # the cells taken, in order
    forfeit: str | None = None  # why the loser lost by forfeit, as the server says ("out of time", ...)
    # What went wrong on a side played in this process, by seat: its
    # handle_turn raised ("RuntimeError: why"), answered what is no move,
    # or the game outlasted the time limit.
    errors: Mapping[int, str] = field(default_factory=dict)
    # By seat, the full traceback of what that side's handle_turn raised,
    # down to the bot's own line.
    tracebacks: Mapping[int, str] = field(default_factory=dict)

    @property
    def won(self) -> bool:
        return self.winner == self.seat

    @property
    def lost(self) -> bool:
        return self.winner == 1 - self.seat

    @property
    def tie(self) -> bool:
        return self.winner is None and not self.errors and self.forfeit is None


@dataclass(frozen=True)
class Match:
    """Every game of one `play`, in the order played."""

    games: tuple[GameResult, ...]

    @property
    def wins(self) -> int:
        return sum(g.won for g in self.games)

    @property
    def losses(self) -> int:
        return sum(g.lost for g in self.games)

    @property
    def ties(self) -> int:
        return sum(g.tie for g in self.games)


def _result(line: GameLine, seat: int, errors: dict[int, str], tracebacks: dict[int, str]) -> GameResult:
    m = _OUTCOME.fullmatch(line.outcome)
    winner = int(m.group(1)) - 1 if m else None
    return GameResult(seat, winner, line.moves, m.group(2) if m else None, errors, tracebacks)


async def _until(condition: Callable[[], bool], deadline: float) -> bool:
    loop = asyncio.get_running_loop()
    while not condition():
        if loop.time() > deadline:
            return False
        await asyncio.sleep(0.005)
    return True


class _Side:
    """One bot's part in one game, as its handle_turn wrapper sees it."""

    def __init__(self) -> None:
        self.failures: list[str] = []  # what handle_turn raised, in its own words
        self.tracebacks: list[str] = []
        self.notes: list[str] = []  # answers the module will refuse, said plainly
        self.turn: asyncio.Task[Any] | None = None  # the turn under way, if any
        self.abandoned = False

    def failed(self, e: BaseException) -> None:
        self.failures.append(f"{type(e).__name__}: {e}")
        self.tracebacks.append("".join(traceback.format_exception(e)))


def _no_move(answer: object) -> str | None:
    """The plain line for an answer the module will refuse, None for a move
    (the module takes what `__index__` makes 0 to 8 of, True included)."""
    try:
        cell = operator.index(answer)  # type: ignore[arg-type]
    except TypeError:
        cell = None
    if cell is not None and 0 <= cell <= 8:
        return None
    return f"handle_turn returned {answer!r}; a move is an int from 0 to 8"


async def _connect(bot: BotClass, url: str, side: _Side) -> None:
    """One game of a new `bot` on `url`; what its handle_turn raises or
    answers amiss goes to `side` in its own words (the module reports it
    wrapped), the answer itself going on to the module unchanged."""
    # Made inside the loop: a client may look for the running loop when made.
    player = bot()
    original = player.handle_turn

    async def turn(answer: Any) -> Any:
        if side.abandoned:
            # Scheduled by the module just before the game was let go.
            if inspect.iscoroutine(answer):
                answer.close()
            raise asyncio.CancelledError
        side.turn = asyncio.current_task()
        try:
            move = await answer
        except SystemExit as e:
            # It would end the caller's loop, and the test with it: the
            # module is given an exception that ends this game alone.
            side.failed(e)
            raise RuntimeError(f"handle_turn raised SystemExit({e.code!r})") from None
        except Exception as e:
            side.failed(e)
            raise
        finally:
            side.turn = None
        if (why := _no_move(move)) is not None:
            side.notes.append(why)
        return move

    def handle_turn(state: kestrel.PyTicTacToeState) -> Any:
        try:
            answer = original(state)
        except SystemExit as e:
            side.failed(e)
            raise RuntimeError(f"handle_turn raised SystemExit({e.code!r})") from None
        except Exception as e:
            side.failed(e)
            raise
        if inspect.isawaitable(answer):
            return turn(answer)
        # The module needs an awaitable: it fails this turn as it would
        # anywhere, and the reason is said plainly.
        side.notes.append(f"handle_turn returned {answer!r}, not an awaitable; declare it `async def`")
        return answer

    # A class with __slots__ keeps its own, and its failures stay wrapped.
    with contextlib.suppress(AttributeError):
        player.handle_turn = handle_turn  # type: ignore[method-assign]
    await player.connect(url)


async def _abandon(task: asyncio.Future[None], side: _Side) -> None:
    """Ends a side's game, then the turn it may be in: the module lets a
    turn it no longer waits for run on, and a turn that never returns would
    outlive the call."""
    side.abandoned = True
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    if side.turn is not None:
        turn = side.turn
        turn.cancel()
        await asyncio.gather(turn, return_exceptions=True)


async def _finish(
    sides: dict[int, asyncio.Future[None]], states: dict[int, _Side], over: Callable[[], bool], deadline: float
) -> set[int]:
    """Waits for every side to end; returns the sides still playing at the
    deadline, which are abandoned. Once the server has ended the game, a side
    in a turn (one that never returns, or an opponent gone while it thinks)
    is let go at once, and any other side a moment later."""
    loop = asyncio.get_running_loop()
    ended_at: float | None = None
    late: set[int] = set()
    while pending := [side for side, task in sides.items() if not task.done()]:
        now = loop.time()
        if ended_at is None and over():
            ended_at = now
        if now > deadline or (ended_at is not None and now - ended_at > _AFTER_LINE):
            late = set(pending) if ended_at is None else set()
            for side in pending:
                await _abandon(sides[side], states[side])
            break
        if ended_at is not None:
            for side in pending:
                if states[side].turn is not None:
                    await _abandon(sides[side], states[side])
        await asyncio.wait([sides[side] for side in pending], timeout=0.02)
    return late


async def _one_game(
    server: LocalServer, bot: BotClass, opponent: BotClass | None, seat: int | None, time_limit: float
) -> GameResult | None:
    """One game; None when the server wrote no line for it (so it may still
    be on, and the next game needs another server)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + time_limit
    finished = len(server.games())
    sides: dict[int, asyncio.Future[None]] = {}
    states = {-1: _Side(), 0: _Side(), 1: _Side()}
    try:
        if opponent is None:
            # Its seat is the house's choice; the game line shows it.
            sides[-1] = asyncio.ensure_future(_connect(bot, server.url, states[-1]))
        else:
            assert seat is not None
            # The server seats players in the order they join: the second joins
            # only once the first waits.
            first, second = (bot, opponent) if seat == 0 else (opponent, bot)
            waiting = sum(line.startswith("joined ") for line in server.log().splitlines())
            sides[0] = asyncio.ensure_future(_connect(first, server.url, states[0]))
            await _until(
                lambda: sides[0].done() or sum(ln.startswith("joined ") for ln in server.log().splitlines()) > waiting,
                deadline,
            )
            sides[1] = asyncio.ensure_future(_connect(second, server.url, states[1]))
        late = await _finish(sides, states, lambda: len(server.games()) > finished, deadline)
    finally:
        # Cancelled from outside: no side, nor a turn of one, outlives the call.
        for side in sides:
            await _abandon(sides[side], states[side])
    errors: dict[int, str] = {}
    tracebacks: dict[int, str] = {}
    for side, task in sides.items():
        state = states[side]
        if state.tracebacks:
            tracebacks[side] = state.tracebacks[0]
        if side in late:
            errors[side] = f"no result within the time limit of {time_limit:g} s"
        elif not task.cancelled() and (e := task.exception()) is not None:
            module = f"{type(e).__name__}: {e}"
            if state.failures:
                errors[side] = state.failures[0]
            elif state.notes:
                errors[side] = f"{state.notes[0]}\n{module}"
            else:
                errors[side] = module
    if not await _until(lambda: len(server.games()) > finished, loop.time() + _LINE_GRACE):
        return None
    line = server.games()[finished]
    if opponent is None:
        seat = line.seats.index(next(s for s in line.seats if s != HOUSE))
        errors = {seat: errors[-1]} if -1 in errors else {}
        tracebacks = {seat: tracebacks[-1]} if -1 in tracebacks else {}
    assert seat is not None
    return _result(line, seat, errors, tracebacks)


async def play_async(
    bot: Bot,
    opponent: Bot | None = None,
    *,
    games: int = 1,
    seat: int | None = None,
    move_time: float | None = None,
    time_limit: float = 30.0,
    binary: str | os.PathLike[str] | None = None,
) -> Match:
    """`play` for code already inside a running event loop."""
    if isinstance(games, bool) or not isinstance(games, int) or games < 1:
        raise ValueError(f"games must be a positive int, not {games!r}")
    if seat not in (0, 1, None):
        raise ValueError(f"seat must be 0, 1 or None (alternate), not {seat!r}")
    if not time_limit > 0:
        raise ValueError(f"time_limit must be a positive number of seconds, not {time_limit!r}")
    bot_class = load_bot(bot)
    opponent_class = load_bot(opponent) if opponent is not None else None
    house_seat = None if seat is None or opponent_class is not None else 1 - seat
    results: list[GameResult] = []
    while len(results) < games:
        async with serve_async(
            house_bot=opponent_class is None, house_seat=house_seat, move_time=move_time, binary=binary
        ) as server:
            while len(results) < games:
                this_seat = seat if seat is not None else len(results) % 2
                result = await _one_game(server, bot_class, opponent_class, this_seat, time_limit)
                if result is None:
                    which = this_seat if opponent_class is not None else 0
                    results.append(
                        GameResult(which, None, (), None, {which: "the server wrote no result for the game"})
                    )
                    break  # on a new server, no leftover of this game can join the next
                results.append(result)
    return Match(tuple(results))


def play(
    bot: Bot,
    opponent: Bot | None = None,
    *,
    games: int = 1,
    seat: int | None = None,
    move_time: float | None = None,
    time_limit: float = 30.0,
    binary: str | os.PathLike[str] | None = None,
) -> Match:
    """Plays `bot` (a TicTacToeClient subclass, or a file "bot.py" or
    "bot.py:ClassName") for `games` games, one after another, against the
    server's house bot, or against `opponent` (a bot given the same way),
    on a kestrel-server of its own; returns every game's result.

    seat: the tested bot's seat in every game, 0 (moves first) or 1; None
    alternates, starting with 0 against another bot (the house bot's server
    decides the order against it); move_time: seconds a side may take over
    a move before the server makes it forfeit; time_limit: seconds a whole
    game may last before the kit abandons it (recorded in `errors`).

    Runs an event loop of its own, so it is for synchronous code such as a
    plain pytest test; inside a running loop, `await play_async(...)`."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        raise RuntimeError("play() runs its own event loop; inside a running one, use `await play_async(...)`")
    # A loop of its own, never made the thread's current one, so the loop a
    # test framework (pytest-asyncio, anyio) keeps for the thread is untouched.
    with asyncio.Runner(loop_factory=asyncio.new_event_loop) as runner:
        return runner.run(
            play_async(bot, opponent, games=games, seat=seat, move_time=move_time, time_limit=time_limit, binary=binary)
        )
