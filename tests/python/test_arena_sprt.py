"""kestrel-arena --sprt on a real server: it stops at the decision, tells it
by its exit status and records the pentanomial, the LLR and the decision."""

from __future__ import annotations

import json
from pathlib import Path

import pytest
from test_arena import EXAMPLES, arena

pytestmark = pytest.mark.timeout(300)


@pytest.mark.parametrize(
    ("new", "old", "extra", "status", "decision"),
    [
        ("perfect", "first_free", [], 0, "H1"),
        ("first_free", "first_free", [], 10, "H0"),
        ("random_bot", "first_free", ["--max-games", "4"], 11, "inconclusive"),
    ],
    ids=["stronger", "two copies of a deterministic bot", "undecided at --max-games"],
)
def test_sprt_decides_and_records(
    tmp_path: Path, new: str, old: str, extra: list[str], status: int, decision: str
) -> None:
    bots = [str(EXAMPLES / f"{name}.py") for name in (new, old)]
    done = arena(tmp_path, *bots, "--sprt", "0", "50", "--seed", "3", "--concurrency", "2", *extra)
    assert done.returncode == status, done.stdout + done.stderr
    record = json.loads((tmp_path / "tournament.json").read_text())
    sprt = record["sprt"]
    assert sprt["decision"] == decision and record["complete"]
    assert sum(sprt["pentanomial"]) == sprt["pairs"] and len(record["games"]) == 2 * sprt["pairs"]
    if decision == "inconclusive":
        assert sprt["lower_bound"] < sprt["llr"] < sprt["upper_bound"] and sprt["pairs"] == 2
    else:
        assert (sprt["llr"] >= sprt["upper_bound"]) == (decision == "H1")
    summary = done.stdout[done.stdout.index("SPRT (0, 50)") :]
    assert f"LLR {sprt['llr']:+.2f}" in summary and "inf" not in summary


@pytest.mark.parametrize(
    ("count", "args"),
    [
        (3, ["--sprt", "0", "5"]),
        (2, ["--sprt", "5", "0"]),
        (2, ["--sprt", "0", "5", "--games", "4"]),
        (2, ["--max-games", "4"]),
    ],
    ids=["three bots", "bounds reversed", "with --games", "--max-games alone"],
)
def test_unusable_sprt_arguments_are_refused(tmp_path: Path, count: int, args: list[str]) -> None:
    done = arena(tmp_path / "out", *[str(EXAMPLES / "first_free.py")] * count, *args)
    assert done.returncode == 2 and "kestrel-arena: error:" in done.stderr, done.stderr
