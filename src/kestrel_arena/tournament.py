"""Plays the games: one kestrel-server on a free port, then every pair of bots
the given (even) number of times with seats alternating, up to `concurrency`
games at a time, the bots in processes that play game after game
(kestrel_arena.bot_process).

Each game is announced to the server under its number, with a one-use
token per seat: both bots are let connect at once, the server holds each for
its seat, and it reports the game's outcome as data (kestrel_arena.
arena_server). Games in parallel never meet: nothing is shared but the
server. Loading bots and playing go on in parallel.
"""

from __future__ import annotations

import asyncio
import itertools
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from kestrel_arena.arena_server import ArenaError, Cancelled, Server, ServerResult, find_server
from kestrel_arena.bot_process import Bot, BotProcess, Output, Pool
from kestrel_arena.judge import judge, mistakes
from kestrel_arena.live import WebRun
from kestrel_arena.openings import BALANCED, opening_for
from kestrel_arena.results import GameRecord
from kestrel_arena.seeds import game_seed

__all__ = ["ArenaError", "Bot", "Limits", "Scheduled", "find_server", "run_tournament", "schedule"]
GIVE_BACK_GRACE = 3.0  # seconds for a bot to say its game is over once the server has decided it
# Seconds the server has to report a game whose bot's process ended before it started: one that
# had joined is forfeited at once; one that never did leaves its game to the join limit.
EXIT_GRACE = 2.0


@dataclass
class Limits:
    move_time: float  # seconds per move, enforced by the server
    join_time: float  # seconds for a bot's process to start and join


def forfeited(number: int, seats: tuple[Bot, Bot], losers: list[Bot], reasons: dict[str, str]) -> GameRecord:
    """A game decided before the server could start it."""
    names = (seats[0].name, seats[1].name)
    if len(losers) == 2:
        return GameRecord(number, names, None, None, "both forfeit", reasons[losers[0].name], True, problems=reasons)
    loser = losers[0]
    winner = seats[1] if loser is seats[0] else seats[0]
    return GameRecord(
        number, names, winner.name, loser.name, f"{winner.name} wins", reasons[loser.name], True, problems=reasons
    )


@dataclass(frozen=True)
class Scheduled:
    number: int  # the game's place in the schedule, from 1
    seats: tuple[Bot, Bot]
    opening: tuple[int, ...] = ()  # the first cells, played for the bots


async def launch(game: Scheduled, seed: str, pool: Pool) -> list[BotProcess]:
    """A process for each seat, loading its bot if new, handed the game: it joins when told to."""
    if any(b.disqualified for b in game.seats):
        return []
    taken: list[BotProcess] = []
    for seat, bot in enumerate(game.seats):
        seeded = game_seed(seed, game.number, seat)
        proc = await pool.take(bot, seeded)
        proc.begin(seeded, game.opening)
        taken.append(proc)
    return taken


async def play_game(server: Server, game: Scheduled, bots: list[BotProcess], limits: Limits, pool: Pool) -> GameRecord:
    """Plays one game with the processes `launch` handed it and gives them
    back to `pool`, each kept only if its game went well; the record holds
    what each bot wrote to stderr and how long each of its moves took."""
    record = await played(server, game, bots, limits, pool)
    record.opening = list(game.opening)
    record.judged = [list(pair) for pair in judge(record.moves)]
    record.mistakes = mistakes(record.moves, len(game.opening))
    return record


async def played(server: Server, game: Scheduled, bots: list[BotProcess], limits: Limits, pool: Pool) -> GameRecord:
    try:
        outcome = await contest(server, game, bots, limits)
    except BaseException:
        for proc in bots:
            await pool.give_back(proc, False, 0)
        raise
    if isinstance(outcome, GameRecord):
        return with_output(outcome, bots, [await pool.give_back(proc, False, 0) for proc in bots])
    result = outcome
    # A bot that forfeited (out of time: it is stuck in its turn) plays its next game in a fresh process.
    lost = [result.forfeit and result.winner != side for side in (0, 1)]
    stuck = [lost[side] and result.reason == "out of time" for side in (0, 1)]
    outputs = await asyncio.gather(
        *(pool.give_back(bots[side], not lost[side], 0 if stuck[side] else GIVE_BACK_GRACE) for side in (0, 1))
    )
    return with_output(record_game(game.number, game.seats, bots, result, limits), bots, outputs)


