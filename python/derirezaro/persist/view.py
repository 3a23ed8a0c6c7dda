"""Committed states read in place: `Timeline.state` and `Timeline.changes`.

A view holds a record's snapshot restored into a scratch store of its own
(restore is O(1): the store's maps are persistent, so the view shares every
entry with the timeline's cached states). Reading it never touches the
working store, and the scratch store keeps no history.
"""

from __future__ import annotations

from typing import Any, Final, final

from .._core import Snapshot, Store


@final
class _Absent:
    """The side of a change where the key is not: added keys have it as old value, removed ones as new."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "ABSENT"

    def __reduce__(self) -> str:
        return "ABSENT"  # unpickles as this module's one instance

    def __bool__(self) -> bool:
        return False


ABSENT: Final = _Absent()

Changes = dict[str, dict[str, tuple[Any, Any]]]


class StateView:
    """The state a record leads to, read-only. Namespaces and keys come sorted.

    Values are decoded on each read, so every read gets objects of its own.
    """

    __slots__ = ("seq", "id", "snapshot", "_store", "_namespaces")

    def __init__(self, snapshot: Snapshot, seq: int, id: str) -> None:
        self.seq = seq
        self.id = id
        self.snapshot = snapshot
        self._store = Store(max_history=0)
        self._store.restore(snapshot)
        self._namespaces: list[str] | None = None

    def namespaces(self) -> list[str]:
        if self._namespaces is None:
            # The log keeps entries, not namespaces: one left empty is not part of a committed state,
            # though the snapshot a commit took may still hold it.
            store = self._store
            self._namespaces = sorted(ns for ns in store.namespaces() if store.keys(ns))
        return list(self._namespaces)

    def keys(self, namespace: str) -> list[str]:
        return sorted(self._store.keys(namespace))

    def get(self, namespace: str, key: str, default: Any = None) -> Any:
        return self._store.get(namespace, key, default)

    def items(self, namespace: str) -> list[tuple[str, Any]]:
        store = self._store
        return [(key, store.get(namespace, key)) for key in self.keys(namespace)]

    def to_dict(self) -> dict[str, dict[str, Any]]:
        return {namespace: dict(self.items(namespace)) for namespace in self.namespaces()}

    def __repr__(self) -> str:
        return f"StateView(seq={self.seq}, id={self.id!r}, entries={len(self._store)})"


def changes_between(old: StateView, new: StateView) -> Changes:
    """namespace -> key -> (old value, new value) for every entry that differs, `ABSENT` where it is not.

    The keys come from `Snapshot.diff` (by encoded bytes), whose work follows
    the change between states that share structure; only they are decoded.
    """
    diff = new.snapshot.diff(old.snapshot)
    found: Changes = {}
    for which in ("added", "removed", "changed"):
        for namespace, key in diff[which]:
            before = ABSENT if which == "added" else old.get(namespace, key)
            after = ABSENT if which == "removed" else new.get(namespace, key)
            found.setdefault(namespace, {})[key] = (before, after)
    return {namespace: dict(sorted(found[namespace].items())) for namespace in sorted(found)}
