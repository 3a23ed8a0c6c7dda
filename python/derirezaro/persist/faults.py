"""The faults the native record checks name, and the exception users see for each.

The native side (`derirezaro._replay`, src/persist/fault.hpp) reports a fault
as the tuple (fault, seq, detail) instead of raising, so that every message
is written here, once. The numbers are fault.hpp's and never change meaning.
"""

from __future__ import annotations

from typing import Any, NoReturn

from .errors import CorruptRecordError, FormatError

UNREADABLE_HEADER = 1
HEADER_CHECKSUM_MISMATCH = 2
FORMAT_TOO_NEW = 3
INCONSISTENT_HEADER = 4
TRUNCATED_BODY = 5
CHECKSUM_MISMATCH = 6
REMOVES_ABSENT = 7
STATE_DIGEST_MISMATCH = 8
UNDECODABLE_BODY = 9
KEYFRAME_DIGEST_MISMATCH = 10

Fault = tuple[int, int | None, Any]  # (fault, seq, detail)

_WHAT = {
    HEADER_CHECKSUM_MISMATCH: lambda detail: "header checksum mismatch",
    INCONSISTENT_HEADER: lambda detail: "inconsistent header",
    TRUNCATED_BODY: lambda detail: "truncated body",
    CHECKSUM_MISMATCH: lambda detail: "checksum mismatch",
    UNREADABLE_HEADER: lambda detail: f"unreadable header ({detail})",
    REMOVES_ABSENT: lambda detail: f"removes {detail[0]!r}/{detail[1]!r}, absent",
    STATE_DIGEST_MISMATCH: lambda detail: "state digest mismatch after replay",
    KEYFRAME_DIGEST_MISMATCH: lambda detail: "state digest mismatch",
    UNDECODABLE_BODY: lambda detail: "undecodable body",
}


def raise_fault(timeline: str, fault: Fault, newest_format: int) -> NoReturn:
    """Raise the exception of `fault`, a record of `timeline` read by code of `newest_format`."""
    code, seq, detail = fault
    if code == FORMAT_TOO_NEW:
        raise FormatError(detail, newest_format, f"timeline {timeline!r}, record {seq}")
    what = _WHAT.get(code)
    if what is None:
        raise AssertionError(f"fault {code} has no exception")  # a fault fault.hpp added but this table lacks
    raise CorruptRecordError(timeline, seq, what(detail))
