"""Soak: many kestrel sessions at once in one process for minutes, against a
server that cuts some connections, with some sessions cancelled by the caller.

    python bench/soak.py [--sessions 1000] [--duration 300] [--drop 0.1] [--cancel 0.1]
                         [--seed N] [--json PATH] [--server PATH] [--loop asyncio|uvloop]

Starts `kestrel-server --house-bot --drop FRACTION` (from --server, KESTREL_BUILD_DIR,
beside this Python, or PATH) and one worker process (this script again) that keeps
--sessions sessions of a first-free TicTacToeClient running at once, replacing each
finished one at once, and cancels a --cancel share of them at a random moment. A
warm-up round (the same load until twice --sessions sessions have started) comes
first; the baseline is taken after it. After --duration seconds no new sessions
start, and every future must then end within --drain-timeout.

Accounting: every future ends exactly once, as None or cancelled (an exception is a
failure), and none is left pending; every None matches one line the client printed
(a result, "Connection to the server ended ...", or "Failed to connect ..."); every
client line is known; the server's drops explain every early end the clients saw.

Leaks, end against baseline: threads +0 (the runtime's blocking pool, which keeps the
threads a burst started up to its cap, is counted apart), gc objects within
--object-margin, no TicTacToeClient or asyncio future alive beyond the samples kept,
the samples' refcounts equal to a never-connected client's, RSS within
--rss-margin-mib. After the drain no connection may be left open on either side
(a cancelled session closes its connection at once, even while the server is
silent, waiting for its move or a partner); the server is then stopped, and the
client's fds must be within --fd-margin of the baseline.
Exit 0 when all of it holds, 1 otherwise. The worker's console output goes to files,
the summary to stdout.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import random
import re
import resource
import select
import subprocess
import sys
import tempfile
import time
from collections import Counter, defaultdict
from pathlib import Path
from typing import Any

from kestrel_arena.game_line import GameLine
from kestrel_arena.server_process import ServerProcess, find_server_binary

MARK = "=== soak: main phase ==="
RESULT_LINES = ("Player1 wins!", "Player2 wins!", "Tie")
ENDED_BEFORE_START = "Connection to the server ended before the game started"
ENDED_BEFORE_OVER = "Connection to the server ended before the game was over"
RUNTIME_THREAD = "tokio-runtime-w"  # as Linux shows "tokio-runtime-worker"
BLOCKING_POOL_CAP = 64
DROP_STAGES = (
    "during the handshake",
    "after the handshake",
    "while waiting for a partner",
    "mid-game",
    "while closing",
)


def raise_fd_limit(needed: int) -> int:
    """Raises the soft RLIMIT_NOFILE to the hard limit; children inherit it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        soft = hard
    if soft != resource.RLIM_INFINITY and soft < needed:
        sys.exit(f"soak: needs {needed} file descriptors, the hard limit is {hard}")
    return soft


# ---- the worker: one process, one event loop, all the sessions ----------------------------


def proc_status(field: str, pid: str = "self") -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def thread_names(pid: str = "self") -> Counter[str]:
    names: Counter[str] = Counter()
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            names[Path(f"/proc/{pid}/task/{tid}/comm").read_text().strip()] += 1
        except OSError:
            pass  # ended meanwhile
    return names


TCP_STATES = {
    "01": "ESTABLISHED", "02": "SYN_SENT", "03": "SYN_RECV", "04": "FIN_WAIT1", "05": "FIN_WAIT2",
    "06": "TIME_WAIT", "07": "CLOSE", "08": "CLOSE_WAIT", "09": "LAST_ACK", "0A": "LISTEN", "0B": "CLOSING",
}  # fmt: skip


