"""Elements a saver has decoded once, handed out again without the serde.

A conversation's messages are decoded from the same bytes at every read: the
thread's newest checkpoint at the start of each turn, a delta channel's seed
and the writes since it each time its history is asked for. LangGraph's serde rebuilds a pydantic model
per message through validation, tens of microseconds each; the bytes have not
changed since the last read. So a saver keeps, for bytes it decoded, what the
decode produced as a snapshot in `list_elements`' format (plain data copied,
sharing its immutable leaves; a model as its class, fields, extra fields, set
fields and private attributes), and a later read of the same bytes gets a new
object built from that snapshot: plain data copied again, a model made as
pydantic's own copy makes one (`__new__`, its four slots set, no validation).

Invariants:
- Each read hands out objects no other read holds (atoms and tuples of atoms,
  which nobody can edit, excepted): editing what one read returned cannot
  change what another gets, nor the snapshot.
- What a read gets is equal in type and value to what the serde gives for the
  same bytes, the snapshot having been taken from the serde's own result. Only
  LangGraph's own serde is trusted for that (its decode depends on the bytes
  alone); any other serde decodes every time.
- A value the snapshot cannot hold (a model nesting another model, a set, a
  datetime...) is never kept: it is decoded by the serde at every read.

The entries are bounded by what they cost: the bytes they were decoded from,
a fixed allowance each, and one for every object of their snapshot (a few
bytes of MessagePack can stand for a container of a hundred bytes, so the
bytes alone bound nothing), least recently read first out; `DEFAULT_BYTES`
holds some eight conversations of a thousand messages. Beside them, the
delta-channel seeds last read are remembered whole (their bytes and their
elements' entries), least recently read first out, while what they cost
together is at most half the bound: one conversation of four thousand
messages, or several shorter ones.

A read of a list channel also gives the state it read a `Kept` of the objects
it handed out, so that the next put from that state, which holds those very
objects plus the new ones, encodes only the new ones.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import Any

from langgraph.checkpoint.serde import types as _serde_types
from pydantic import BaseModel

from .list_elements import UNKEPT, Kept, snapshot_or_none

try:  # the native rebuild; a build of the extension without it leaves `_rebuilt`
    from .._list_elements import rebuilt as _native_rebuilt
except ImportError:  # pragma: no cover
    _native_rebuilt = None  # type: ignore[assignment]

# Absent from a LangGraph without delta channels, which has no seeds to split.
_DeltaSnapshot: Any = getattr(_serde_types, "_DeltaSnapshot", None)

DEFAULT_BYTES = 16 << 20
_SEEDS_SHARE = 2  # the seeds remembered whole cost at most the bound over this, together
_ENTRY_OVERHEAD = 256  # an entry's key, its tuple and its place in the order, roughly
_OBJECT_COST = 64  # an object of a snapshot and its slot in its container, roughly: an empty dict is 64
_USUAL = "msgpack"
# Entries from which the native rebuild pays for its fixed cost (it looks up each class's slots per call):
# a pending write's message or two costs less made one by one.
_NATIVE_FROM = 4
_EXT_DELTA_SNAPSHOT = 7  # the serde's extension code for a delta channel's seed
Pair = tuple[str, bytes]
Loads = Callable[[Pair], Any]
# A snapshot; whether of a model; its fields that hold containers of atoms, and of containers (`_plan`).
Entry = tuple[Any, bool, tuple[str, ...], tuple[str, ...]]
_ATOMS = frozenset({str, bytes, int, float, bool, type(None)})
_SLOTS = ("__dict__", "__pydantic_extra__", "__pydantic_fields_set__", "__pydantic_private__")
_set_slot = object.__setattr__
_new = object.__new__
# The slots' own descriptors: a call to one costs less than object.__setattr__ finding it.
_set_extra = BaseModel.__dict__["__pydantic_extra__"].__set__
_set_fields_set = BaseModel.__dict__["__pydantic_fields_set__"].__set__
_set_private = BaseModel.__dict__["__pydantic_private__"].__set__
_simple_models: dict[type, bool] = {}  # class -> whether the four slots are all its state


class Decoded:
    """One saver's decoded elements, keyed by their (type, bytes)."""

    def __init__(self, serde: Any, limit: int = DEFAULT_BYTES) -> None:
        self.serde = serde  # the serde whose decodes these are
        self.limit = limit
        self.size = 0
        self._entries: OrderedDict[Pair, Entry] = OrderedDict()
        self._costs: dict[Pair, int] = {}  # each entry's share of `size`
        # Seeds as the entries of their elements, and what each costs: a seed read again needs neither
        # splitting nor lookups.
        self._seeds: OrderedDict[bytes, tuple[list[Entry], int]] = OrderedDict()
        self._seeds_size = 0
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._entries)

    def elements(self, pairs: Sequence[Pair], loads_typed: Loads) -> tuple[list[Any], Kept | None]:
        """The elements stored as `pairs`, decoded; and a `Kept` of them when every one has a snapshot
        and all are models or none is (what a put can check them against)."""
        out, entries = self._decoded(pairs, loads_typed)
        kinds = {entry[1] if entry is not None else None for entry in entries}
        if len(kinds) != 1 or None in kinds:  # one without a snapshot, or models beside plain data
            return out, None
        snapshots = [entry[0] for entry in entries if entry is not None]
        size = sum(len(data) for _, data in pairs)
        return out, Kept(list(out), snapshots, kinds.pop() is True, size, read=True)

    def seed(self, pair: Pair, loads_typed: Loads) -> Any:
        """A delta channel's stored seed, decoded element by element when it is a list of extension
        values (a conversation of models); anything else as the serde decodes it."""
        kind, data = pair
        if kind != _USUAL or not is_seed(data):
            return loads_typed(pair)
        with self._lock:
            known = self._seeds.get(data)
            if known is not None:
                self._seeds.move_to_end(data)
        if known is not None:
            try:
                return _DeltaSnapshot(_rebuilt_all(known[0]))
            except RecursionError:
                pass  # the caller's stack is nearly spent: decoded as if not remembered
        parts = split_seed(data)
        if parts is None:
            return loads_typed(pair)
        pairs = [(_USUAL, part) for part in parts]
        values, entries = self._decoded(pairs, loads_typed)
        # Its entries may leave the bound's and live on here: what they cost counts against the seeds' share.
        whole = [entry for entry in entries if entry is not None]
        share = self.limit // _SEEDS_SHARE
        if len(whole) == len(entries) and len(data) <= share:
            cost = self._seed_cost(len(data), pairs, whole)
            if cost <= share:
                self._keep_seed(data, whole, cost, share)
        return _DeltaSnapshot(values)

    def _seed_cost(self, size: int, pairs: Sequence[Pair], whole: Sequence[Entry]) -> int:
        """`_cost(size, whole)`, from what each element's entry was found to cost when it was kept: a
        seed that does not fit is decoded at every read, and walking its snapshots again each time
        would cost a turn more than the decode."""
        costs, total = self._costs, size
        for pair, entry in zip(pairs, whole, strict=True):
            kept = costs.get(pair)
            total += kept - len(pair[1]) if kept is not None else _cost(0, [entry])
        return total

    def _keep_seed(self, data: bytes, whole: list[Entry], cost: int, share: int) -> None:
        with self._lock:
            if data in self._seeds:
                return
            self._seeds[data] = whole, cost
            self._seeds_size += cost
            while self._seeds_size > share:
                _, (_, gone) = self._seeds.popitem(last=False)
                self._seeds_size -= gone

    def write(self, pair: Pair, loads_typed: Loads) -> Any:
        """A pending write's value: an array of extension values (a node's new messages) decoded element
        by element, each from its entry when it has one; anything else as the serde decodes it.

        A delta channel's history hands out the writes of every ancestor since
        its seed at each turn: the same bytes, read again and again.
        """
        kind, data = pair
        if kind != _USUAL or not data or (data[0] & 0xF0 != 0x90 and data[0] not in (0xDC, 0xDD)):
            return loads_typed(pair)
        parts = _split_array(data, 0, len(data))
        if not parts:
            return loads_typed(pair)
        return self._decoded([(_USUAL, part) for part in parts], loads_typed)[0]

    def _decoded(self, pairs: Sequence[Pair], loads_typed: Loads) -> tuple[list[Any], list[Entry | None]]:
        """The values stored as `pairs`, and the entry of each (None for a value that has none)."""
        entries = self._lookup(pairs)
        out = _rebuilt_natively(entries) if len(entries) >= _NATIVE_FROM else [None] * len(entries)
        missing: list[int] = []
        for i, entry in enumerate(entries):
            if entry is None:
                missing.append(i)
            elif out[i] is None:  # not made natively (or None itself)
                try:
                    out[i] = _rebuilt(*entry)
                except RecursionError:  # the caller's stack is nearly spent: the serde needs less of it
                    entries[i] = None
                    missing.append(i)
        if missing:
            # Each alone: the serde ignores bytes after a value, so elements joined into one array
            # could shift under a damaged one and each be read as its neighbour.
            for i in missing:
                out[i] = value = loads_typed(pairs[i])
                entries[i] = self._keep(pairs[i], value)
        return out, entries

    def _lookup(self, pairs: Sequence[Pair]) -> list[Entry | None]:
        entries = self._entries
        with self._lock:
            found = [entries.get(pair) for pair in pairs]
            for pair, entry in zip(pairs, found, strict=True):
                if entry is not None:
                    entries.move_to_end(pair)
        return found

    def _keep(self, pair: Pair, value: Any) -> Entry | None:
        """Remember the snapshot of `value`, just decoded from `pair`; the entry, or None if it has none."""
        models = isinstance(value, BaseModel)
        if models and not _simple_model(type(value)):
            return None
        snapshot = snapshot_or_none(value, models)
        if snapshot is UNKEPT:
            return None
        cost = _cost(len(pair[1]), [(snapshot,)])
        if cost > self.limit:
            return None  # kept, it would push out everything else
        try:
            entry = snapshot, models, *(_plan(snapshot[1]) if models else ((), ()))
        except RecursionError:  # as in _decoded: not kept
            return None
        with self._lock:
            if pair not in self._entries:
                self._entries[pair] = entry
                self._costs[pair] = cost
                self.size += cost
                while self.size > self.limit:
                    gone, _ = self._entries.popitem(last=False)
                    self.size -= self._costs.pop(gone)
        return entry


