"""Type stub for the native module ``derirezaro._core``."""

from collections.abc import ItemsView, Sequence
from typing import Any, ClassVar, Final, Protocol, TypeAlias, TypeVar, final

# What the codec takes, written the way typed code holds it. The codec reads
# None, bool, int, float, str, bytes, dict, list and tuple, subclasses by
# their built-in content; tuples come back as lists. Containers are taken as
# Sequence and as anything with a mapping's items(), both covariant, so that
# a list[str], a dict[str, int] or a Mapping[str, list[int]] is accepted as
# it is held; Mapping itself is invariant in its key. The price: a Sequence
# or mapping that is not a list, tuple or dict (a bytearray, a range, a
# MappingProxyType) passes here and is refused with TypeError at run time.

_K_co = TypeVar("_K_co", covariant=True)
_V_co = TypeVar("_V_co", covariant=True)

class _Mapping(Protocol[_K_co, _V_co]):
    def items(self) -> ItemsView[_K_co, _V_co]: ...

# Any TypedDict: each checker sees one as a Mapping[str, object] only, so its
# fields cannot be held to Packable; this attribute, which only TypedDict
# classes have, tells it apart from a dict[str, object] that is refused.
class _AnyTypedDict(Protocol):
    __required_keys__: ClassVar[frozenset[str]]

# A dict key that `loads` reads back: a list, tuple or dict key would come
# back unhashable.
_Key: TypeAlias = None | bool | int | float | str | bytes

# What `dumps` and `route` take: a tuple key is written too, as an array.
Packable: TypeAlias = (
    None
    | bool
    | int
    | float
    | str
    | bytes
    | Sequence[Packable]
    | _Mapping[_Key | tuple[Packable, ...], Packable]
    | _AnyTypedDict
)

# What a Store holds: every key, at every depth, one that reads back.
_Storable: TypeAlias = (
    None | bool | int | float | str | bytes | Sequence[_Storable] | _Mapping[_Key, _Storable] | _AnyTypedDict
)

__version__: Final[str]
__all__ = ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph"]

def core_version() -> str:
    """Return the version string of the compiled core.

    The Python package and its tests use it to confirm that the native module loaded.
    """

def dumps(obj: Packable) -> bytes:
    """Serialize a Python object to msgpack bytes (derirezaro's stable, cross-language codec)."""

# Any, as a decoder's result is: the shape is the caller's to know, and a
# union would have every typed caller narrow or cast each value it reads.
def loads(data: bytes) -> Any:
    """Deserialize msgpack bytes back into a Python object."""

@final
class Store:
    """Framework-agnostic state store with immutable snapshots."""

    def __new__(
        cls, backend: str = "memory", codec: str = "msgpack", max_history: int | None = None
    ) -> Store: ...
    @property
    def codec(self) -> str:
        """Serialization codec in use (currently always `"msgpack"`)."""
    @property
    def max_history(self) -> int | None:
        """Maximum number of retained snapshots, or `None` for unlimited."""
    def set(self, namespace: str, key: str, value: _Storable) -> None:
        """Store `value` under `(namespace, key)`, replacing any existing value."""
    def get(self, namespace: str, key: str, default: Any = None) -> Any:
        """Return the value at `(namespace, key)`, or `default` (None) if absent."""
    def contains(self, namespace: str, key: str) -> bool:
        """Return whether `(namespace, key)` exists."""
    def delete(self, namespace: str, key: str) -> bool:
        """Delete `(namespace, key)`. Returns True if a value was removed."""
    def keys(self, namespace: str) -> list[str]:
        """All keys within `namespace` (empty list if the namespace is unknown)."""
    def namespaces(self) -> list[str]:
        """All namespaces currently in the store."""
    def clear(self) -> None:
        """Remove all entries (does not clear snapshot history)."""
    def snapshot(self) -> Snapshot:
        """Capture a cheap, immutable snapshot of the current state.

        Read-locks every shard (in order) so the clone is a consistent
        point-in-time view, then clones each shard map (O(1) structural share).
        """
    def restore(self, snapshot: Snapshot) -> None:
        """Roll the store back to a previously captured snapshot."""
    def __len__(self) -> int: ...

@final
class Snapshot:
    """A cheap, immutable point-in-time view of a [`Store`]."""

    @property
    def id(self) -> int:
        """Monotonic id assigned by the originating store."""
    @property
    def timestamp(self) -> float:
        """Seconds since the Unix epoch when the snapshot was taken."""
    @property
    def parent(self) -> int | None:
        """Id of the previous snapshot from the same store (for incremental diffs)."""
    @property
    def size_bytes(self) -> int:
        """Total size in bytes of all stored (serialized) values."""
    @property
    def keys(self) -> list[tuple[str, str]]:
        """All `(namespace, key)` pairs present in the snapshot."""
    def diff(self, base: Snapshot) -> dict[str, list[tuple[str, str]]]:
        """Incremental diff describing how to go from `base` to `self`.

        Returns a dict with keys `"added"`, `"removed"`, and `"changed"`, each
        mapping to a list of `(namespace, key)` tuples.
        """

@final
class HandoffGraph:
    """A deterministic routing graph over named nodes with conditional edges."""

    def __new__(cls, on_cycle: str = "error") -> HandoffGraph: ...
    @property
    def on_cycle(self) -> str:
        """Behaviour on cycle detection: `"error"` or `"allow"`."""
    def add_node(self, name: str) -> None:
        """Register a node with no edges (edges also register their endpoints)."""
    def add_edge(self, from_node: str, to: str, when: str | None = None) -> None:
        """Add a directed edge `from -> to`, optionally guarded by a `when`
        condition (see the condition mini-language).

        Raises `ValueError` on an invalid condition, or — when `on_cycle` is
        `"error"` — if the edge would create a cycle.
        """
    def route(self, node: str, state: Packable = None) -> str | None:
        """Resolve the next node from `node` given `state`.

        Evaluates outgoing edges in insertion order and returns the first whose
        condition is satisfied (an edge with no condition always matches).
        Returns `None` if no edge matches.
        """
    def nodes(self) -> list[str]:
        """All nodes in the graph (sorted for stable output)."""
    def edges(self, node: str) -> list[tuple[str, str | None]]:
        """Outgoing edges of `node` as `(to, when)` pairs, in insertion order."""
    def has_node(self, node: str) -> bool:
        """Whether `node` exists in the graph."""
    def is_dag(self) -> bool:
        """Whether the graph is currently acyclic."""
    def __contains__(self, node: str, /) -> bool: ...
    def __len__(self) -> int: ...
