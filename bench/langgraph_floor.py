"""The floor of a DerirezaroSaver step: what no rewrite of its bookkeeping could take away.

A step of the saver is LangGraph's merge of the metadata, the serde's encoding
of the changed value and of the task's write, the two statements the SQLite
log runs, and the saver's own bookkeeping around them (which channels moved,
the delta, the record's checksums, the caches). `StatementsOnly` does the
first three and nothing else: it runs the statements a real step issued,
captured once, with a fresh seq and fresh ids each step. Its time beside the
saver's is what the bookkeeping costs, and beside the SQLite checkpointer's,
how far even a step whose bookkeeping cost nothing could be ahead.
"""

from __future__ import annotations

import uuid
from pathlib import Path
from typing import Any

from derirezaro.langgraph import DerirezaroSaver
from langgraph.checkpoint.base import get_checkpoint_metadata

# Positions in the captured parameters: the record's seq, its id and crc, the
# head's seq and crc it expects (the append); the task's id (the write).
_SEQ, _ID, _CRC, _EXPECTED, _EXPECTED_CRC = 0, 1, 9, 14, 15
_TASK = 1


class _Capturing:
    """The log's writer connection, remembering every statement run through it."""

    def __init__(self, connection: Any) -> None:
        self.connection, self.statements = connection, []

    def execute(self, sql: str, args: Any = ()) -> Any:
        self.statements.append((sql, args))
        return self.connection.execute(sql, args)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.connection, name)


class StatementsOnly:
    """Put and put_writes as only their unavoidable parts: see the module's docstring."""

    def __init__(self, path: Path, durability: str, first_step: Any) -> None:
        """`first_step(saver)` runs one step of a thread on the saver, whose statements are captured."""
        self._saver = DerirezaroSaver.sqlite(path, durability=durability)
        self.serde, self.get_next_version = self._saver.serde, self._saver.get_next_version
        log = self._saver.log
        self._writer, capturing = log._writer, _Capturing(log._writer)
        log._writer = capturing
        try:
            first_step(self._saver)
        finally:
            log._writer = self._writer
        (self._append, self._record), (self._add, self._write) = capturing.statements[-2:]
        self._seq = self._record[_SEQ]

    def put(self, config: Any, checkpoint: Any, metadata: Any, new_versions: Any) -> Any:
        get_checkpoint_metadata(config, metadata)
        values = checkpoint["channel_values"]
        for channel in new_versions:
            self.serde.dumps_typed(values[channel])
        record = list(self._record)
        self._seq += 1
        record[_SEQ], record[_ID], record[_EXPECTED] = self._seq, bytearray(uuid.uuid4().bytes), self._seq - 1
        record[_EXPECTED_CRC] = record[_CRC]  # every record it appends has the captured one's crc
        self._writer.execute(self._append, tuple(record))
        return config

    def put_writes(self, config: Any, writes: Any, task_id: str, task_path: str = "") -> None:
        for _, value in writes:
            self.serde.dumps_typed(value)
        write = list(self._write)
        write[_TASK] = bytearray(uuid.UUID(task_id).bytes)
        self._writer.execute(self._add, tuple(write))

    def close(self) -> None:
        self._saver.close()
