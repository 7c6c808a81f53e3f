"""The bots' processes. A process loads its bot once and plays the games it
is handed one after another (see kestrel_arena.player), so that a game costs
a connection, not an interpreter's start-up; a process whose game went wrong
in any way is stopped and the next game gets a fresh one. With
`fresh=True` every game gets a process of its own, as a bot that must start
clean needs.

Every process runs in a session of its own, so a Ctrl-C at the terminal
reaches the arena alone, which stops them in order.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import re
import signal
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from kestrel_arena.player import (
    ANSWER_PREFIX,
    CHANNEL_FLAG,
    LOAD_FAILED,
    LOAD_FAILED_PREFIX,
    NO_OPENING,
    NOT_A_CELL_SUFFIX,
    OVER,
    PARENT_FLAG,
    PLAY,
    RAISED,
    READY,
    THINK,
)
from kestrel_arena.seeds import hash_seed, process_seed

BUSY_WAIT = 0.05  # seconds a game waits for a busy bot's process before starting another
Output = tuple[str, str, list[float]]  # a game's stderr, stdout and think times (seconds per move)
PYTHON_ERROR = re.compile(r"PyErr \{ type: .*?, value: (.*?), traceback: ")
# Characters of a bot's stderr (and of its stdout) kept per game: a bot in a loop of prints must not fill the disk.
STDERR_KEPT = 64 * 1024
# The module's own lines on stdout, which say nothing the game record does not (one names the seat's token).
MODULE_LINE = re.compile(
    r"^(Connected to .*|Waiting for game to start|Game started, player id: \d+|Tie|Player[12] wins!)$"
)


@dataclass
class Bot:
    name: str
    spec: str  # FILE.py or FILE.py:CLASS, as given
    # Set once the bot has shown it cannot play at all (it does not load, or
    # never joins): its remaining games are forfeited without being played.
    disqualified: str | None = None


class Watch:
    """Conditions waited on, each looked at again whenever `news` is called
    (a line from a process, its end, a process given back): the cost is one
    look per waiter per news, and nothing at all while nobody waits."""

    def __init__(self) -> None:
        self._waiting: list[tuple[Callable[[], object], asyncio.Future[None]]] = []

    def news(self) -> None:
        if not self._waiting:
            return
        still = []
        for condition, future in self._waiting:
            if future.done():
                continue
            if condition():
                future.set_result(None)
            else:
                still.append((condition, future))
        self._waiting = still

    async def until(self, condition: Callable[[], object], timeout: float) -> bool:
        """True once `condition` holds; False after `timeout` seconds."""
        if condition():
            return True
        future: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._waiting.append((condition, future))
        try:
            async with asyncio.timeout(timeout):
                await future
        except TimeoutError:
            return bool(condition())
        return True


class BotProcess:
    """One bot's process, its output collected as it comes; what belongs to
    the game it plays now starts at `mark`."""

    def __init__(self, bot: Bot, hash_text: str) -> None:
        self.bot = bot
        self._hash_text = hash_text  # what its PYTHONHASHSEED comes from
        self.out: list[str] = []
        self.err: list[str] = []
        self.replies: list[str] = []
        self.games = 0  # games handed to it
        self._marks = (0, 0, 0)
        self._process: asyncio.subprocess.Process | None = None
        self._tasks: list[asyncio.Task[object]] = []
        self._seed = ""
        self._opening = NO_OPENING
        self._watch = Watch()  # told of each line it writes, and of its end
        self.exited: asyncio.Future[None] | None = None  # done once it has ended and its output is read
        self._ended = False

    async def start(self) -> BotProcess:
        read_end, write_end = os.pipe()
        # Unbuffered, so that what a bot prints lands in the game it printed it in.
        env = {**os.environ, "PYTHONHASHSEED": hash_seed(self._hash_text), "PYTHONUNBUFFERED": "1"}
        try:
            self._process = await asyncio.create_subprocess_exec(
                sys.executable,
                "-m",
                "kestrel_arena.player",
                CHANNEL_FLAG,
                str(write_end),
                PARENT_FLAG,
                str(os.getpid()),
                self.bot.spec,
                stdin=asyncio.subprocess.PIPE,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
                env=env,
                start_new_session=True,
                pass_fds=(write_end,),
            )
        finally:
            os.close(write_end)
        channel = asyncio.StreamReader()
        loop = asyncio.get_running_loop()
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(channel), os.fdopen(read_end, "rb"))
        self.exited = asyncio.get_running_loop().create_future()
        self._tasks = [
            asyncio.create_task(self._pump(self._process.stdout, self.out)),
            asyncio.create_task(self._pump(self._process.stderr, self.err)),
            asyncio.create_task(self._pump(channel, self.replies)),
            asyncio.create_task(self._watch_exit()),
        ]
        return self

    async def _pump(self, stream: asyncio.StreamReader | None, lines: list[str]) -> None:
        assert stream is not None
        async for raw in stream:
            lines.append(raw.decode(errors="replace").rstrip("\r\n"))
            self._watch.news()
        self._watch.news()

    async def _watch_exit(self) -> None:
        assert self._process is not None
        await self._process.wait()
        await asyncio.wait(self._tasks[:3])
        self._ended = True
        self._watch.news()
        if self.exited is not None and not self.exited.done():
            self.exited.set_result(None)

    async def wait_until(self, condition: Callable[[], object], timeout: float) -> bool:
        """True once `condition` holds, looked at whenever the process writes a line or ends; False after `timeout`."""
        return await self._watch.until(condition, timeout)

    async def ended(self) -> None:
        """Returns once the process has ended and its output is read (a cancel
        of this wait leaves the reading alone)."""
        await asyncio.wait(self._tasks)

    def begin(self, seed: str, opening: Sequence[int] = ()) -> None:
        """Hands it a game: `go` lets it connect and join with `seed` for `random`, the `opening` played for it."""
        self.games += 1
        self._seed = seed
        self._opening = ",".join(map(str, opening)) or NO_OPENING
        self._marks = (len(self.out), len(self.err), len(self.replies))

    def ready(self) -> bool:
        """Loaded and done with every earlier game: it can join."""
        return READY in self.replies and self.replies.count(OVER) >= self.games - 1

    def over(self) -> bool:
        return self.replies.count(OVER) >= self.games

    def settled(self) -> bool | None:
        """True once the bot is ready to join or its process has ended."""
        return True if self.ready() or self.exit_code is not None else None

    def go(self, url: str) -> None:
        """Lets it connect to `url` (its seat) and play."""
        assert self._process is not None and self._process.stdin is not None
        with contextlib.suppress(ConnectionError):  # it ended already; its exit tells why
            self._process.stdin.write(f"{PLAY} {self._seed} {url} {self._opening}\n".encode())

    @property
    def exit_code(self) -> int | None:
        """Set once the process has ended and its output is read."""
        if self._process is None or not self._ended:
            return None
        return self._process.returncode

    def game_stderr(self) -> str:
        """What it wrote to stderr since its game began, the end kept when there is too much."""
        return bounded(self.err[self._marks[1] :])

    def game_stdout(self) -> str:
        """What the bot printed since its game began, without the module's own lines."""
        return bounded([line for line in self.out[self._marks[0] :] if not MODULE_LINE.match(line)])

    def output(self) -> Output:
        think = [float(r[len(THINK) + 1 :]) for r in self.replies[self._marks[2] :] if r.startswith(THINK + " ")]
        return self.game_stderr(), self.game_stdout(), think

    def raised(self) -> str | None:
        """The name of the exception its handle_turn raised in this game, if it raised."""
        said = next((r for r in self.replies[self._marks[2] :] if r.startswith(RAISED + " ")), None)
        return None if said is None else said[len(RAISED) + 1 :]

    def answered_no_cell(self) -> bool:
        return any(
            line.startswith(ANSWER_PREFIX) and line.endswith(NOT_A_CELL_SUFFIX) for line in self.err[self._marks[1] :]
        )

    def crashed(self) -> bool:
        """Its process ended badly through no move of the bot's: not a raise
        from handle_turn, not an answer that is no cell."""
        code = self.exit_code
        return code not in (None, 0) and self.raised() is None and not self.answered_no_cell()

    def failure(self) -> str:
        """Why the process ended badly, from its exit status and last stderr line."""
        code = self.exit_code
        err = self.err[self._marks[1] :]
        last = next((line.strip() for line in reversed(err) if line.strip()), "")
        if code == LOAD_FAILED and last.startswith(LOAD_FAILED_PREFIX):
            return "failed to load: " + shorten(last[len(LOAD_FAILED_PREFIX) :])
        if code is None:
            return "still running"
        # The arena's own player said what the bot answered that was no cell.
        for line in err:
            if line.startswith(ANSWER_PREFIX) and line.endswith(NOT_A_CELL_SUFFIX):
                return shorten(line[len(ANSWER_PREFIX) :])
        # An exception from handle_turn reaches stderr wrapped in the module's
        # panic report; the Python exception inside says what happened.
        if (name := self.raised()) is not None:
            found = next((m for line in reversed(err) if (m := PYTHON_ERROR.search(line))), None)
            return shorten("handle_turn raised " + (found.group(1) if found else name))
        if found := PYTHON_ERROR.search(last):
            last = "handle_turn raised " + found.group(1)
        return f"crashed (exit {code})" + (f": {shorten(last)}" if last else "")

    async def stop(self, grace: float) -> None:
        """Ends its input, lets the process end by itself within `grace` seconds, then kills it."""
        if self._process is None:
            return
        if self._process.stdin is not None:
            with contextlib.suppress(ConnectionError, RuntimeError):
                self._process.stdin.close()
        try:
            await asyncio.wait_for(self._process.wait(), grace)
        except TimeoutError:
            self.kill()
            await self._process.wait()
        await asyncio.gather(*self._tasks)

    def kill(self) -> None:
        """Kills the process and whatever it started (its session's group)."""
        if self._process is not None and self._process.returncode is None:
            with contextlib.suppress(ProcessLookupError, PermissionError):  # it ended meanwhile
                os.killpg(self._process.pid, signal.SIGKILL)


