"""The C++ run: every sampled mutant planted, built, judged and taken out,
its result written as it comes, and the counts per room."""

from __future__ import annotations

import argparse
import json
import time
from collections import Counter

from mutating import COPY, ROOT, WORK, log
from mutating.judge import baseline, build, configure, failed_tests, mirror, run_tests
from mutating.mutants import pick, plant, restore


def summary(results: list[dict]) -> None:
    rooms = sorted({r["room"] for r in results})
    log("\nroom      mutants  killed  survived  timeout  skipped  score")
    for room in rooms + ["all"]:
        rs = [r for r in results if room in ("all", r["room"])]
        c = Counter(r["status"] for r in rs)
        live = c["killed"] + c["survived"] + c["timeout"]
        score = 100 * (c["killed"] + c["timeout"]) / live if live else 0
        log(f"{room:8} {len(rs):8} {c['killed']:7} {c['survived']:9} {c['timeout']:8} {c['skipped']:8}  {score:5.1f} %")
    spent = [r["seconds"] for r in results if r["status"] != "skipped"]
    if spent:
        spent.sort()
        log(f"seconds per mutant (build + tests): median {spent[len(spent) // 2]:.0f}, max {spent[-1]:.0f}")
    survivors = [r for r in results if r["status"] == "survived"]
    if survivors:
        log(f"\nsurvivors ({len(survivors)}):")
    for r in survivors:
        log(f"  [{r['id']}] {r['file']}:{r['line']}\n    - {r['old'].strip()}\n    + {r['new'].strip()}")


def run_cpp(args: argparse.Namespace) -> None:
    COPY.mkdir(parents=True, exist_ok=True)
    mirror()
    configure()
    chosen = pick(args)
    rooms = sorted({m["room"] for m in chosen})
    if not args.no_baseline:
        baseline(rooms, args)
    out_path = ROOT / (args.out or WORK / f"results-{'-'.join(rooms)}-{args.seed}.jsonl")
    out_path.write_text("")
    results = []
    for i, m in enumerate(chosen, 1):
        start = time.monotonic()
        plant(m)
        try:
            ok, build_out = build(args.build_limit)
            if not ok:
                status, tail = "skipped", build_out[-600:]
            else:
                verdict, _, tail = run_tests(m["room"], args)
                status = {"fail": "killed", "timeout": "timeout", "pass": "survived"}[verdict]
        finally:
            restore(m)
        r = dict(m, status=status, seconds=round(time.monotonic() - start, 1))
        if status in ("killed", "timeout"):
            r["by"] = failed_tests(tail)
        results.append(r)
        with out_path.open("a") as f:
            f.write(json.dumps(r) + "\n")
        log(f"[{i}/{len(chosen)}] {status:8} {r['seconds']:5.0f} s  {m['file']}:{m['line']}  {m['new'].strip()[:70]}")
        if r.get("by"):
            log(f"      by {', '.join(r['by'])}")
    # Leave the copy built as the work tree is, for the next run.
    build(args.build_limit * 10)
    log(f"\nresults: {out_path.relative_to(ROOT)}")
    summary(results)
