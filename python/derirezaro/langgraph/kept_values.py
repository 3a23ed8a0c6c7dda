"""Values copied as they are stored, and which of them the importing process could not revive.

An import moves checkpoints between savers without reviving their values: a
MessagePack value of LangGraph's serde is unpacked down to its extension
types, which stay as stored (`Kept`), and packed again byte for byte. So a
type this process cannot import (the application's own classes, when the
import runs elsewhere) is copied whole, never turned into the dict of its
fields that the serde falls back to, and revives where the application reads
it.

Each extension that names a type is also revived once with the serde's own
hook, and the type named where that gives anything but an instance of it:
`take()` returns those names, for the import to report.
"""

from __future__ import annotations

import importlib
import inspect
from typing import Any

import ormsgpack
from langgraph.checkpoint.serde.base import SerializerProtocol
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer

_USUAL = "msgpack"
_OPTIONS = ormsgpack.OPT_NON_STR_KEYS
_NAMING = frozenset({0, 1, 2, 3, 4, 5})  # the serde's extensions that name a type: constructors, models
_ARRAY = 6  # a numpy array: needs numpy
_WRAPPER = 7  # a delta snapshot: holds a value whose extensions are judged too
# Verdicts kept by the extension's bytes: a conversation's messages recur in every checkpoint after them.
_VERDICTS_KEPT = 4096
_VERDICT_BYTES = 1 << 16


class Kept:
    """An extension value as stored: packed again as it was, never revived."""

    __slots__ = ("code", "data")

    def __init__(self, code: int, data: bytes) -> None:
        self.code, self.data = code, data

    def __repr__(self) -> str:
        return f"Kept({self.code}, {len(self.data)} bytes)"


def _packed(value: Any) -> Any:
    if type(value) is Kept:
        return ormsgpack.Ext(value.code, value.data)
    raise TypeError(f"not a stored value: {type(value).__name__}")


class KeptValues(SerializerProtocol):
    """A serde that keeps "msgpack" values as stored; other encodings go to `serde`, which revives them.

    `serde` is the one the values are read with where they are imported to:
    its hook judges what could be revived.
    """

    def __init__(self, serde: SerializerProtocol) -> None:
        self.serde = serde
        hook = getattr(serde, "_unpack_ext_hook", None)
        self._revive = hook if callable(hook) else JsonPlusSerializer()._unpack_ext_hook
        self._missing: dict[str, None] = {}
        self._verdicts: dict[tuple[int, bytes], tuple[str, ...]] = {}

    def loads_typed(self, data: tuple[str, bytes]) -> Any:
        kind, blob = data
        if kind != _USUAL:
            return self.serde.loads_typed(data)
        return ormsgpack.unpackb(blob, ext_hook=self._keep, option=_OPTIONS)

    def dumps_typed(self, obj: Any) -> tuple[str, bytes]:
        if obj is None or isinstance(obj, (bytes, bytearray)):
            return self.serde.dumps_typed(obj)
        try:
            return _USUAL, ormsgpack.packb(obj, default=_packed, option=_OPTIONS)
        except (ormsgpack.MsgpackEncodeError, TypeError):
            return self.serde.dumps_typed(obj)  # revived from another encoding: the serde's own

    def judge(self, pair: tuple[str, bytes]) -> None:
        """Judge the extensions of a value that is copied as a pair, without unpacking it for use."""
        if pair[0] == _USUAL:
            ormsgpack.unpackb(pair[1], ext_hook=self._keep, option=_OPTIONS)

    def take(self) -> list[str]:
        """The types met since the last call that this process could not revive, sorted."""
        missing, self._missing = self._missing, {}
        return sorted(missing)

    def _keep(self, code: int, data: bytes) -> Kept:
        if code in _NAMING or code == _ARRAY:
            self._missing.update(dict.fromkeys(self._verdict(code, data)))
        elif code == _WRAPPER:
            ormsgpack.unpackb(data, ext_hook=self._keep, option=_OPTIONS)
        return Kept(code, data)

    def _verdict(self, code: int, data: bytes) -> tuple[str, ...]:
        """The types this extension and those nested in it name that would not revive."""
        key = (code, data)
        verdict = self._verdicts.get(key)
        if verdict is not None:
            return verdict
        outer, self._missing = self._missing, {}
        try:
            failed = self._judge(code, data)  # nested extensions land in self._missing meanwhile
            verdict = (*self._missing, *([failed] if failed else []))
        finally:
            self._missing = outer
        if len(data) <= _VERDICT_BYTES:
            if len(self._verdicts) >= _VERDICTS_KEPT:
                self._verdicts.clear()
            self._verdicts[key] = verdict
        return verdict

    def _judge(self, code: int, data: bytes) -> str | None:
        """The type this extension names if the serde's hook does not revive it as one, else None."""
        try:
            fields = ormsgpack.unpackb(data, ext_hook=self._keep, option=_OPTIONS)
        except Exception:
            return f"an undecodable value (extension {code})"
        if code == _ARRAY:
            module, name = "numpy", "ndarray"
        else:
            try:
                module, name = str(fields[0]), str(fields[1])
            except (TypeError, IndexError, KeyError):
                return f"an unreadable type (extension {code})"
        try:
            revived = self._revive(code, data)
            made = getattr(importlib.import_module(module), name)
        except Exception:
            return f"{module}.{name}"
        # A class revives as its instance; a factory (re.compile) as anything but the nothing a failure gives.
        ok = isinstance(revived, made) if inspect.isclass(made) else revived is not None
        return None if ok else f"{module}.{name}"