def for_saver(saver: Any) -> Decoded | None:
    """The saver's `Decoded`, made on first use; None when its serde is not LangGraph's own, whose
    "msgpack" values decode the same from the same bytes."""
    if not saver._plain_msgpack():
        return None
    serde = saver.serde
    decoded = saver.__dict__.get("_decoded")
    if decoded is None or decoded.serde is not serde:  # a clone (with_allowlist) has a serde of its own
        decoded = saver.__dict__["_decoded"] = Decoded(serde)
    return decoded


def _cost(size: int, entries: Sequence[Sequence[Any]]) -> int:
    """What entries (of snapshots first) decoded from `size` bytes cost against the bound."""
    return size + sum(_ENTRY_OVERHEAD + _OBJECT_COST * _objects(entry[0]) for entry in entries)


def _objects(snapshot: Any) -> int:
    """How many objects a snapshot holds: each container and each item, without recursion."""
    count, stack = 0, [snapshot]
    while stack:
        value = stack.pop()
        count += 1
        kind = type(value)
        if kind is dict:
            stack += value.values()
        elif kind is list or kind is tuple or kind is frozenset:
            stack += value
    return count


def _simple_model(cls: type) -> bool:
    """Whether an instance of model class `cls` is wholly its four pydantic slots: no slot of its own."""
    simple = _simple_models.get(cls)
    if simple is None:
        simple = all(set(_slots_of(klass)) <= set(_SLOTS) for klass in cls.__mro__)
        _simple_models[cls] = simple
    return simple