def bounded(lines: list[str]) -> str:
    text = "".join(line + "\n" for line in lines)
    return text if len(text) <= STDERR_KEPT else "…\n" + text[-STDERR_KEPT:]


def shorten(text: str, limit: int = 160) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"


class Pool:
    """Each bot's idle processes, and every process started, so that none is left behind."""

    def __init__(self, run_seed: str, fresh: bool) -> None:
        self.fresh = fresh
        self._run_seed = run_seed
        self._idle: dict[str, list[BotProcess]] = {}
        self.live: set[BotProcess] = set()
        self._freed = Watch()  # told whenever a process is given back

    def can_serve_at_once(self, bot: Bot) -> bool:
        """True when `bot` has an idle process, or none at all (so a new one starts either way). A bot
        whose processes are all busy is better waited for: one is usually free again within
        milliseconds, and a new process costs an interpreter's start-up."""
        if self.fresh or any(p.exit_code is None for p in self._idle.get(bot.name, [])):
            return True
        return not any(p.bot.name == bot.name for p in self.live)

    async def take(self, bot: Bot, game_seed: str) -> BotProcess:
        """An idle process of `bot`, else a new one (loading while other games play). A bot busy in
        other games is waited for a little first: a quick game frees its process within milliseconds."""
        if not self.can_serve_at_once(bot):
            await self._freed.until(lambda: self.can_serve_at_once(bot), BUSY_WAIT)
        idle = self._idle.setdefault(bot.name, [])
        while idle and not self.fresh:
            proc = idle.pop()
            if proc.exit_code is None:
                return proc
        proc = BotProcess(bot, game_seed if self.fresh else process_seed(self._run_seed, bot.name))
        self.live.add(proc)
        return await proc.start()

    async def give_back(self, proc: BotProcess, healthy: bool, grace: float) -> Output:
        """After its game: kept for the next one when its game went well and it said so within
        `grace` seconds; else stopped, given `grace` seconds to end by itself (to finish its traceback).
        What it wrote to stderr in the game and its moves' think times, taken before another game can begin."""
        if healthy and not self.fresh:
            if await proc.wait_until(proc.over, grace) and proc.exit_code is None:
                output = proc.output()
                self._idle.setdefault(proc.bot.name, []).append(proc)
                self._freed.news()
                return output
        await proc.stop(grace)
        self.live.discard(proc)
        self._freed.news()
        return proc.output()

    async def close(self, grace: float = 0) -> None:
        """Stops every process: with `grace`, each is first let end by itself as at the end of its
        input (a bot's exit handlers run), then killed; without, killed at once."""
        if grace:
            await asyncio.gather(*(proc.stop(grace) for proc in self.live))
        for proc in self.live:
            proc.kill()
        for proc in self.live:
            await proc.stop(0)
        self.live.clear()
        self._idle.clear()
