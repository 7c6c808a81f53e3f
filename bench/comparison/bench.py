"""The parent side: starts the child processes and the measuring server,
runs each measurement for each client, round by round."""

from __future__ import annotations

import argparse
import json
import math
import os
import select
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from comparison.child import raise_nofile
from comparison.clients import startup_program
from comparison.report import log, machine, shown, summarise
from kestrel_testing.server_process import ServerProcess

# Children are started through the command line's own file, which hands them on.
ENTRY = Path(__file__).resolve().parents[1] / "compare.py"
CHILD_TIMEOUT = 600.0  # generous: only there so that a stuck child cannot hang the run


def process_cpu_seconds(pid: int) -> float:
    """User+system seconds of another process so far (Linux)."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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
        self.house_pid = 0

    # -- processes

    def spawn_child(self, spec: dict[str, Any], *, stdin: Any = subprocess.DEVNULL) -> tuple[Any, LineReader]:
        read_fd, write_fd = os.pipe()
        spec = dict(spec, report_fd=write_fd)
        log_file = tempfile.TemporaryFile()
        process = subprocess.Popen(
            [sys.executable, str(ENTRY), "--child", json.dumps(spec)],
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
            [sys.executable, str(ENTRY), "--serve", json.dumps(spec)],
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
            child = self.spawn_child({"task": "latency", "client": client, "url": url, "games": games + warm,
                                      "loop": self.args.loop})
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
                "games": self.args.games, "sessions": sessions, "loop": self.args.loop}
        # The server's CPU over the whole child, warm-up included: per game
        # it is the same work, and the child alone knows when timing starts.
        server_before = process_cpu_seconds(self.house_pid)
        (result,) = self.finish_child(*self.spawn_child(spec))
        server_cpu = process_cpu_seconds(self.house_pid) - server_before
        played = result["games"] + max(20, sessions)
        return {
            f"games_per_s_{sessions}": result["games"] / result["seconds"],
            f"cpu_s_per_1000_{sessions}": result["cpu"] * 1000.0 / result["games"],
            f"server_cpu_s_per_1000_{sessions}": server_cpu * 1000.0 / played,
        }

    def idle_memory(self, client: str) -> dict[str, float]:
        count, warm = self.args.idle, 10
        server, server_reader, url = self.measuring_server(
            {"mode": "idle", "targets": [warm, warm + count]}
        )
        try:
            spec = {"task": "idle", "client": client, "url": url, "warm": warm, "count": count,
                    "loop": self.args.loop}
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
            assert house.process is not None
            self.house_pid = house.process.pid
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
                "loop": self.args.loop, "quick": self.args.quick, "label": self.args.label,
                "seconds": round(time.monotonic() - started, 1),
                "load_average_end": os.getloadavg(),
            },
            "figures": summarise(figures, clients),
        }