def _slots_of(klass: type) -> tuple[str, ...]:
    slots = klass.__dict__.get("__slots__", ())
    return (slots,) if isinstance(slots, str) else tuple(slots)


def _rebuilt(snapshot: Any, model: bool, flat: tuple[str, ...], deep: tuple[str, ...]) -> Any:
    """A new object equal to what `snapshot` was taken of, sharing with it only what nobody can edit.

    Of a model's fields, `flat` hold containers of atoms, which one copy renews;
    `deep` hold containers of containers; the others hold atoms, which the copy
    of the dict carries over.
    """
    if not model:
        return _fresh(snapshot)
    cls, fields, extra, fields_set, private = snapshot[:5]
    value = _new(cls) if cls.__new__ is _new else cls.__new__(cls)
    own = fields.copy()
    for key in flat:
        own[key] = fields[key].copy()
    for key in deep:
        own[key] = _fresh(fields[key])
    _set_slot(value, "__dict__", own)
    _set_extra(value, None if extra is None else _fresh(extra))
    _set_fields_set(value, set(fields_set))
    _set_private(value, None if private is None else _fresh(private))
    return value


def _rebuilt_natively(entries: list[Entry | None]) -> list[Any]:
    """What the native rebuild makes of `entries`: None where it leaves an entry to `_rebuilt`."""
    if _native_rebuilt is None:
        return [None] * len(entries)
    try:
        return _native_rebuilt(entries)
    except RecursionError:  # a snapshot nested past what the native walk takes: each left to `_rebuilt`
        return [None] * len(entries)


