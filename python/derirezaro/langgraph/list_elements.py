"""Which elements of a list channel a put has stored already, found without encoding them again.

A running graph's messages list is a new list each step that holds the very
objects of the last step's, plus the new ones. The serde's encoding of an
element costs microseconds; a put that encoded every element to find the new
one would cost the whole conversation. So a put remembers, beside the bytes it
stored for each position, the object they were encoded from and a copy of that
object's content taken before the encoding. An element is taken as stored when
it is that very object and its content still equals the copy: an object changed
in place after it was stored (a message edited by a node, its id and identity
the same) fails the second check and is encoded again. Neither an id nor
identity alone says that: an overwrite keeps the id, an edit keeps the object.

The copy is deep for plain data (dicts, lists, tuples of str, bytes, numbers,
None), so an edit nested in a message's metadata is seen too. Of a pydantic
model it is the class and everything its dump is made of: the fields, the
extra fields, which fields were set, the private attributes. An element that
is neither, or that holds anything else, is not remembered: its channel is
encoded whole each put, as it would be without this. So is data nested deeper
than `DEPTH` levels: neither the copy nor what is rebuilt from it (decoded.py)
recurses further than that, whatever the caller's stack holds. The check is
equality with the copy: an edit that keeps every value equal (1 for True, keys
reordered) keeps the stored form, which reads back equal.
"""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Sequence
from typing import Any

try:  # the native check; a build of the extension without it leaves the Python one
    from .._list_elements import ends as _native_ends
    from .._list_elements import fields_index as _fields_index
except ImportError:  # pragma: no cover
    _native_ends = None  # type: ignore[assignment]
    _fields_index = None  # type: ignore[assignment]

UNKEPT: Any = object()  # an element's snapshot that could not be taken
DEPTH = 64  # levels of containers a snapshot copies; a message nests a few
_ATOMS = frozenset({str, bytes, int, float, bool, type(None)})
# All of a pydantic model that its dump depends on, as one tuple built in C.
_model_state = operator.attrgetter(
    "__class__", "__dict__", "__pydantic_extra__", "__pydantic_fields_set__", "__pydantic_private__"
)
_STATE = 5  # a model snapshot's items that are its state; an index of its fields follows


class _Unkept(Exception):
    """A value holds something whose content a copy cannot capture."""


def _copy(value: Any, depth: int = DEPTH) -> Any:
    """A deep copy of plain data that shares its immutable leaves; raises _Unkept on anything else, and
    on containers nested more than `depth` deep."""
    kind = type(value)
    if kind in _ATOMS:
        return value
    if not depth:
        raise _Unkept
    depth -= 1
    if kind is dict:
        for key in value:
            if type(key) not in _ATOMS:
                raise _Unkept
        return {key: _copy(item, depth) for key, item in value.items()}
    if kind is list:
        return [_copy(item, depth) for item in value]
    if kind is tuple:
        return tuple(_copy(item, depth) for item in value)
    raise _Unkept


def _is_model(value: Any) -> bool:
    return getattr(type(value), "__pydantic_fields__", None) is not None


def _snapshot(value: Any, models: bool) -> Any:
    """The copy that `value`'s content is checked against later. Raises _Unkept, also where the stack
    is too nearly spent to copy it: a value not kept is only encoded again."""
    try:
        if not models:
            return _copy(value)
        if not _is_model(value):
            raise _Unkept
        try:
            cls, fields, extra, fields_set, private = _model_state(value)
        except AttributeError:
            raise _Unkept from None
        state = cls, _copy(fields), _copy(extra), frozenset(fields_set), _copy(private)
        return *state, None if _fields_index is None else _fields_index(state)
    except RecursionError:
        raise _Unkept from None