def open_fds(server_port: int, pid: str = "self") -> tuple[Counter[str], int]:
    """This process's fds by kind (TCP sockets by state), and how many of them
    are connections to the server: what a growth is made of."""
    sockets: dict[str, tuple[str, int]] = {}
    for table in ("tcp", "tcp6"):
        try:
            with open(f"/proc/{pid}/net/{table}") as rows:
                for row in list(rows)[1:]:
                    fields = row.split()
                    remote_port = int(fields[2].rsplit(":", 1)[1], 16)
                    sockets[fields[9]] = (TCP_STATES.get(fields[3], fields[3]), remote_port)
        except OSError:
            pass
    kinds: Counter[str] = Counter()
    to_server = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if m := re.fullmatch(r"socket:\[(\d+)\]", target):
            if m[1] in sockets:
                state, remote_port = sockets[m[1]]
                kinds["tcp " + state] += 1
                to_server += remote_port == server_port
            else:
                kinds["socket"] += 1
        else:
            kinds[re.sub(r"\[.*|:.*", "", target) if not target.startswith("/") else "file"] += 1
    return kinds, to_server


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
        "rss_kib": proc_status("VmRSS"),
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
                "t": round(elapsed, 1), "rss_kib": proc_status("VmRSS"), "pending": len(pending),
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


# ---- the parent: server, worker, logs, verdict -------------------------------------------


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


def wait_for_worker(
    proc: subprocess.Popen[bytes], notify: int, go: int, server: ServerProcess, timeout: float
) -> dict[str, Any]:
    """Waits for the worker. Samples the server once the worker has its
    baseline, and once the worker has drained; then stops the server and
    lets the worker take its last figures."""
    assert server.process is not None
    pid = server.process.pid
    end = time.monotonic() + timeout
    sampled: dict[str, Any] = {}
    buffered = b""
    while proc.poll() is None and time.monotonic() < end:
        ready, _, _ = select.select([notify], [], [], 0.5)
        if not ready:
            continue
        chunk = os.read(notify, 256)
        if not chunk:
            break
        buffered += chunk
        while b"\n" in buffered:
            line, buffered = buffered.split(b"\n", 1)
            if line == b"warm":
                sampled["warm"] = server_figures(pid)
            elif line.startswith(b"drained"):
                sampled["drained"] = server_figures(pid)
                sampled["exit"] = server.stop()
                os.write(go, b"go\n")
    proc.wait(timeout=max(1.0, end - time.monotonic())) if proc.poll() is None else None
    return sampled


def server_figures(pid: int) -> dict[str, Any]:
    return {
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "threads": len(os.listdir(f"/proc/{pid}/task")),
        "rss_kib": proc_status("VmRSS", str(pid)),
        "peak_rss_kib": proc_status("VmHWM", str(pid)),
    }


