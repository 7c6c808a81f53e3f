"""kestrel side by side with the clients a user would write instead.

    python bench/compare.py [--build-dir DIR] [--rounds 5] [--games 2000]
                            [--latency-games 300] [--sessions 1,64,512]
                            [--idle 2000] [--clients kestrel,websockets,aiohttp]
                            [--measure latency,throughput,memory,startup]
                            [--label TEXT] [--json PATH] [--png PATH] [--quick]
    python bench/compare.py --replot bench/results/compare.json

The same first-free player is written three ways -- a `kestrel.TicTacToeClient`
subclass, a hand-written `websockets` client and a hand-written `aiohttp`
client -- and every figure is taken for all three in one run, the clients
taking turns measurement by measurement (the first client rotates per round),
each measurement in a fresh child process so that its CPU time and memory are
that client's alone. Figures are medians over --rounds with min and max, and
ratios to kestrel (client / kestrel):

  turn latency   p50/p99 of the time from a measuring server writing its move
                 to the client's reply arriving there, over --latency-games
                 sequential games; the measuring server is a separate process,
                 plain asyncio with minimal frame code, the same for all clients.
  throughput     whole games per second with 1, 64 and 512 sessions at once
                 in one process (each replaced when its game ends) until
                 --games games, against `kestrel-server --house-bot`.
  CPU            user+system seconds of the client process per 1,000 of those
                 games (all its threads).
  idle memory    resident-set growth per session with --idle sessions joined
                 and waiting for a start that never comes (a measuring server
                 that takes the join and then stays silent).
  start-up       import asyncio + the client library + the first connection
                 open, in a fresh interpreter ("Connected to" for kestrel).

kestrel and kestrel-server come from --build-dir / $KESTREL_BUILD_DIR when
given, otherwise from the installed package and the `kestrel-server` beside
this Python or on PATH. Nothing is built. --quick is a smoke run (< 1 minute).
Writes a table to stdout, JSON to --json and a chart to --png.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import hashlib
import json
import math
import os
import platform
import resource
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from kestrel_wire import read_varint

from kestrel_arena.board import over
from kestrel_arena.server_binary import SERVER_EXE, first_executable, server_candidates
from kestrel_arena.server_process import ServerProcess

HERE = Path(__file__).resolve().parent

CLIENTS = ("kestrel", "websockets", "aiohttp")
MEASURES = ("latency", "throughput", "memory", "startup")
JOIN = b"\x00\x00"
CHILD_TIMEOUT = 600.0  # generous: only there so that a stuck child cannot hang the run


# ---------------------------------------------------------------- shared game


class FirstFreeGame:
    """The hand-written clients' side of one game: feed it each binary message,
    send back what it returns. Plays the first free cell."""

    __slots__ = ("board", "seat", "mover")

    def __init__(self) -> None:
        self.board: list[int | None] = [None] * 9
        self.seat = -1
        self.mover = 0

    def on_message(self, data: bytes) -> bytes | None:
        if self.seat < 0:
            if len(data) < 2 or data[0] != 0:
                return None
            self.seat, _ = read_varint(data, 1)
            return self._move() if self.seat == 0 else None
        cell = data[0]
        self.board[cell] = self.mover
        self.mover ^= 1
        return None if over(self.board) else self._move()

    def _move(self) -> bytes:
        cell = self.board.index(None)
        self.board[cell] = self.mover
        self.mover ^= 1
        return bytes((cell,))


# ---------------------------------------------------------------- clients
# Each runs in a child process; `game` plays one whole game, `idle` joins and
# then waits for ever.


class KestrelClient:
    async def __aenter__(self) -> KestrelClient:
        import kestrel

        class FirstFree(kestrel.TicTacToeClient):
            async def handle_turn(self, state: Any) -> int:
                return state.board.index(None)

        self.player = FirstFree
        return self

    async def __aexit__(self, *exc: object) -> None:
        pass

    async def game(self, url: str) -> None:
        await self.player().connect(url)

    async def idle(self, url: str) -> None:
        await self.player().connect(url)


class WebsocketsClient:
    async def __aenter__(self) -> WebsocketsClient:
        from websockets.asyncio.client import connect

        self.connect = connect
        return self

    async def __aexit__(self, *exc: object) -> None:
        pass

    def _open(self, url: str) -> Any:
        return self.connect(url, compression=None, proxy=None)

    async def game(self, url: str) -> None:
        async with self._open(url) as ws:
            await ws.send(JOIN)
            game = FirstFreeGame()
            async for message in ws:
                if isinstance(message, bytes) and (reply := game.on_message(message)):
                    await ws.send(reply)

    async def idle(self, url: str) -> None:
        async with self._open(url) as ws:
            await ws.send(JOIN)
            await ws.recv()


class AiohttpClient:
    async def __aenter__(self) -> AiohttpClient:
        import aiohttp

        self.binary = aiohttp.WSMsgType.BINARY
        # One session for every connection; no pool limit, since each
        # WebSocket holds its connection for the whole game.
        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0))
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.session.close()

    async def game(self, url: str) -> None:
        async with self.session.ws_connect(url, compress=0) as ws:
            await ws.send_bytes(JOIN)
            game = FirstFreeGame()
            async for message in ws:
                if message.type == self.binary and (reply := game.on_message(message.data)):
                    await ws.send_bytes(reply)

    async def idle(self, url: str) -> None:
        async with self.session.ws_connect(url, compress=0) as ws:
            await ws.send_bytes(JOIN)
            await ws.receive()


CLIENT_CLASSES: dict[str, type[Any]] = {
    "kestrel": KestrelClient,
    "websockets": WebsocketsClient,
    "aiohttp": AiohttpClient,
}

# Start-up is timed in a bare interpreter, so nothing this file imports is
# preloaded. Each prints its monotonic clock before the imports on stderr;
# the parent notes when "Connected to" reaches it.
STARTUP = {
    "kestrel": """