def _rebuilt_all(entries: list[Entry]) -> list[Any]:
    """`_rebuilt` of each entry, natively where its class allows."""
    out = _rebuilt_natively(list(entries))
    for i, value in enumerate(out):
        if value is None:
            out[i] = _rebuilt(*entries[i])
    return out


def _plan(fields: dict[str, Any]) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The keys of a model's fields that hold containers of atoms only, and those that hold more."""
    flat: list[str] = []
    deep: list[str] = []
    for key, item in fields.items():
        kind = type(item)
        if kind in _ATOMS or (kind is tuple and _fresh(item) is item):
            continue
        items = item.values() if kind is dict else item
        (flat if kind in (dict, list) and all(type(x) in _ATOMS for x in items) else deep).append(key)
    return tuple(flat), tuple(deep)


def _fresh(value: Any) -> Any:
    """A copy of plain data (a snapshot's) with new dicts and lists throughout; atoms shared."""
    kind = type(value)
    if kind is dict:
        out = value.copy()
        if not out:
            return out
        for key, item in value.items():
            if type(item) not in _ATOMS:
                out[key] = _fresh(item)
        return out
    if kind is list:
        if not value:
            return []
        return [item if type(item) in _ATOMS else _fresh(item) for item in value]
    if kind is tuple:
        for item in value:
            if type(item) not in _ATOMS:
                return tuple(_fresh(each) for each in value)
    return value


def is_seed(data: bytes) -> bool:
    """Whether `data` (a "msgpack" value) is a delta channel's seed, read from its first bytes."""
    got = _ext(data, 0) if _DeltaSnapshot is not None else None
    return got is not None and got[0] == _EXT_DELTA_SNAPSHOT and got[2] == len(data)


def split_seed(data: bytes) -> list[bytes] | None:
    """The elements of a stored delta-channel seed whose value is an array of extension values, each as
    a MessagePack value of its own; None if `data` is anything else (decoded whole instead)."""
    got = _ext(data, 0)
    if got is None or got[0] != _EXT_DELTA_SNAPSHOT or got[2] != len(data):
        return None
    return _split_array(data, got[1], got[2])


def _split_array(data: bytes, at: int, end: int) -> list[bytes] | None:
    """The elements of the array that spans `data[at:end]`, each as a MessagePack value of its own, when
    every one is an extension value; None if anything else lies there."""
    if at >= end:
        return None
    first = data[at]
    if first & 0xF0 == 0x90:
        count, at = first & 0x0F, at + 1
    elif first in (0xDC, 0xDD):
        width = 2 if first == 0xDC else 4
        count, at = int.from_bytes(data[at + 1 : at + 1 + width], "big"), at + 1 + width
    else:
        return None
    parts = []
    for _ in range(count):
        element = _ext(data, at)
        if element is None or element[2] > end:
            return None
        parts.append(data[at : element[2]])
        at = element[2]
    return parts if at == end else None


def _ext(data: bytes, at: int) -> tuple[int, int, int] | None:
    """The extension value at `at`: (its type code, where its payload starts, where it ends); None if
    another kind of value lies there, or the bytes end first."""
    if at >= len(data):
        return None
    first = data[at]
    if 0xD4 <= first <= 0xD8:
        size, head = 1 << (first - 0xD4), 2
    elif 0xC7 <= first <= 0xC9:
        width = 1 << (first - 0xC7)
        head = 2 + width
        if at + head > len(data):
            return None
        size = int.from_bytes(data[at + 1 : at + 1 + width], "big")
    else:
        return None
    if at + head + size > len(data):
        return None
    code = data[at + head - 1]
    return code - 256 if code > 127 else code, at + head, at + head + size