def with_output(record: GameRecord, bots: list[BotProcess], outputs: list[Output]) -> GameRecord:
    for proc, (stderr, stdout, think) in zip(bots, outputs, strict=True):
        if stderr:
            record.stderr[proc.bot.name] = stderr
        if stdout:
            record.stdout[proc.bot.name] = stdout
        if think:
            record.think_times[proc.bot.name] = [round(t, 4) for t in think]
    return record


async def contest(server: Server, game: Scheduled, bots: list[BotProcess], limits: Limits) -> GameRecord | ServerResult:
    """The server's result, or the record of a game decided before it started."""
    number, seats = game.number, game.seats
    out = [b for b in seats if b.disqualified]
    if out or not bots:
        record = forfeited(number, seats, out, {b.name: b.disqualified or "" for b in out})
        record.crashed = [b.name for b in out]
        return record
    # One after the other against one deadline: mostly both are settled already, and nothing is awaited.
    deadline = asyncio.get_running_loop().time() + limits.join_time
    for proc in bots:
        await proc.wait_until(proc.settled, max(0.0, deadline - asyncio.get_running_loop().time()))
    if unready := [side for side, proc in enumerate(bots) if not proc.ready()]:
        return decide_unstarted(number, seats, bots, unready, limits)
    urls, outcome = server.announce(number, (seats[0].name, seats[1].name))
    for proc, url in zip(bots, urls, strict=True):
        proc.go(url)
    exits = [proc.exited for proc in bots if proc.exited is not None]
    limit = 9 * limits.move_time + limits.join_time + 10
    await asyncio.wait([outcome, *exits], timeout=limit, return_when=asyncio.FIRST_COMPLETED)
    if not outcome.done() and any(e.done() for e in exits):
        await asyncio.wait([outcome], timeout=EXIT_GRACE)
    if not outcome.done():
        if not any(proc.exit_code is not None for proc in bots):
            raise ArenaError(f"kestrel-server reported no result for game {number}:\n" + "\n".join(server.lines[-20:]))
        # Ended before its game started: the game is the arena's to decide, whatever the server does with it.
        server.forget(number)
        outcome.cancel()
        return decide_unstarted(number, seats, bots, [s for s, p in enumerate(bots) if p.exit_code is not None], limits)
    result = outcome.result()
    if isinstance(result, Cancelled):
        return decide_unstarted(number, seats, bots, [s for s in (0, 1) if s not in result.joined], limits)
    return result


def decide_unstarted(
    number: int, seats: tuple[Bot, Bot], bots: list[BotProcess], sides: list[int], limits: Limits
) -> GameRecord:
    """No game on the server: the bots on `sides` never got as far as joining."""
    reasons = {}
    for side in sides:
        proc = bots[side]
        reason = f"did not join within {limits.join_time:g} s" if proc.exit_code is None else proc.failure()
        if disqualifies(reason):
            seats[side].disqualified = reason
        reasons[seats[side].name] = reason
    record = forfeited(number, seats, [seats[side] for side in sides], reasons)
    # A bot that never got as far as its game played no move: whatever stopped it, that is no play.
    record.crashed = [seats[side].name for side in sides]
    return record


def disqualifies(reason: str) -> bool:
    """A bot that failed so cannot play at all: its remaining games are forfeited unplayed."""
    return reason.startswith(("did not join within", "failed to load"))


