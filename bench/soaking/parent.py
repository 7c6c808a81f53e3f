"""The parent: the server, the worker, their logs, the verdict."""

from __future__ import annotations

import argparse
import json
import os
import random
import select
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from kestrel_dev.procfs import fd_count, peak_rss_kib, rss_kib, thread_count
from kestrel_testing.server_process import ServerProcess, find_server_binary
from soaking import raise_fd_limit
from soaking.logs import classify_client_lines, classify_server_log, split_at_mark
from soaking.verdict import check, print_summary

SOAK = Path(__file__).resolve().parents[1] / "soak.py"  # the worker is this script again

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
        "fds": fd_count(pid),
        "threads": thread_count(pid),
        "rss_kib": rss_kib(pid),
        "peak_rss_kib": peak_rss_kib(pid),
    }


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
            sys.executable, str(SOAK), "--worker", server.url, "--report", str(report_path),
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
