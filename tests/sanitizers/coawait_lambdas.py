"""Flags a capturing lambda written inside a co_await expression.

GCC 12 destroys such a closure at the wrong time when the coroutine suspends
(the captures are freed twice or used after free). Name the lambda in a
statement of its own and pass the name instead. A lambda without captures is
harmless and not flagged.

Usage: python coawait_lambdas.py DIR...   (exit status 1 when one is found)
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LAMBDA = re.compile(r"(?<![\w\])>])\[([^\[\]]*)\]\s*(?:\(|\{|mutable\b|->|<)")


def blank_comments_and_literals(text: str) -> str:
    """The source with comments, strings and characters turned into spaces
    (newlines kept, so offsets still give line numbers)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        two = text[i : i + 2]
        if two == "//":
            end = text.find("\n", i)
            end = n if end < 0 else end
        elif two == "/*":
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
        elif text[i] in "\"'" and not (i > 0 and (text[i - 1].isalnum() or text[i - 1] == "_")):
            quote, end = text[i], i + 1
            while end < n and text[end] != quote:
                end += 2 if text[end] == "\\" else 1
            end += 1
        else:
            out.append(text[i])
            i += 1
            continue
        out.append("".join(c if c == "\n" else " " for c in text[i:end]))
        i = end
    return "".join(out)


def awaited_expression(code: str, start: int) -> str:
    """From `co_await` to the end of its full expression: a `;` or a
    bracket closed that was opened before it."""
    depth = 0
    for i in range(start, len(code)):
        c = code[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return code[start:i]
        elif c == ";" and depth == 0:
            return code[start:i]
    return code[start:]


def findings(path: Path) -> list[str]:
    code = blank_comments_and_literals(path.read_text(encoding="utf-8"))
    found = []
    for await_at in re.finditer(r"\bco_await\b", code):
        expression = awaited_expression(code, await_at.start())
        for lam in LAMBDA.finditer(expression):
            if lam.group(1).strip():
                line = code.count("\n", 0, await_at.start() + lam.start()) + 1
                found.append(f"{path}:{line}: capturing lambda [{lam.group(1).strip()}] inside co_await")
    return found


def main(roots: list[str]) -> int:
    found = []
    for root in roots:
        for path in sorted(Path(root).rglob("*")):
            if path.suffix in (".cpp", ".hpp", ".h", ".cc") and path.is_file():
                found += findings(path)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
