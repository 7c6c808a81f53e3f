"""The match server's wire format as the hand-written benchmark clients read
it (the Python side of src/core/wire.*)."""

from __future__ import annotations


def read_varint(data: bytes, at: int) -> tuple[int, int]:
    """The integer that starts at `at` and the offset just past it: one byte
    below 251, else a marker (251, 252, 253) and 2, 4 or 8 little-endian bytes."""
    first = data[at]
    if first < 251:
        return first, at + 1
    width = {251: 2, 252: 4, 253: 8}[first]
    return int.from_bytes(data[at + 1 : at + 1 + width], "little"), at + 1 + width
