"""The child side: one measurement of one client in a process of its own, so
that its CPU time and memory are that client's alone. Reports go to the parent
as JSON lines on a descriptor it passed down."""

from __future__ import annotations

import asyncio
import json
import os
import resource
import sys
import time
from typing import Any

from comparison.clients import client_class
from kestrel_dev.procfs import rss_kib


def raise_nofile() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


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
    async with client_class(spec["client"])() as client:
        sessions = spec["sessions"]
        await play_games(client, spec["url"], max(20, sessions), sessions)  # warm-up
        cpu, start = cpu_seconds(), time.perf_counter()
        await play_games(client, spec["url"], spec["games"], sessions)
        elapsed, cpu = time.perf_counter() - start, cpu_seconds() - cpu
    report({"seconds": elapsed, "cpu": cpu, "games": spec["games"]})


async def child_latency(spec: dict[str, Any], report: Any) -> None:
    async with client_class(spec["client"])() as client:
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
    async with client_class(spec["client"])() as client:
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
    if spec.get("loop") == "uvloop":
        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
    asyncio.run(body(spec, report))
