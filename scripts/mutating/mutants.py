"""The C++ mutants: universalmutator's rewrites of a room's files, less the
ones that never compile, sampled, planted in the private copy and taken out."""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import json
import random
import re
from pathlib import Path

from universalmutator import mutator

from mutating import COPY, NOT_BUILT, ROOT, RULES, log


def code_part(line: str) -> str:
    """The line without a trailing // comment (outside string literals)."""
    in_string = False
    i = 0
    while i < len(line):
        c = line[i]
        if c == "\\" and in_string:
            i += 2
            continue
        if c == '"':
            in_string = not in_string
        elif not in_string and line.startswith("//", i):
            return line[:i].rstrip()
        i += 1
    return line.rstrip()


def windows_only_lines(lines: list[str]) -> set[int]:
    """Line numbers (1-based) inside a branch compiled only for Windows."""
    stack: list[tuple[bool, bool]] = []  # (mentions _WIN32, this branch is Windows-only)
    out = set()
    for n, line in enumerate(lines, 1):
        s = line.strip()
        if re.match(r"#\s*if", s):
            win = "_WIN32" in s
            negated = s.startswith("#ifndef") or "!defined" in s.replace(" ", "")
            stack.append((win, win and not negated))
        elif re.match(r"#\s*el", s) and stack:
            win, only = stack[-1]
            stack[-1] = (win, win and not only)
        elif re.match(r"#\s*endif", s) and stack:
            stack.pop()
        elif any(only for _, only in stack):
            out.add(n)
    return out


# Rewrites that never compile (a number inside a name or a hexadecimal
# literal, an operator glued to ==): dropped before the build, which would
# only report them as skipped after a compile's wait.
NEVER_COMPILES = [
    re.compile(r"[A-Za-z_]\((?:\d+[-+]1|0|1|-1)\)[A-Za-z_0-9]"),
    re.compile(r"\((?:\d+[-+]1|0|1|-1)\)[xX'][0-9A-Fa-f]"),
    re.compile(r"[<>!=+\-*/]=="),
]


NAME = re.compile(r"[A-Za-z_]\w*")
KEYWORDS = {"break", "continue", "return", "true", "false", "nullptr"}


def never_compiles(old: str, new: str) -> bool:
    def balance(text: str) -> int:
        code = code_part(text)
        return code.count("(") - code.count(")")

    if balance(old) != balance(new):
        return True
    # A name cut in two by a rewritten digit (UTF8 -> UTF(8-1)) leaves a
    # name that the line did not have.
    names = set(NAME.findall(code_part(old))) | KEYWORDS
    if set(NAME.findall(code_part(new))) - names:
        return True
    return any(len(p.findall(new)) > len(p.findall(old)) for p in NEVER_COMPILES)


def mutants_of(path: str) -> list[dict]:
    lines = (ROOT / path).read_text().splitlines(keepends=True)
    skip = windows_only_lines(lines)
    found = []
    with contextlib.redirect_stdout(io.StringIO()):
        raw = mutator.mutants_regexp(lines, ruleFiles=RULES, ignorePatterns=[], ignoreStringOnly=True)
    for lineno, new, _rule, _ in raw:
        old = lines[lineno - 1]
        s = old.strip()
        if lineno in skip or s.startswith(("//", "#", "namespace", "}  // namespace")):
            continue
        if code_part(old) == code_part(new.rstrip("\n")) or not code_part(old) or never_compiles(old, new):
            continue
        digest = hashlib.sha1(f"{path}:{lineno}:{new}".encode()).hexdigest()[:10]
        found.append({"id": digest, "file": path, "line": lineno, "old": old.rstrip("\n"), "new": new.rstrip("\n")})
    return found


def room_files(room: str, headers: bool = False) -> list[str]:
    # A header's mutant rebuilds every file that includes it, minutes on a
    # busy machine; sources only unless asked.
    kinds = (".cpp", ".hpp") if headers else (".cpp",)
    files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src" / room).iterdir() if p.suffix in kinds)
    return [f for f in files if f not in NOT_BUILT]


def files_by_room(args: argparse.Namespace) -> dict[str, list[str]]:
    """The files to plant mutants in, by the room whose tests judge them:
    the rooms' sources, or just the files named with --files."""
    if not args.files:
        return {room: room_files(room, args.headers) for room in args.rooms}
    chosen: dict[str, list[str]] = {}
    for f in args.files:
        chosen.setdefault(Path(f).parts[1], []).append(f)
    return chosen


def plant(m: dict) -> None:
    target = COPY / m["file"]
    lines = (ROOT / m["file"]).read_text().splitlines(keepends=True)
    # A hand-written mutant may span lines (say, two swapped).
    at = slice(m["line"] - 1, m["line"] - 1 + m["old"].count("\n") + 1)
    assert "".join(lines[at]).rstrip("\n") == m["old"], f"{m['file']}:{m['line']} changed since sampling"
    lines[at] = [m["new"] + "\n"]
    target.write_text("".join(lines))


def restore(m: dict) -> None:
    (COPY / m["file"]).write_bytes((ROOT / m["file"]).read_bytes())


def pick(args: argparse.Namespace) -> list[dict]:
    if args.rerun:
        previous = [json.loads(line) for line in Path(args.rerun).read_text().splitlines() if line.strip()]
        chosen = [m for m in previous if m["status"] in args.rerun_status.split(",")]
        return [{k: m[k] for k in ("id", "file", "line", "old", "new", "room")} for m in chosen]
    rng = random.Random(args.seed)
    chosen = []
    for room, files in files_by_room(args).items():
        every = [dict(m, room=room) for f in files for m in mutants_of(f)]
        log(f"{room}: {len(every)} mutants from {len(files)} files; sampling {min(args.sample, len(every))}")
        chosen += rng.sample(every, min(args.sample, len(every)))
    # Neighbours in one file share their rebuild.
    return sorted(chosen, key=lambda m: (m["file"], m["line"], m["id"]))
