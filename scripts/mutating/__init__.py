"""The parts of scripts/mutants.py: where things are and which tests judge
each room (here), choosing and planting the C++ mutants (`mutants`),
building the mutated copy and running its tests (`judge`), the C++ run
(`cpp`) and mutmut over the arena (`arena`)."""

from __future__ import annotations

from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "mutants"
COPY = WORK / "src"  # the private copy the mutants are planted in
TREE = WORK / "tree"  # its CMake tree
VENV = ROOT / ".venv" / "bin"
RULES = ["universal.rules", "c_like.rules", "cpp.rules"]
MIRRORED = ["CMakeLists.txt", "cmake", "src", "tests/cpp"]

# The pytest files that drive each room's code (after ctest, for the rooms
# kestrel_tests links). Slow end-to-end files (the
# browser page, the examples' mypy run, the soak, the arena) are left out.
ROOMS = {
    "core": [
        "tests/python/test_server.py",
        "tests/python/test_session.py",
        "tests/python/test_client.py",
        "tests/python/test_fork.py",
    ],
    "net": ["tests/python/test_session.py", "tests/python/test_transport.py", "tests/python/test_client.py"],
    "python": [
        "tests/python/test_bridge.py",
        "tests/python/test_client.py",
        "tests/python/test_module.py",
        "tests/python/test_faults.py",
        "tests/python/test_exit.py",
        "tests/python/test_fork.py",
    ],
    "server": ["tests/python/test_server.py", "tests/python/test_spectator.py"],
}
# Compiled only with KESTREL_TURN_STAMPS (the benchmarks' build): a mutant
# there changes nothing the tests build.
NOT_BUILT = {"src/core/turn_stamps.cpp", "src/core/turn_stamps.hpp"}


def log(*words: object) -> None:
    print(*words, flush=True)