def check(
    args: argparse.Namespace, report: dict[str, Any], client: dict[str, Counter[str]],
    server: dict[str, Counter[str]], srv: dict[str, dict[str, Any]],
) -> list[str]:
    failures = []
    counts, outcomes = report["counts"], report["outcomes"]
    if report["left_pending"]:
        failures.append(f"{report['left_pending']} futures still pending {args.drain_timeout} s after the last start")
    if counts.get("completed_twice"):
        failures.append(f"{counts['completed_twice']} futures completed twice")
    ended_total = sum(outcomes.values())
    if ended_total != counts["started"]:
        failures.append(f"{counts['started']} sessions started, {ended_total} ended")
    for kind, n in outcomes.items():
        if kind not in ("none", "cancelled"):
            failures.append(f"{n} futures {kind}")
    nones, cancelled = outcomes.get("none", 0), outcomes.get("cancelled", 0)
    terminal = (
        sum(client["results"].values()) + sum(client["ended"].values()) + sum(client["failed_to_connect"].values())
    )
    # Every None printed exactly one closing line; a session cancelled late may have too.
    if not nones <= terminal <= nones + cancelled:
        failures.append(f"{terminal} closing lines for {nones} None results and {cancelled} cancellations")
    for line, n in client["unknown"].items():
        failures.append(f"{n} x unexpected client line: {line}")
    for line, n in server["other"].items():
        failures.append(f"{n} x unexpected server line: {line}")
    drops = server["drops"]
    if args.drop > 0 and sum(drops.values()) == 0:
        failures.append("no connection was dropped")
    if args.cancel > 0 and cancelled == 0:
        failures.append("no session was cancelled")
    # Early ends the clients saw must come from the server's drops.
    failed = sum(client["failed_to_connect"].values())
    if failed > drops["during the handshake"] + drops["after the handshake"]:
        failures.append(f"{failed} failed connections, more than the handshake drops")
    before_start = client["ended"]["before the game started"]
    early = drops["during the handshake"] + drops["after the handshake"] + drops["while waiting for a partner"]
    if before_start > early:
        failures.append(f"{before_start} ends before the start, more than the drops before the start")
    before_over = client["ended"]["before the game was over"]
    if before_over > drops["mid-game"] + drops["while closing"]:
        failures.append(f"{before_over} ends mid-game, more than the drops mid-game")
    if server["games"]["client won"]:
        failures.append(f"the house lost {server['games']['client won']} games")

    base, drained, end = report["base"], report["drained"], report["end"]
    if end["threads"] > base["threads"]:
        failures.append(f"threads grew from {base['threads']} to {end['threads']}")
    # The runtime keeps the blocking threads a burst of lookups started, up to
    # its cap: growth within that is a new peak, not a leak.
    workers = int(os.environ.get("TOKIO_WORKER_THREADS") or os.cpu_count() or 1)
    if end["runtime_threads"] > max(base["runtime_threads"], workers + BLOCKING_POOL_CAP):
        failures.append(f"runtime threads grew from {base['runtime_threads']} to {end['runtime_threads']}")
    # Every session has ended, so no connection may be left: a cancelled one
    # must not wait for a silent server to speak.
    for when, figures in (("after the warm-up", base), ("after the drain", drained)):
        if figures["server_connections"]:
            failures.append(f"{figures['server_connections']} connections to the server still open {when}")
    if end["fds"] > base["fds"] + args.fd_margin:
        failures.append(f"fds grew from {base['fds']} to {end['fds']}")
    if end["objects"] - base["objects"] > args.object_margin:
        failures.append(f"gc objects grew by {end['objects'] - base['objects']}")
    # One never-connected client is alive throughout, plus the samples kept.
    if base["clients_alive"] != 1:
        failures.append(f"{base['clients_alive'] - 1} clients alive after the warm-up")
    if end["clients_alive"] != 1 + report["kept_samples"]:
        failures.append(f"{end['clients_alive'] - 1} clients alive at the end, {report['kept_samples']} kept")
    if end["futures_alive"] > base["futures_alive"]:
        failures.append(f"asyncio futures alive grew from {base['futures_alive']} to {end['futures_alive']}")
    for kind, refs in report["refcounts"].items():
        if any(r != report["control_refcount"] for r in refs):
            failures.append(f"client refcounts after {kind}: {refs}, expected {report['control_refcount']}")
    # RSS keeps the heap's high-water mark: the warm-up runs the same load
    # first, so what is left is allocator drift, measured at a few MiB over
    # five minutes (see the timeline), not growth per session.
    if end["rss_kib"] - base["rss_kib"] > args.rss_margin_mib * 1024:
        failures.append(f"RSS grew by {(end['rss_kib'] - base['rss_kib']) / 1024:.1f} MiB")
    if srv["drained"]["fds"] > srv["start"]["fds"]:
        failures.append(f"server fds {srv['start']['fds']} at start, {srv['drained']['fds']} after the drain")
    if srv["drained"]["threads"] != srv["warm"]["threads"]:
        failures.append(f"server threads {srv['warm']['threads']} after the warm-up, "
                        f"{srv['drained']['threads']} at the end")
    if srv["exit"] != 0:
        failures.append(f"server exited {srv['exit']}")
    return failures


