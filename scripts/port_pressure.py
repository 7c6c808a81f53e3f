#!/usr/bin/env python3
"""Keeps the loopback interface under ephemeral-port pressure, as a busy
machine has it: thousands of connections in TIME_WAIT, so that tests and
fuzzers can be run beside it and show they do not depend on free ports.

    python3 scripts/port_pressure.py [--count N] [--seconds S]

Each connection is made to a listener of its own on a port the system picks
and is closed by the listener's side first, so the TIME_WAIT it leaves holds
that port: for the next minute no outgoing connection can take it (the kind
a test suite that starts servers on port 0 leaves behind). The first N are
made at once; then N a minute, so about N stay in TIME_WAIT until the
script is stopped (SIGTERM, SIGINT) or S seconds have passed. Prints one
line once the first N are in place; the system's own counts then.
"""

from __future__ import annotations

import argparse
import signal
import socket
import sys
import time

TIME_WAIT = "06"  # the state's number in /proc/net/tcp
TIME_WAIT_SECONDS = 60  # Linux's TCP_TIMEWAIT_LEN


def time_wait_count() -> int:
    try:
        with open("/proc/net/tcp") as table:
            return sum(line.split()[3] == TIME_WAIT for line in list(table)[1:])
    except OSError:
        return -1


def one_time_wait() -> bool:
    """Leaves one connection in TIME_WAIT on a port of its own; False when
    the system had no port to give (the pressure is then at its height)."""
    try:
        with socket.socket() as listener:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            with socket.create_connection(listener.getsockname()) as client:
                accepted, _ = listener.accept()
                accepted.close()  # this side's FIN first: its end waits
                client.recv(1)
    except OSError:
        return False
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10000, help="connections kept in TIME_WAIT (10000)")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (default: when signalled)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    made = sum(one_time_wait() for _ in range(args.count))
    print(f"port_pressure: made {made} of {args.count}; TIME_WAIT on this host: {time_wait_count()}", flush=True)
    start = time.monotonic()
    period = TIME_WAIT_SECONDS / max(args.count, 1)
    next_report = start + TIME_WAIT_SECONDS
    due = start
    try:
        while not args.seconds or time.monotonic() - start < args.seconds:
            due += period
            one_time_wait()
            now = time.monotonic()
            if now >= next_report:
                print(f"port_pressure: TIME_WAIT on this host: {time_wait_count()}", flush=True)
                next_report = now + TIME_WAIT_SECONDS
            if due > now:
                time.sleep(due - now)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
