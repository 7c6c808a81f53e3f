"""The worker: one process, one event loop, all the sessions; it reports its
figures to the parent as JSON."""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import random
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path
from typing import Any

from kestrel_dev.procfs import open_fds, rss_kib, thread_names
from soaking import (
    MARK,
    RUNTIME_THREAD,
    raise_fd_limit,
)


def measure(bot_type: type, server_port: int) -> dict[str, Any]:
    gc.collect()
    objects = gc.get_objects()
    names = thread_names()
    kinds, to_server = open_fds(server_port)
    figures = {
        "threads": sum(names.values()) - names[RUNTIME_THREAD],
        "runtime_threads": names[RUNTIME_THREAD],
        "fds": sum(kinds.values()),
        "fd_kinds": dict(kinds),
        "server_connections": to_server,
        "objects": len(objects),
        "clients_alive": sum(1 for o in objects if isinstance(o, bot_type)),
        "futures_alive": sum(1 for o in objects if isinstance(o, asyncio.Future)),
        "rss_kib": rss_kib(),
    }
    del objects
    return figures


async def settle(bot_type: type, server_port: int, until_no_connections: float = 0) -> dict[str, Any]:
    """Lets loop callbacks and the runtime's last releases run, then measures;
    with `until_no_connections`, first waits up to that long for every
    connection to the server to be closed."""
    end = time.monotonic() + until_no_connections
    for _ in range(20):
        await asyncio.sleep(0.05)
    while open_fds(server_port)[1] and time.monotonic() < end:
        await asyncio.sleep(0.1)
    return measure(bot_type, server_port)


async def read_line(fd: int) -> bytes:
    """One line from the parent's pipe, without blocking the loop or adding a thread."""
    loop = asyncio.get_running_loop()
    got: asyncio.Future[bytes] = loop.create_future()

    def readable() -> None:
        if not got.done():
            got.set_result(os.read(fd, 64))

    loop.add_reader(fd, readable)
    try:
        return await got
    finally:
        loop.remove_reader(fd)