def parent_main(args: argparse.Namespace) -> int:
    if sys.platform != "linux":
        sys.exit("soak: measures through /proc (Linux only)")
    raise_fd_limit(2 * args.sessions + 400)
    binary = Path(args.server) if args.server else find_server_binary()
    if binary is None:
        sys.exit("soak: kestrel-server not found (--server PATH or KESTREL_BUILD_DIR)")
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    server_args = ["--house-bot"]
    if args.drop > 0:
        server_args += ["--drop", str(args.drop), "--seed", str(seed)]

    with tempfile.TemporaryDirectory(prefix="kestrel-soak-") as tmp, ServerProcess(binary, *server_args) as server:
        assert server.process is not None
        srv: dict[str, Any] = {"start": server_figures(server.process.pid)}
        out_path, err_path, report_path = (Path(tmp) / n for n in ("out", "err", "report.json"))
        notify_r, notify_w = os.pipe()
        go_r, go_w = os.pipe()
        command = [
            sys.executable, __file__, "--worker", server.url, "--report", str(report_path),
            "--notify", str(notify_w), "--go", str(go_r), "--sessions", str(args.sessions),
            "--duration", str(args.duration), "--cancel", str(args.cancel), "--seed", str(seed),
            "--drain-timeout", str(args.drain_timeout), "--loop", args.loop,
        ]  # fmt: skip
        started = time.perf_counter()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(command, stdout=out, stderr=err, pass_fds=(notify_w, go_r))
        os.close(notify_w)
        os.close(go_r)
        timeout = args.duration + args.drain_timeout + 900  # the warm-up has no fixed length
        srv.update(wait_for_worker(proc, notify_r, go_w, server, timeout))
        os.close(notify_r)
        os.close(go_w)
        wall = time.perf_counter() - started
        server_lines = server.log().splitlines()
        out_text, err_text = out_path.read_text(errors="replace"), err_path.read_text(errors="replace")
        try:
            report = json.loads(report_path.read_text())
        except (OSError, ValueError):
            report = None

    if report is None or "failed_warmup_pending" in report:
        why = (
            f"{report['failed_warmup_pending']} futures still pending after the warm-up" if report
            else "the worker hung and was killed" if srv.get("worker_hung")
            else f"the worker exited {proc.returncode} without a report"
        )  # fmt: skip
        print(f"soak: FAILED: {why}", file=sys.stderr)
        print("worker stderr (last lines):\n" + "\n".join(err_text.splitlines()[-30:]), file=sys.stderr)
        return 1

    warm_out, main_out = split_at_mark(out_text)
    warm_err, main_err = split_at_mark(err_text)
    client = classify_client_lines(warm_out + main_out, warm_err + main_err, server.url)
    client_main = classify_client_lines(main_out, main_err, server.url)
    server_seen = classify_server_log([line for line in server_lines if line])
    failures = check(args, report, client, server_seen, srv)

    main_games = sum(client_main["results"].values())
    counts = report["counts"]
    summary = {
        "seed": seed,
        "sessions_at_once": args.sessions,
        "sessions_started": counts["started"],
        "sessions_started_main": counts.get("main:started", 0),
        "futures_by_outcome": report["outcomes"],
        "cancels_taking_effect": counts.get("warm-up:cancel_requested", 0) + counts.get("main:cancel_requested", 0),
        "pending_at_end": report["left_pending"],
        "client_results": dict(client["results"]),
        "client_early_ends": dict(client["ended"]),
        "client_failed_to_connect": dict(client["failed_to_connect"]),
        "client_unknown_lines": dict(client["unknown"]),
        "server_drops": dict(server_seen["drops"]),
        "server_drop_kinds": dict(server_seen["drop_kind"]),
        "server_games": dict(server_seen["games"]),
        "main_seconds": round(report["main_seconds"], 1),
        "drain_seconds": round(report["drain_seconds"], 2),
        "wall_seconds": round(wall, 1),
        "mean_session_seconds_warmup": round(report["mean_session_seconds_warmup"], 3),
        "games_finished_main": main_games,
        "games_per_second_main": round(main_games / report["main_seconds"], 1),
        "sessions_per_second_main": round(counts.get("main:started", 0) / report["main_seconds"], 1),
        "peak_pending_main": report["peak_pending"],
        "timeline_main": report["timeline"],
        "client_base": report["base"],
        "client_drained": report["drained"],
        "client_end": report["end"],
        "client_samples_kept": report["kept_samples"],
        "client_sample_refcounts": report["refcounts"],
        "client_control_refcount": report["control_refcount"],
        "server": srv,
        "failures": failures,
    }
    print_summary(summary)
    if args.json:
        Path(args.json).write_text(json.dumps(summary, indent=2) + "\n")
    return 1 if failures else 0