def record_game(
    number: int, seats: tuple[Bot, Bot], bots: list[BotProcess], result: ServerResult, limits: Limits
) -> GameRecord:
    names = (seats[0].name, seats[1].name)
    problems: dict[str, str] = {}
    if result.winner is None:
        winner = loser = None
        verdict = "draw"
    else:
        winner, loser = names[result.winner], names[1 - result.winner]
        verdict = f"{winner} wins"
    if result.forfeit:
        assert loser is not None
        proc = bots[1 - result.winner] if result.winner is not None else bots[0]
        if result.reason == "out of time":
            problems[loser] = f"out of time (no move within {limits.move_time:g} s)"
        elif result.reason == "disconnected" and proc.exit_code not in (None, 0):
            problems[loser] = proc.failure()
        else:
            problems[loser] = result.reason
    # A process that died mid-game lost it by no move of its bot's.
    crashed = [
        names[side]
        for side in (0, 1)
        if names[side] == loser and result.reason == "disconnected" and bots[side].crashed()
    ]
    return GameRecord(
        game=number,
        seats=names,
        winner=winner,
        loser=loser,
        result=verdict,
        reason=result.reason,
        forfeit=result.forfeit,
        moves=result.moves,
        server_game=result.server_game,
        addresses=result.addresses,
        problems=problems,
        crashed=crashed,
    )


def schedule(
    bots: list[Bot], games_per_pair: int, seed: str = "", openings: int = 0, choice: str = BALANCED
) -> list[Scheduled]:
    """Round by round, so every pair has played about as often at any point;
    within a pair the seats alternate, the first-named bot moving first in
    the pair's first game, so that with an even count each bot moves first in
    half its games against each opponent. With `openings`, each two games of
    a pair that swap seats start with the same that many moves, balanced ones
    unless `choice` is UNIFORM."""
    pairs = list(itertools.combinations(bots, 2))
    plan: list[Scheduled] = []
    for k in range(games_per_pair):
        for a, b in pairs:
            opening = opening_for(seed, a.name, b.name, k // 2, openings, choice)
            plan.append(Scheduled(len(plan) + 1, (a, b) if k % 2 == 0 else (b, a), opening))
    return plan


async def run_tournament(
    server_binary: Path,
    plan: list[Scheduled],
    limits: Limits,
    on_game: Callable[[GameRecord], None],
    concurrency: int = 1,
    seed: str = "",
    web: WebRun | None = None,
    fresh: bool = False,
    stop: Callable[[], bool] = lambda: False,
) -> None:
    """Plays the games of `plan`, `concurrency` at a time, calling `on_game`
    as each ends (so not in the plan's order when several run). Stopped by an
    error or by cancelling, it stops the server and every bot process first.
    With `web`, the server shows the run, and once every game is played it
    stays up until `web.finish` returns. `fresh`: a process per game.
    Once `stop` is true no further game starts (those playing end)."""
    pending = list(reversed(plan))
    pool = Pool(seed, fresh)

    async def worker(server: Server) -> None:
        # The next game is handed to its processes (a new one loads) while the
        # current one plays, unless a bot of it is busy: then at its turn.
        upcoming: tuple[Scheduled, list[BotProcess] | None] | None = None
        while (pending or upcoming) and not stop():
            if upcoming is None:
                game = pending.pop()
                upcoming = game, await launch(game, seed, pool)
            (game, current), upcoming = upcoming, None
            if current is None:
                current = await launch(game, seed, pool)
            if pending:
                following = pending.pop()
                ahead = all(pool.can_serve_at_once(bot) for bot in following.seats)
                upcoming = following, await launch(following, seed, pool) if ahead else None
            if not server.running():
                raise ArenaError("kestrel-server ended during the tournament:\n" + "\n".join(server.lines[-20:]))
            on_game(await play_game(server, game, current, limits, pool))

    async with Server(server_binary, limits.move_time, limits.join_time, web) as server:
        try:
            async with asyncio.TaskGroup() as group:
                for _ in range(min(concurrency, len(plan)) or 1):
                    group.create_task(worker(server))
            await pool.close(GIVE_BACK_GRACE)
            if web:
                await web.finish()
        except BaseExceptionGroup as group_error:
            # One worker's failure (the server ended) stops the rest; say that one.
            errors = [e for e in group_error.exceptions if not isinstance(e, asyncio.CancelledError)]
            raise errors[0] if errors else group_error from None
        finally:
            await pool.close()