import asyncio
import kestrel

class FirstFree(kestrel.TicTacToeClient):
    async def handle_turn(self, state):
        return state.board.index(None)

async def main():
    await FirstFree().connect(URL)
""",
    "websockets": """
import asyncio
from websockets.asyncio.client import connect

async def main():
    async with connect(URL, compression=None, proxy=None):
        print("Connected to " + URL, flush=True)
""",
    "aiohttp": """
import asyncio
import aiohttp

async def main():
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(URL, compress=0):
            print("Connected to " + URL, flush=True)
""",
}


def startup_program(client: str, url: str) -> str:
    return (
        "import sys, time\nt0 = time.monotonic()\n"
        f"URL = {url!r}\n{STARTUP[client]}\nasyncio.run(main())\n"
        "sys.stderr.write(f'\\nt0 {t0!r}\\n')\n"
    )


# ---------------------------------------------------------------- child side


def raise_nofile() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


async def play_games(client: Any, url: str, games: int, sessions: int) -> None:
    remaining = iter(range(games))

    async def session() -> None:
        for _ in remaining:
            await client.game(url)

    await asyncio.gather(*(session() for _ in range(min(sessions, games))))


async def child_throughput(spec: dict[str, Any], report: Any) -> None:
    async with CLIENT_CLASSES[spec["client"]]() as client:
        sessions = spec["sessions"]
        await play_games(client, spec["url"], max(20, sessions), sessions)  # warm-up
        cpu, start = cpu_seconds(), time.perf_counter()
        await play_games(client, spec["url"], spec["games"], sessions)
        elapsed, cpu = time.perf_counter() - start, cpu_seconds() - cpu
    report({"seconds": elapsed, "cpu": cpu, "games": spec["games"]})


async def child_latency(spec: dict[str, Any], report: Any) -> None:
    async with CLIENT_CLASSES[spec["client"]]() as client:
        for _ in range(spec["games"]):
            await client.game(spec["url"])
    report({"done": True})


async def child_idle(spec: dict[str, Any], report: Any) -> None:
    """Opens `warm` sessions, reports, waits for "go", notes RSS, opens `count`
    more, reports, waits for "measure", notes RSS again."""
    import gc
    import threading

    loop = asyncio.get_running_loop()
    commands: asyncio.Queue[str] = asyncio.Queue()

    def read_commands() -> None:
        for line in sys.stdin:
            loop.call_soon_threadsafe(commands.put_nowait, line.strip())

    threading.Thread(target=read_commands, daemon=True).start()
    async with CLIENT_CLASSES[spec["client"]]() as client:
        tasks = [asyncio.ensure_future(client.idle(spec["url"])) for _ in range(spec["warm"])]
        report({"phase": "warm"})
        assert await commands.get() == "go"
        gc.collect()
        before = rss_kib()
        tasks += [asyncio.ensure_future(client.idle(spec["url"])) for _ in range(spec["count"])]
        report({"phase": "opened"})
        assert await commands.get() == "measure"
        gc.collect()
        after = rss_kib()
        failed = [t for t in tasks if t.done()]
        report({"phase": "done", "before_kib": before, "after_kib": after, "ended": len(failed)})
        os._exit(0)  # the sessions are abandoned, not closed


def run_child(spec: dict[str, Any]) -> None:
    raise_nofile()
    out = os.fdopen(spec["report_fd"], "w", buffering=1)

    def report(item: dict[str, Any]) -> None:
        out.write(json.dumps(item) + "\n")
        out.flush()

    body = {"throughput": child_throughput, "latency": child_latency, "idle": child_idle}[spec["task"]]
    asyncio.run(body(spec, report))


# ---------------------------------------------------------------- measuring server


def frame(opcode: int, payload: bytes) -> bytes:
    """An unmasked server frame (payloads here are always short)."""
    return bytes((0x80 | opcode, len(payload))) + payload


class MeasuringConnection(asyncio.Protocol):
    """One connection to the measuring server, an asyncio protocol: a
    minimal WebSocket server side that either plays first-free at once and
    times the client's replies ("latency") or takes the join and then stays
    silent ("idle")."""

    GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

    def __init__(self, server: MeasuringServer) -> None:
        super().__init__()
        self.server = server
        self.buffer = bytearray()
        self.upgraded = False
        self.game: list[int | None] | None = None
        self.client_seat = 0
        self.mover = 0
        self.sent_at = 0
        self.closing = False
        self.transport: Any = None

    def connection_made(self, transport: Any) -> None:  # type: ignore[override]
        self.transport = transport

    def connection_lost(self, exc: Exception | None) -> None:
        if self.game is not None:
            self.server.game_ended()

    def eof_received(self) -> bool:
        return False

    def data_received(self, data: bytes) -> None:
        now = time.perf_counter_ns()
        self.buffer += data
        if not self.upgraded:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            request = bytes(self.buffer[:end])
            del self.buffer[: end + 4]
            key = b""
            for line in request.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"sec-websocket-key":
                    key = value.strip()
            accept = base64.b64encode(hashlib.sha1(key + self.GUID).digest())
            self.transport.write(
                b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n"
            )
            self.upgraded = True
        while len(self.buffer) >= 2:
            size = self.buffer[1] & 0x7F
            at = 2
            if size == 126:
                size, at = int.from_bytes(self.buffer[2:4], "big"), 4
            elif size == 127:
                size, at = int.from_bytes(self.buffer[2:10], "big"), 10
            masked = self.buffer[1] & 0x80
            if len(self.buffer) < at + (4 if masked else 0) + size:
                return
            opcode = self.buffer[0] & 0x0F
            if masked:
                mask = self.buffer[at : at + 4]
                at += 4
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(self.buffer[at : at + size]))
            else:
                payload = bytes(self.buffer[at : at + size])
            del self.buffer[: at + size]
            self.on_frame(opcode, payload, now)

    def on_frame(self, opcode: int, payload: bytes, now: int) -> None:
        if opcode == 0x9:
            self.transport.write(frame(0xA, payload))
        elif opcode == 0x8:
            if not self.closing:
                self.transport.write(frame(0x8, payload[:2]))
            self.transport.close()
        elif opcode == 0x2 and not self.closing:
            if self.game is None:
                if payload == JOIN:
                    self.start()
            elif self.server.mode == "latency" and self.mover == self.client_seat and payload:
                if self.sent_at:  # not the opening move, which answers the start
                    self.server.sample(now - self.sent_at, self.sent_at)
                self.play(payload[0])
                if not self.closing:
                    self.move()

    def start(self) -> None:
        self.game = [None] * 9
        self.client_seat = self.server.game_started()
        if self.server.mode != "latency":
            return
        self.transport.write(frame(0x2, bytes((0, self.client_seat))))
        if self.client_seat == 1:
            self.move()

    def move(self) -> None:
        assert self.game is not None
        cell = self.game.index(None)
        self.sent_at = time.perf_counter_ns()
        self.transport.write(frame(0x2, bytes((cell,))))
        self.play(cell)

    def play(self, cell: int) -> None:
        assert self.game is not None
        self.game[cell] = self.mover
        self.mover ^= 1
        if over(self.game):
            # Like kestrel-server: the last move, then a normal close.
            self.closing = True
            self.transport.write(frame(0x8, (1000).to_bytes(2, "big") + b"game over"))


class MeasuringServer:
    def __init__(self, mode: str, warm_games: int, targets: set[int], moments: bool = False) -> None:
        self.mode = mode
        self.warm_games = warm_games
        self.targets = targets
        self.started = 0
        self.ended = 0
        self.samples: list[int] = []
        # With `moments`, also when each timed move left (monotonic clock),
        # for bench/turn_budget.py to line up with the client's own stamps.
        self.sent: list[int] | None = [] if moments else None

    def game_started(self) -> int:
        self.started += 1
        if self.started in self.targets:
            print(f"joined {self.started}", flush=True)
        return self.started % 2  # the client's seat alternates

    def game_ended(self) -> None:
        self.ended += 1

    def sample(self, ns: int, sent_at: int) -> None:
        if self.started > self.warm_games:
            self.samples.append(ns)
            if self.sent is not None:
                self.sent.append(sent_at)


def run_measuring_server(spec: dict[str, Any]) -> None:
    """Listens on loopback, prints its port, serves until stdin closes, then
    prints what it measured as one JSON line."""
    import threading

    raise_nofile()
    server = MeasuringServer(spec["mode"], spec.get("warm_games", 0), set(spec.get("targets", [])),
                             spec.get("moments", False))

    async def serve() -> None:
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        threading.Thread(
            target=lambda: (sys.stdin.read(), loop.call_soon_threadsafe(stop.set)), daemon=True
        ).start()
        listener = await loop.create_server(
            lambda: MeasuringConnection(server), "127.0.0.1", 0, backlog=4096
        )
        print(f"port {listener.sockets[0].getsockname()[1]}", flush=True)
        await stop.wait()
        listener.close()

    asyncio.run(serve())
    result = {"samples_ns": server.samples, "started": server.started, "ended": server.ended}
    if server.sent is not None:
        result["sent_ns"] = server.sent
    print(json.dumps(result))
    sys.stdout.flush()
    os._exit(0)


# ---------------------------------------------------------------- parent side


class LineReader:
    """Lines from a pipe, with a timeout (select on the raw descriptor)."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.pending = b""

    def readline(self, timeout: float = CHILD_TIMEOUT) -> str:
        end = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError("no answer from a child process")
            chunk = os.read(self.fd, 65536)
            if not chunk:
                raise EOFError("a child process ended without answering")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode()