def print_summary(s: dict[str, Any]) -> None:
    base, drained, end, srv = s["client_base"], s["client_drained"], s["client_end"], s["server"]
    mib = 1024.0
    lines = [
        f"soak: {s['sessions_at_once']} sessions at once, {s['main_seconds']} s main phase, "
        f"{s['wall_seconds']} s in all (seed {s['seed']})",
        f"  sessions started: {s['sessions_started']} ({s['sessions_started_main']} in the main phase, "
        f"{s['sessions_per_second_main']}/s); peak pending {s['peak_pending_main']}; "
        f"mean session {s['mean_session_seconds_warmup']} s",
        f"  futures by outcome: {s['futures_by_outcome']}; pending at the end: {s['pending_at_end']} "
        f"(drained in {s['drain_seconds']} s); cancels that took effect: {s['cancels_taking_effect']}",
        f"  games finished in the main phase: {s['games_finished_main']} ({s['games_per_second_main']} games/s)",
        f"  client result lines: {s['client_results']}",
        f"  client early ends: {s['client_early_ends']}; failed to connect: {s['client_failed_to_connect']}",
        f"  server drops: {sum(s['server_drops'].values())} {s['server_drops']} {s['server_drop_kinds']}",
        f"  server games (client's view): {s['server_games']}",
        f"  connections to the server still open: {base['server_connections']} after the warm-up, "
        f"{drained['server_connections']} after the drain",
        "  client, end - baseline: "
        f"threads {end['threads'] - base['threads']:+d} "
        f"(runtime {base['runtime_threads']} -> {end['runtime_threads']}), "
        f"fds {end['fds'] - base['fds']:+d}, "
        f"gc objects {end['objects'] - base['objects']:+d}, "
        f"clients alive {end['clients_alive']} (kept {s['client_samples_kept']} + 1), "
        f"futures alive {base['futures_alive']} -> {end['futures_alive']}, "
        f"RSS {(end['rss_kib'] - base['rss_kib']) / mib:+.1f} MiB ({end['rss_kib'] / mib:.1f} MiB)",
        f"  client fds: {base['fd_kinds']} -> {end['fd_kinds']}",
        f"  sample refcounts {s['client_sample_refcounts']} (never-connected client: {s['client_control_refcount']})",
        f"  server: fds {srv['start']['fds']} at start, {srv['drained']['fds']} after the drain; threads "
        f"{srv['warm']['threads']} -> {srv['drained']['threads']}; RSS {srv['warm']['rss_kib'] / mib:.1f} MiB "
        f"after the warm-up -> {srv['drained']['rss_kib'] / mib:.1f} MiB, "
        f"peak {srv['drained']['peak_rss_kib'] / mib:.1f} MiB; "
        f"exit {srv['exit']}",
    ]
    if s["failures"]:
        lines.append("  FAILED:\n    " + "\n    ".join(s["failures"]))
    else:
        lines.append("  OK: every future accounted for, nothing grew")
    print("\n".join(lines), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sessions", type=int, default=1000, help="sessions at once")
    parser.add_argument("--duration", type=float, default=300, help="seconds of the main phase")
    parser.add_argument("--drop", type=float, default=0.1, help="share of connections the server cuts")
    parser.add_argument("--cancel", type=float, default=0.1, help="share of sessions cancelled")
    parser.add_argument("--seed", type=int)
    parser.add_argument("--json", help="write the summary here too")
    parser.add_argument("--server", help="the kestrel-server binary")
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio",
                        help="the event loop the sessions run on")
    parser.add_argument("--drain-timeout", type=float, default=120, help="for the last sessions to end")
    parser.add_argument("--fd-margin", type=int, default=2)
    parser.add_argument("--object-margin", type=int, default=500)
    parser.add_argument("--rss-margin-mib", type=float, default=20)
    # Used by the parent to start the worker.
    parser.add_argument("--worker", dest="url", help=argparse.SUPPRESS)
    parser.add_argument("--report", help=argparse.SUPPRESS)
    parser.add_argument("--notify", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--go", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.url:
        worker_main(args)
    else:
        sys.exit(parent_main(args))


if __name__ == "__main__":
    main()
