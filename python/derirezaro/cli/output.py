"""How the command line writes what it found: stored values as JSON, sizes, times, and a progress bar.

A store holds what MessagePack holds, and JSON holds less of it. Each value
that JSON cannot hold as it is becomes an object of one key that starts with
"$", so that what is printed reads back to the stored value without guessing:

- bytes: {"$bytes": "<base64>"}
- a map with a key that is not a str (an int, bytes, ...), or whose only key
  starts with "$": {"$map": [[key, value], ...]}
- a float JSON has no number for: {"$float": "nan"}, "inf" or "-inf"
- anything else a decoder may give: {"$repr": "<repr>"}
"""

from __future__ import annotations

import base64
import datetime
import json
import math
import sys
import time
from collections.abc import Iterable, Mapping
from typing import Any, TextIO

from ..persist.record import Record

VALUE_FORMS = """values that JSON cannot hold are printed as objects of one key:
  bytes                        {"$bytes": "<base64>"}
  a map with a key not a str   {"$map": [[key, value], ...]}  (also a map whose only key starts with "$")
  NaN, inf, -inf               {"$float": "nan"}, {"$float": "inf"}, {"$float": "-inf"}"""


def json_value(value: Any) -> Any:
    """`value`, as decoded from a store, in a form `json.dumps` writes exactly (see the module)."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if isinstance(value, (list, tuple)):
        return [json_value(item) for item in value]
    if isinstance(value, Mapping):
        plain = all(isinstance(key, str) for key in value)
        if plain and not (len(value) == 1 and next(iter(value)).startswith("$")):
            return {key: json_value(item) for key, item in value.items()}
        return {"$map": [[json_value(key), json_value(item)] for key, item in value.items()]}
    return {"$repr": repr(value)}


def record_json(record: Record) -> dict[str, Any]:
    """A record's header as JSON."""
    return {
        "seq": record.seq,
        "id": record.id,
        "parent": record.parent,
        "kind": record.kind,
        "time": when(record.timestamp, precise=True),
        "meta": json_value(record.meta),
        "size": record.size,
    }


def write_json(document: Any, stream: TextIO | None = None) -> None:
    """`document` as indented JSON and a newline; NaN is refused (`json_value` spells it out)."""
    stream = sys.stdout if stream is None else stream
    json.dump(document, stream, indent=2, ensure_ascii=False, allow_nan=False)
    stream.write("\n")


def when(timestamp: float | None, *, precise: bool = False) -> str:
    """A time in UTC, ISO 8601: to the second, or to the microsecond when `precise`."""
    if timestamp is None:
        return "-"
    moment = datetime.datetime.fromtimestamp(timestamp, datetime.timezone.utc)
    return moment.isoformat(timespec="microseconds" if precise else "seconds").replace("+00:00", "Z")


def size(count: int) -> str:
    """A byte count for a person to read: 812 B, 3.1 KiB, 2.0 GiB."""
    amount = float(count)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(amount) < 1024 or unit == "TiB":
            return f"{count} B" if unit == "B" else f"{amount:.1f} {unit}"
        amount /= 1024
    raise AssertionError("unreachable")


def counted(count: int, thing: str) -> str:
    """ "1 record", "2 records"."""
    return f"{count} {thing}" if count == 1 else f"{count} {thing}s"


def amount(count: int) -> str:
    """An exact byte count, and beside it the same for a person when it runs past a KiB."""
    return f"{count} bytes" if abs(count) < 1024 else f"{count} bytes ({size(count)})"


def row(cells: Iterable[object], widths: Iterable[int], stream: TextIO | None = None) -> None:
    """One line of a table: numbers right-aligned to their widths, the last cell (a name) as it is.

    Widths are fixed, not measured, so that a listing of any length is
    written as it is read, holding one row at a time.
    """
    *fixed, last = [str(cell) for cell in cells]
    line = "  ".join(cell.rjust(width) for cell, width in zip(fixed, widths, strict=False))
    print(f"{line}  {last}", file=sys.stdout if stream is None else stream)


class Progress:
    """A bar on stderr while work goes on, when stderr is a terminal; nothing otherwise.

    Redrawn at most ten times a second, so a fast loop does not spend its
    time writing to the terminal, and erased when done, so the lines the
    command prints after it stand alone.
    """

    def __init__(self, what: str, total: int, *, enabled: bool | None = None) -> None:
        self.what, self.total = what, total
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self._drawn = 0.0

    def update(self, done: int, note: str = "") -> None:
        now = time.monotonic()
        if not self.enabled or (now - self._drawn < 0.1 and done < self.total):
            return
        self._drawn = now
        share = done / self.total if self.total else 1.0
        filled = int(share * 30)
        bar = "#" * filled + "-" * (30 - filled)
        sys.stderr.write(f"\r\x1b[K[{bar}] {share:4.0%} {done}/{self.total} {self.what}{note}")
        sys.stderr.flush()

    def clear(self) -> None:
        """Erase the bar before anything else is written to the terminal."""
        if self.enabled and self._drawn:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self._drawn = 0.0
