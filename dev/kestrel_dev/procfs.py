"""What the benchmarks read of a process from Linux's /proc: memory, CPU
time, threads by name and descriptors by kind. `pid` is a process id or
"self"."""

from __future__ import annotations

import os
import re
from collections import Counter
from pathlib import Path

TCP_STATES = {
    "01": "ESTABLISHED", "02": "SYN_SENT", "03": "SYN_RECV", "04": "FIN_WAIT1", "05": "FIN_WAIT2",
    "06": "TIME_WAIT", "07": "CLOSE", "08": "CLOSE_WAIT", "09": "LAST_ACK", "0A": "LISTEN", "0B": "CLOSING",
}  # fmt: skip


def status_kib(field: str, pid: int | str = "self") -> int:
    """A kB figure of /proc/PID/status (VmRSS, VmHWM, ...); 0 when absent."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def rss_kib(pid: int | str = "self") -> int:
    return status_kib("VmRSS", pid)


def peak_rss_kib(pid: int | str = "self") -> int:
    return status_kib("VmHWM", pid)


def cpu_seconds(pid: int | str = "self") -> float:
    """User and system time so far, of the process itself (not its children)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_names(pid: int | str = "self") -> Counter[str]:
    names: Counter[str] = Counter()
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            names[Path(f"/proc/{pid}/task/{tid}/comm").read_text().strip()] += 1
        except OSError:
            pass  # ended meanwhile
    return names


def thread_count(pid: int | str = "self") -> int:
    return len(os.listdir(f"/proc/{pid}/task"))


def fd_count(pid: int | str = "self") -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


def open_fds(server_port: int, pid: int | str = "self") -> tuple[Counter[str], int]:
    """The process's fds by kind (TCP sockets by state), and how many of them
    are connections to `server_port`: what a growth is made of."""
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
