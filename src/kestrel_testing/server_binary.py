"""Where a kestrel-server binary is found: one search shared by the arena,
the tests and the benchmarks, each of which only says what it was given."""

from __future__ import annotations

import os
import shutil
import sysconfig
from collections.abc import Iterable
from pathlib import Path

SERVER_EXE = "kestrel-server" + (".exe" if os.name == "nt" else "")


def server_candidates(build_dir: Path | None = None) -> list[Path]:
    """Where kestrel-server may be, in order: in `build_dir` (a CMake build
    folder) when given, beside this Python (a venv's scripts folder need not
    be on PATH), on PATH."""
    candidates = [build_dir / SERVER_EXE] if build_dir is not None else []
    candidates.append(Path(sysconfig.get_path("scripts")) / SERVER_EXE)
    if found := shutil.which("kestrel-server"):
        candidates.append(Path(found))
    return candidates


def first_executable(candidates: Iterable[Path]) -> Path | None:
    return next((c for c in candidates if c.is_file() and os.access(c, os.X_OK)), None)