async def worker(args: argparse.Namespace) -> dict[str, Any]:
    import kestrel

    rng = random.Random(args.seed)
    loop = asyncio.get_running_loop()
    server_port = int(args.url.rsplit(":", 1)[1].split("/")[0])

    class Bot(kestrel.TicTacToeClient):
        async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
            pause = rng.random()
            if pause < 0.3:
                await asyncio.sleep(0)
            elif pause < 0.4:
                await asyncio.sleep(rng.uniform(0, 0.005))
            return state.board.index(None)

    pending: set[asyncio.Future[None]] = set()
    outcomes: Counter[str] = Counter()
    counts: Counter[str] = Counter()
    samples: dict[str, list[Any]] = defaultdict(list)
    lifetimes: list[float] = []
    phase: dict[str, Any] = {
        "name": "warm-up", "replace": True, "limit": 2 * args.sessions, "keep": False, "cancel_window": 0.1,
    }  # fmt: skip

    def cancel(fut: asyncio.Future[None]) -> None:
        if fut.cancel():
            counts[f"{phase['name']}:cancel_requested"] += 1

    def finished(client: Any, timer: asyncio.TimerHandle | None, began: float, fut: asyncio.Future[None]) -> None:
        if fut not in pending:
            counts["completed_twice"] += 1
            return
        pending.discard(fut)
        if timer is not None:
            timer.cancel()
        if fut.cancelled():
            kind = "cancelled"
        elif (error := fut.exception()) is not None:
            kind = f"raised {type(error).__name__}: {str(error)[:200]}"
        elif fut.result() is None:
            kind = "none"
            if phase["name"] == "warm-up":
                lifetimes.append(loop.time() - began)
        else:
            kind = f"returned {fut.result()!r:.80}"
        outcomes[kind] += 1
        counts[f"{phase['name']}:{kind}"] += 1
        if phase["keep"] and len(samples[kind]) < 5:
            samples[kind].append(client)
        if phase["replace"] and counts[f"{phase['name']}:started"] < phase["limit"]:
            start_one()

    def start_one() -> None:
        client = Bot()
        try:
            fut = client.connect(args.url)
        except Exception as error:  # noqa: BLE001 -- counted and reported
            outcomes[f"connect raised {type(error).__name__}: {error}"] += 1
            return
        counts["started"] += 1
        counts[f"{phase['name']}:started"] += 1
        pending.add(fut)
        timer = None
        if rng.random() < args.cancel:
            # A fifth at once (before the work has even started), the rest at
            # a random point of a session's usual life.
            delay = 0.0 if rng.random() < 0.2 else rng.uniform(0, phase["cancel_window"])
            timer = loop.call_later(delay, cancel, fut)
        began = loop.time()
        fut.add_done_callback(lambda f: finished(client, timer, began, f))

    async def drain(timeout: float) -> None:
        end = loop.time() + timeout
        while pending and loop.time() < end:
            await asyncio.sleep(0.05)

    # Warm-up: the full load until twice --sessions sessions have started.
    for _ in range(args.sessions):
        start_one()
    await drain(args.drain_timeout + 600)
    if pending:
        return {"failed_warmup_pending": len(pending)}
    control = [Bot()]  # never connected: the refcount every sample must come back to
    base = await settle(Bot, server_port)
    os.write(1, (MARK + "\n").encode())
    os.write(2, (MARK + "\n").encode())
    os.write(args.notify, b"warm\n")

    # Main phase: the same load for --duration seconds.
    lifetimes.sort()
    mean_life = sum(lifetimes) / len(lifetimes) if lifetimes else 0.1
    phase.update(name="main", replace=True, limit=float("inf"), keep=True, cancel_window=2 * mean_life)
    started_at = time.perf_counter()
    peak_pending = 0
    timeline: list[dict[str, float]] = []
    every = max(1.0, args.duration / 30)
    for _ in range(args.sessions):
        start_one()
    while time.perf_counter() - started_at < args.duration:
        await asyncio.sleep(0.25)
        peak_pending = max(peak_pending, len(pending))
        elapsed = time.perf_counter() - started_at
        if elapsed >= len(timeline) * every:
            timeline.append({
                "t": round(elapsed, 1), "rss_kib": rss_kib(), "pending": len(pending),
                "server_connections": open_fds(server_port)[1], "started": counts["main:started"],
            })  # fmt: skip
    phase["replace"] = False
    stopped_at = time.perf_counter()
    await drain(args.drain_timeout)
    drained_at = time.perf_counter()
    left_pending = len(pending)
    for fut in list(pending):  # only so that the loop can end; already a failure
        fut.cancel()
    await drain(10)

    # Sample refcounts first: measuring must not create references of its own.
    refcounts = {kind: [sys.getrefcount(c) for c in kept] for kind, kept in samples.items()}
    control_refcount = [sys.getrefcount(c) for c in control][0]
    # With the server still up: nothing may be left open.
    drained = await settle(Bot, server_port, until_no_connections=10)
    os.write(args.notify, f"drained {drained['server_connections']}\n".encode())
    # The parent stops the server; every connection must then go.
    await read_line(args.go)
    end = await settle(Bot, server_port, until_no_connections=30)
    return {
        "base": base,
        "drained": drained,
        "end": end,
        "kept_samples": sum(len(kept) for kept in samples.values()),
        "refcounts": refcounts,
        "control_refcount": control_refcount,
        "outcomes": dict(outcomes),
        "counts": dict(counts),
        "left_pending": left_pending,
        "main_seconds": stopped_at - started_at,
        "drain_seconds": drained_at - stopped_at,
        "peak_pending": peak_pending,
        "timeline": timeline,
        "mean_session_seconds_warmup": mean_life,
        "median_session_seconds_warmup": lifetimes[len(lifetimes) // 2] if lifetimes else 0,
    }


def worker_main(args: argparse.Namespace) -> None:
    raise_fd_limit(2 * args.sessions + 200)
    if args.loop == "uvloop":
        import uvloop

        report = uvloop.run(worker(args))
    else:
        report = asyncio.run(worker(args))
    Path(args.report).write_text(json.dumps(report))