@dataclasses.dataclass(slots=True)
class Kept:
    """What a put stored for one list channel, position by position beside its elements' bytes.

    Invariant: `objects[i]` was encoded into element i's bytes, and `snapshots[i]`
    is its content as it was then. `models`: the elements are pydantic models
    (their content is `_model_state`, their snapshot that and an index of its fields
    for the native check), else plain data (their content is themselves).
    `size`: the elements' bytes in all. Never changed once made: states share it.
    `read`: the objects are ones a read handed out, not a put's. `put`: of a read's,
    what a put from the same state knew of its own objects, which the writer may
    go on with while a reader holds the others (a state's own saver polled).
    """

    objects: list[Any]
    snapshots: list[Any]
    models: bool
    size: int
    read: bool = False
    put: Kept | None = None

    def for_list(self, value: list[Any]) -> Kept:
        """Of this and the put's it keeps, the one whose objects `value` starts with (this one if neither)."""
        put, first = self.put, value[0]  # `value` is not empty; either `objects` may be (a caller's list)
        if put is None or not put.objects or (self.objects and first is self.objects[0]):
            return self
        return put if first is put.objects[0] else self

    def ends(self, value: list[Any]) -> tuple[int, int]:
        """How many elements at the head of `value` and then at its tail are stored already, unchanged.

        The native check answers in one call, an element at a time, without a
        tuple per model; it hands `unchanged` what it cannot read itself.
        """
        if _native_ends is not None:
            return _native_ends(value, self.objects, self.snapshots, self.models, self.unchanged)
        return self.ends_in_python(value)

    def ends_in_python(self, value: list[Any]) -> tuple[int, int]:
        """`ends` without the native check: its answer, and the one the native check is tested against."""
        objects, n_old, n_new = self.objects, len(self.objects), len(value)
        head = _first_false(list(map(operator.is_, value, objects)))
        head = self._intact(value[:head], self.snapshots[:head])
        rest = min(n_old, n_new) - head
        if not rest:
            return head, 0
        same = list(map(operator.is_, value[n_new - rest :], objects[n_old - rest :]))
        same.reverse()
        tail = _first_false(same)
        live, snapshots = value[n_new - tail :], self.snapshots[n_old - tail :]
        live.reverse()
        snapshots.reverse()
        return head, self._intact(live, snapshots)

    def _intact(self, live: list[Any], snapshots: list[Any]) -> int:
        """How many of `live`, from the first, still equal their snapshots (one comparison when all do)."""
        try:
            if self.models:
                snapshots = [snapshot[:_STATE] for snapshot in snapshots]
            if (list(map(_model_state, live)) if self.models else live) == snapshots:
                return len(live)
        except Exception:
            pass  # an element that cannot be compared is found below, and counts as changed
        for i, (element, snapshot) in enumerate(zip(live, snapshots, strict=True)):
            if not self.unchanged(element, snapshot):
                return i
        return len(live)

    def unchanged(self, element: Any, snapshot: Any) -> bool:
        """Whether `element` still equals its snapshot, as list equality finds it: identity first, so a
        stored NaN is unchanged here as it is in `_intact`'s comparison of the whole run."""
        try:
            if not self.models:
                return element is snapshot or bool(element == snapshot)
            return bool(_model_state(element) == snapshot[:_STATE])
        except Exception:
            return False


def _first_false(flags: list[bool]) -> int:
    """The index of the first False in `flags`, or their number: one scan in C."""
    try:
        return flags.index(False)
    except ValueError:
        return len(flags)


def snapshots(value: Sequence[Any]) -> tuple[list[Any], bool] | None:
    """Snapshots of every element of a list and whether they are of models; None if one cannot be kept."""
    models = _is_model(value[0])
    try:
        return [_snapshot(element, models) for element in value], models
    except _Unkept:
        return None


def snapshot_or_none(value: Any, models: bool) -> Any:
    """The snapshot of one element to join a channel's, or UNKEPT if it cannot be kept."""
    try:
        return _snapshot(value, models)
    except _Unkept:
        return UNKEPT
