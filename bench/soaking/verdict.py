"""The verdict on a soak (every future accounted for, nothing grew) and its
summary."""

from __future__ import annotations

import argparse
import os
from collections import Counter
from typing import Any

from soaking import BLOCKING_POOL_CAP


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