class Bench:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.env = dict(os.environ)
        if args.build_dir:
            self.env["KESTREL_BUILD_DIR"] = str(args.build_dir)
            self.env["PYTHONPATH"] = os.pathsep.join(
                p for p in (str(args.build_dir), self.env.get("PYTHONPATH", "")) if p
            )
        self.house_url = ""

    # -- processes

    def spawn_child(self, spec: dict[str, Any], *, stdin: Any = subprocess.DEVNULL) -> tuple[Any, LineReader]:
        read_fd, write_fd = os.pipe()
        spec = dict(spec, report_fd=write_fd)
        log_file = tempfile.TemporaryFile()
        process = subprocess.Popen(
            [sys.executable, __file__, "--child", json.dumps(spec)],
            env=self.env,
            stdin=stdin,
            stdout=subprocess.DEVNULL,  # kestrel prints its progress on fd 1
            stderr=log_file,
            pass_fds=(write_fd,),
        )
        process.log_file = log_file  # type: ignore[attr-defined]
        os.close(write_fd)
        return process, LineReader(read_fd)

    @staticmethod
    def child_stderr(process: Any) -> str:
        log_file = process.log_file
        log_file.seek(0)
        text = log_file.read().decode(errors="replace")[-2000:]
        log_file.close()
        return text

    def finish_child(self, process: Any, reader: LineReader) -> list[dict[str, Any]]:
        try:
            process.wait(timeout=CHILD_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        stderr = self.child_stderr(process)
        items = []
        try:
            while True:
                items.append(json.loads(reader.readline(timeout=5)))
        except (EOFError, TimeoutError):
            pass
        os.close(reader.fd)
        if process.returncode != 0 or not items:
            raise RuntimeError(f"client child failed (exit {process.returncode}):\n{stderr}")
        return items

    def measuring_server(self, spec: dict[str, Any]) -> tuple[Any, LineReader, str]:
        process = subprocess.Popen(
            [sys.executable, __file__, "--serve", json.dumps(spec)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        assert process.stdout is not None
        reader = LineReader(process.stdout.fileno())
        port = reader.readline(timeout=60).split()[1]
        return process, reader, f"ws://127.0.0.1:{port}"

    @staticmethod
    def stop_measuring_server(process: Any, reader: LineReader) -> dict[str, Any]:
        process.stdin.close()
        result = json.loads(reader.readline())
        process.wait(timeout=60)
        process.stdout.close()
        return result

    # -- measurements: each returns {figure: value}

    def latency(self, client: str) -> dict[str, float]:
        games = self.args.latency_games
        warm = max(2, games // 10)
        server, reader, url = self.measuring_server({"mode": "latency", "warm_games": warm})
        try:
            child = self.spawn_child({"task": "latency", "client": client, "url": url, "games": games + warm})
            self.finish_child(*child)
        finally:
            result = self.stop_measuring_server(server, reader)
        samples = sorted(result["samples_ns"])
        if result["started"] != games + warm or not samples:
            raise RuntimeError(f"{client}: {result['started']} of {games + warm} latency games started")

        def quantile(q: float) -> float:
            return samples[max(0, math.ceil(q * len(samples)) - 1)] / 1000.0

        return {"latency_p50_us": quantile(0.50), "latency_p99_us": quantile(0.99)}

    def throughput(self, client: str, sessions: int) -> dict[str, float]:
        spec = {"task": "throughput", "client": client, "url": self.house_url,
                "games": self.args.games, "sessions": sessions}
        (result,) = self.finish_child(*self.spawn_child(spec))
        return {
            f"games_per_s_{sessions}": result["games"] / result["seconds"],
            f"cpu_s_per_1000_{sessions}": result["cpu"] * 1000.0 / result["games"],
        }

    def idle_memory(self, client: str) -> dict[str, float]:
        count, warm = self.args.idle, 10
        server, server_reader, url = self.measuring_server(
            {"mode": "idle", "targets": [warm, warm + count]}
        )
        try:
            spec = {"task": "idle", "client": client, "url": url, "warm": warm, "count": count}
            process, reader = self.spawn_child(spec, stdin=subprocess.PIPE)
            try:
                assert json.loads(reader.readline())["phase"] == "warm"
                server_reader.readline()  # "joined warm": lazy set-up is done
                process.stdin.write(b"go\n")
                process.stdin.flush()
                assert json.loads(reader.readline())["phase"] == "opened"
                server_reader.readline()  # "joined warm+count": every session waits
                process.stdin.write(b"measure\n")
                process.stdin.close()
                result = json.loads(reader.readline())
            except (AssertionError, EOFError, TimeoutError, BrokenPipeError) as error:
                process.kill()
                process.wait()
                stderr = self.child_stderr(process)
                raise RuntimeError(f"{client}: idle-memory child failed: {error!r}\n{stderr}") from None
            process.wait(timeout=60)
            self.child_stderr(process)
            os.close(reader.fd)
        finally:
            self.stop_measuring_server(server, server_reader)
        if result["ended"]:
            raise RuntimeError(f"{client}: {result['ended']} idle sessions ended early")
        return {"idle_kib_per_session": (result["after_kib"] - result["before_kib"]) / count}

    def startup(self, client: str) -> dict[str, float]:
        process = subprocess.Popen(
            [sys.executable, "-c", startup_program(client, self.house_url)],
            env=self.env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        assert process.stdout is not None
        reader = LineReader(process.stdout.fileno())
        try:
            while not reader.readline(timeout=60).startswith("Connected to"):
                pass
            connected = time.monotonic()
        finally:
            _, stderr = process.communicate(timeout=60)
            process.stdout.close()
        t0 = [line for line in stderr.decode().splitlines() if line.startswith("t0 ")]
        if process.returncode != 0 or not t0:
            raise RuntimeError(f"{client}: start-up child failed:\n{stderr.decode()[-2000:]}")
        return {"startup_ms": (connected - float(t0[-1].split()[1])) * 1000.0}

    # -- the run

    def measurements(self) -> list[tuple[str, Any]]:
        steps: list[tuple[str, Any]] = []
        if "latency" in self.args.measure:
            steps.append(("turn latency", self.latency))
        if "throughput" in self.args.measure:
            for n in self.args.sessions:
                steps.append((f"throughput x{n}", lambda c, n=n: self.throughput(c, n)))
        if "memory" in self.args.measure:
            steps.append(("idle memory", self.idle_memory))
        if "startup" in self.args.measure:
            steps.append(("start-up", self.startup))
        return steps

    def run(self, server_binary: Path) -> dict[str, Any]:
        raise_nofile()
        clients = self.args.clients
        figures: dict[str, dict[str, list[float]]] = {c: {} for c in clients}
        started = time.monotonic()
        with ServerProcess(server_binary, "--house-bot", "--quiet") as house:
            self.house_url = house.url
            for round_ in range(self.args.rounds):
                order = clients[round_ % len(clients) :] + clients[: round_ % len(clients)]
                for name, measure in self.measurements():
                    for client in order:
                        at = time.monotonic()
                        for figure, value in measure(client).items():
                            figures[client].setdefault(figure, []).append(value)
                        log(f"round {round_ + 1}/{self.args.rounds} {name:16} {client:10} "
                            f"{time.monotonic() - at:5.1f} s")
            assert house.process is not None
            if house.process.poll() is not None:
                raise RuntimeError("kestrel-server ended during the run:\n" + house.log())
        return {
            "machine": machine(self.env),
            "settings": {
                "rounds": self.args.rounds, "games": self.args.games,
                "latency_games": self.args.latency_games, "sessions": self.args.sessions,
                "idle_sessions": self.args.idle, "server": shown(server_binary),
                "build_dir": shown(self.args.build_dir),
                "quick": self.args.quick, "label": self.args.label, "seconds": round(time.monotonic() - started, 1),
                "load_average_end": os.getloadavg(),
            },
            "figures": summarise(figures, clients),
        }


# ---------------------------------------------------------------- reporting

# figure -> (label, unit, higher is better)
def figure_info(sessions: list[int]) -> dict[str, tuple[str, str, bool]]:
    info = {
        "latency_p50_us": ("turn latency p50", "µs", False),
        "latency_p99_us": ("turn latency p99", "µs", False),
    }
    for n in sessions:
        info[f"games_per_s_{n}"] = (f"games/s, {n} at once", "games/s", True)
    for n in sessions:
        info[f"cpu_s_per_1000_{n}"] = (f"CPU per 1000 games, {n} at once", "s", False)
    info["idle_kib_per_session"] = ("memory per idle session", "KiB", False)
    info["startup_ms"] = ("import + first connect", "ms", False)
    return info


def summarise(figures: dict[str, dict[str, list[float]]], clients: list[str]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    base = clients[0]
    for client in clients:
        for figure, values in figures[client].items():
            out.setdefault(figure, {})[client] = {
                "median": statistics.median(values), "min": min(values), "max": max(values),
                "values": values,
            }
    for per_client in out.values():
        reference = per_client.get(base, {}).get("median")
        for stats in per_client.values():
            stats["ratio"] = stats["median"] / reference if reference else None
    return out


def table(result: dict[str, Any]) -> str:
    figures = result["figures"]
    clients = list(next(iter(figures.values())).keys())
    info = figure_info(result["settings"]["sessions"])
    rows = [["figure (median [min-max])", *clients]]
    for figure, (label, unit, _) in info.items():
        if figure not in figures:
            continue
        row = [f"{label} ({unit})"]
        for client in clients:
            s = figures[figure][client]
            cell = f"{fmt(s['median'])} [{fmt(s['min'])}-{fmt(s['max'])}]"
            if client != clients[0] and s["ratio"] is not None:
                cell += f" x{s['ratio']:.2f}"
            row.append(cell)
        rows.append(row)
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(r, widths, strict=True)).rstrip() for r in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    s = result["settings"]
    lines.append(
        f"x = ratio to {clients[0]} (client / {clients[0]}); {s['rounds']} rounds, "
        f"{s['games']} games per throughput figure, {s['latency_games']} latency games, "
        f"{s['idle_sessions']} idle sessions; {s['seconds']} s"
    )
    return "\n".join(lines)


def fmt(value: float) -> str:
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def chart(result: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figures = result["figures"]
    clients = list(next(iter(figures.values())).keys())
    sessions = result["settings"]["sessions"]
    info = figure_info(sessions)
    panels = [
        ("turn latency p50 (µs, lower is better)", ["latency_p50_us"], None),
        ("turn latency p99 (µs, lower is better)", ["latency_p99_us"], None),
        ("games per second (higher is better)", [f"games_per_s_{n}" for n in sessions],
         [f"{n} at once" for n in sessions]),
        ("CPU s per 1000 games (lower is better)", [f"cpu_s_per_1000_{n}" for n in sessions],
         [f"{n} at once" for n in sessions]),
        ("memory per idle session (KiB, lower is better)", ["idle_kib_per_session"], None),
        ("import + first connect (ms, lower is better)", ["startup_ms"], None),
    ]
    colours = {"kestrel": "#d95f02", "websockets": "#1b9e77", "aiohttp": "#7570b3"}
    fig, axes = plt.subplots(2, 3, figsize=(15, 8.5))
    width = 0.8 / len(clients)
    for ax, (title, keys, groups) in zip(axes.flat, panels, strict=True):
        keys = [k for k in keys if k in figures]
        if not keys:
            ax.set_axis_off()
            continue
        for i, client in enumerate(clients):
            xs = [g + (i - (len(clients) - 1) / 2) * width for g in range(len(keys))]
            stats = [figures[k][client] for k in keys]
            medians = [s["median"] for s in stats]
            errors = [[s["median"] - s["min"] for s in stats], [s["max"] - s["median"] for s in stats]]
            bars = ax.bar(xs, medians, width * 0.95, yerr=errors, capsize=3,
                          color=colours.get(client), label=client)
            for bar, s in zip(bars, stats, strict=True):
                text = fmt(s["median"]) if client == clients[0] else f"x{s['ratio']:.2f}"
                ax.annotate(text, (bar.get_x() + bar.get_width() / 2, s["max"]),
                            xytext=(0, 3), textcoords="offset points", ha="center", fontsize=8)
        stats = [figures[k][c] for k in keys for c in clients]
        if any(s["median"] > 0 and s["max"] > 5 * s["median"] for s in stats):
            # One disturbed round would flatten every bar on a linear axis.
            ax.set_yscale("log")
            title = title.replace(")", ", log scale)", 1)
        ax.set_title(title, fontsize=10)
        ax.set_xticks(range(len(keys)))
        ax.set_xticklabels(groups or [info[k][0] for k in keys], fontsize=8)
        ax.margins(y=0.15)
        ax.grid(axis="y", alpha=0.3)
    axes.flat[0].legend(fontsize=8)
    m = result["machine"]
    fig.suptitle(
        f"kestrel vs hand-written websockets / aiohttp clients: median of {result['settings']['rounds']} "
        f"rounds, whiskers min-max, labels = ratio to kestrel\n{m['cpu']}, {m['cpus']} CPUs, "
        f"Python {m['python']}, websockets {m['websockets']}, aiohttp {m['aiohttp']}"
        + (f"; {result['settings']['label']}" if result["settings"].get("label") else ""),
        fontsize=10,
    )
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)


def machine(env: dict[str, str]) -> dict[str, Any]:
    def version(module: str) -> str:
        try:
            from importlib.metadata import version as v

            return v(module)
        except Exception:
            return "?"

    cpu = platform.processor() or "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    kestrel_file = subprocess.run(
        [sys.executable, "-c", "import kestrel; print(kestrel.__file__)"],
        env=env, capture_output=True, text=True,
    ).stdout.strip()
    return {
        "cpu": cpu, "cpus": os.cpu_count(), "python": platform.python_version(),
        "kernel": platform.release(), "websockets": version("websockets"),
        "aiohttp": version("aiohttp"), "kestrel_module": shown(kestrel_file),
        "load_average": os.getloadavg(),
    }


def shown(path: object) -> str | None:
    """A path as the results keep it: inside the repository, relative to it,
    so that committed results do not name the machine that measured them."""
    if not path:
        return None
    resolved = Path(str(path)).resolve()
    try:
        return str(resolved.relative_to(HERE.parent))
    except ValueError:
        return str(path)


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def find_server(build_dir: Path | None) -> Path:
    # A build folder given is the one measured: nothing else stands in for it.
    candidates = [build_dir / SERVER_EXE] if build_dir else server_candidates()
    if found := first_executable(candidates):
        return found
    sys.exit(f"kestrel-server not found (looked at {', '.join(map(str, candidates))}); "
             "pip install . or pass --build-dir")


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return run_child(json.loads(sys.argv[2]))
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        return run_measuring_server(json.loads(sys.argv[2]))

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n", 2)[2])
    parser.add_argument("--build-dir", type=Path, default=os.environ.get("KESTREL_BUILD_DIR") or None,
                        help="take kestrel and kestrel-server from this CMake build folder")
    parser.add_argument("--rounds", type=int, help="rounds per figure (default 5)")
    parser.add_argument("--games", type=int, help="games per throughput figure (default 2000)")
    parser.add_argument("--latency-games", type=int, help="measured games per latency figure (default 300)")
    parser.add_argument("--sessions", help="sessions at once, comma-separated (default 1,64,512)")
    parser.add_argument("--idle", type=int, help="idle sessions for the memory figure (default 2000)")
    parser.add_argument("--clients", default=",".join(CLIENTS),
                        help="which clients, comma-separated; the first is the reference")
    parser.add_argument("--measure", default=",".join(MEASURES),
                        help=f"which measurements, comma-separated (default {','.join(MEASURES)})")
    parser.add_argument("--json", type=Path, default=HERE / "results" / "compare.json")
    parser.add_argument("--png", type=Path, default=HERE / "results" / "compare.png")
    parser.add_argument("--label", default="",
                        help="free text kept in the JSON and the chart, e.g. the commit measured")
    parser.add_argument("--replot", type=Path, metavar="JSON",
                        help="measure nothing: print the table and draw the chart of a saved run")
    parser.add_argument("--quick", action="store_true", help="a smoke run: fewer rounds, games and sessions")
    args = parser.parse_args()
    quick = {"rounds": 2, "games": 200, "latency_games": 50, "sessions": "1,16,64", "idle": 200}
    full = {"rounds": 5, "games": 2000, "latency_games": 300, "sessions": "1,64,512", "idle": 2000}
    for key, value in (quick if args.quick else full).items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    args.sessions = [int(n) for n in args.sessions.split(",")]
    args.clients = [c for c in args.clients.split(",") if c]
    args.measure = [m for m in args.measure.split(",") if m]
    if unknown := set(args.measure) - set(MEASURES):
        parser.error(f"unknown measurements: {', '.join(sorted(unknown))}")
    if unknown := set(args.clients) - set(CLIENTS):
        parser.error(f"unknown clients: {', '.join(sorted(unknown))}")
    if args.build_dir:
        args.build_dir = Path(args.build_dir).resolve()

    signal.signal(signal.SIGINT, signal.default_int_handler)
    if args.replot:
        result = json.loads(args.replot.read_text())
        print(table(result))
        chart(result, args.png)
        return
    bench = Bench(args)
    server = find_server(args.build_dir)
    if "kestrel" in args.clients:
        probe = subprocess.run([sys.executable, "-c", "import kestrel"], env=bench.env,
                               capture_output=True, text=True)
        if probe.returncode != 0:
            sys.exit("cannot import kestrel (pip install . or pass --build-dir):\n" + probe.stderr[-1000:])
    result = bench.run(server)
    print(table(result))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(result, indent=1) + "\n")
    chart(result, args.png)
    log(f"wrote {args.json} and {args.png}")


if __name__ == "__main__":
    main()
