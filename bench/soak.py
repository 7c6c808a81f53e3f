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
import sys

from soaking.parent import parent_main
from soaking.worker import worker_main


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
