"""How a checkpoint lies in its timeline's store, and what a put changes there.

    v       channel -> its version
    n       node -> None, for every node in versions_seen
    s:<n>   channel -> the version of it that node <n> has seen
    c       channel -> its value from the serde as [type, bytes], or [] for a list kept
            element by element
    l:<ch>  position -> [type, bytes] of one element of list channel <ch>

A serde value of type "msgpack", the serde's usual one, is stored as [bytes].
The names are short because a small step's record is mostly names.

A put writes only the entries that differ from its parent's: the versions that
moved, the values of those channels, the seen versions that moved, so a step
of a graph with a thousand channels writes a few entries. Which channels
changed is read from the versions, not taken from the caller's `new_versions`
alone, so a wrong `new_versions` cannot leave a stale value under a new version.

A list value whose elements are large (a conversation) is kept element by
element under positions that sort in list order; a put compares the new list
with the parent's and writes what lies between their common head and tail: one
element for an append, an overwrite or a removal in the middle, whatever the
length of the list. The ends are found without the serde where the parent's
state remembers what it encoded (list_elements.py): only the elements between
them are encoded, and compared bytes against bytes. Positions leave gaps, so an
insertion finds room between its neighbours; when it finds none, the list is
laid out afresh, once.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping
from itertools import chain
from typing import Any

from .._core import Snapshot, Store, dumps
from .._replay import namespace_dict
from .._step import apply_plain
from .decoded import Decoded, is_seed
from .list_elements import UNKEPT, Kept, snapshot_or_none, snapshots

VERSIONS, NODES, SEEN, VALUES, LIST = "v", "n", "s:", "c", "l:"
_USUAL = "msgpack"  # the serde type stored without its name
Pair = tuple[str, bytes]  # what the serde's dumps_typed returns
Element = tuple[str, str, bytes]  # position key, type, bytes

# A list is kept element by element when its elements average this many bytes;
# below it, one entry for the whole list stores and reads for less.
ELEMENT_BYTES = 64
_GAP = 1 << 16  # between the positions of appended elements
_POSITION_LIMIT = 1 << 48  # positions are 12 hex digits, so that they sort as strings
_MISSING: Any = object()
# A seen-map of at most this many channels is compared whole, in one call in C, before the guesses:
# that costs less than trying them one by one, and stops at the first channel that differs.
_COMPARED_WHOLE = 32


@dataclasses.dataclass(slots=True)
class State:
    """A checkpoint's channels as its store holds them, values still serialized.

    `moved`: the channels whose versions this checkpoint moved. The next step's
    nodes are the ones those channels triggered, so the versions they have seen
    move for those channels: where to look first.
    """

    versions: dict[str, Any]
    seen: dict[str, dict[str, Any]]
    values: dict[str, Pair]
    lists: dict[str, list[Element]]
    moved: frozenset[str] = frozenset()
    batch: tuple[bytes, int, list[str]] | None = None  # what `channel_values` builds once
    # Of list channels: the objects their elements were encoded from, where a put knows them.
    kept: dict[str, Kept] = dataclasses.field(default_factory=dict)
    parts: Parts | None = None  # each channel's part of `batch`, which `derive` carries over


@dataclasses.dataclass(slots=True)
class Parts:
    """Each channel's part of a state's `batch`, kept so that a state derived from this one encodes
    only the channels that differ.

    Invariant: a channel in `batched` or `others` and not in `stale` holds there what `_batched` makes
    of its entry in the state's `values` or `lists` for `whole`; a channel of the state in neither is
    in `stale`. Never changed once made (states share the dicts, and two readers of one state may build
    its batch at once): the state that has stale channels gets new dicts when its batch is built.
    The parts hold the state's own value bytes and the encoded names: a dict entry and a tuple per
    channel beside the ones `values` already has.
    """

    whole: bool
    batched: dict[str, tuple[bytes, ...]]  # channel -> its encoded name, then its value's bytes
    others: dict[str, None]  # the channels left out of the map, in order
    stale: frozenset[str] = frozenset()


EMPTY = State({}, {}, {}, {})


def read_state(snapshot: Snapshot) -> State:
    """The state a snapshot holds. Raises ValueError if an entry is not what a put writes.

    Each namespace is read whole in one call: a state of a thousand channels
    is four thousand entries, which a read key by key would each hash and find.
    """
    seen = {node: namespace_dict(snapshot, SEEN + node) for node in namespace_dict(snapshot, NODES)}
    values: dict[str, Pair] = {}
    lists: dict[str, list[Element]] = {}
    for channel, entry in namespace_dict(snapshot, VALUES).items():
        # `_pair` inlined for the usual entry, [data]: every channel of a state passes here.
        if type(entry) is list and len(entry) == 1 and type(data := entry[0]) is bytes:
            values[channel] = _USUAL, data
        elif entry == []:
            items = namespace_dict(snapshot, LIST + channel).items()
            lists[channel] = sorted((k, *_pair(element, channel)) for k, element in items)
        else:
            values[channel] = _pair(entry, channel)
    return State(namespace_dict(snapshot, VERSIONS), seen, values, lists)


def derive(near: State, near_snapshot: Snapshot, snapshot: Snapshot) -> State:
    """The state `snapshot` holds, from the state of another snapshot: costs what differs between them.

    What a listing does from one checkpoint to its neighbour, which is a
    step's change, however many channels the state holds.
    """
    diff = snapshot.diff(near_snapshot)
    view = Store(max_history=0)
    view.restore(snapshot)
    new = State(dict(near.versions), dict(near.seen), dict(near.values), dict(near.lists), kept=near.kept)
    copied: set[str] = set()  # the seen-maps this state owns, not shares with `near`

    def seen_map(node: str) -> dict[str, Any]:
        if node not in copied:
            new.seen[node] = dict(new.seen.get(node, {}))
            copied.add(node)
        return new.seen[node]

    lists: set[str] = set()
    for ns, key in diff["removed"]:
        if ns == VERSIONS:
            new.versions.pop(key, None)
        elif ns == NODES:
            new.seen.pop(key, None)
            copied.discard(key)
        elif ns.startswith(SEEN):
            if ns[len(SEEN) :] in new.seen:
                seen_map(ns[len(SEEN) :]).pop(key, None)
        elif ns == VALUES:
            new.values.pop(key, None)
            new.lists.pop(key, None)
        elif ns.startswith(LIST):
            lists.add(ns[len(LIST) :])
    for ns, key in (*diff["added"], *diff["changed"]):
        if ns == VERSIONS:
            new.versions[key] = view.get(VERSIONS, key)
        elif ns == NODES:
            seen_map(key)
        elif ns.startswith(SEEN):
            seen_map(ns[len(SEEN) :])[key] = view.get(ns, key)
        elif ns == VALUES:
            lists.add(key)
        elif ns.startswith(LIST):
            lists.add(ns[len(LIST) :])
    if near.parts is not None:  # the parts of the channels this diff leaves alone hold
        touched = lists.union(key for ns, key in diff["removed"] if ns == VALUES)
        new.parts = Parts(near.parts.whole, near.parts.batched, near.parts.others, near.parts.stale | touched)
    if new.kept:  # what a put knew of a list holds while the list is the one it stored
        new.kept = {ch: kept for ch, kept in new.kept.items() if ch in new.lists and ch not in lists}
    for channel in lists:
        entry = view.get(VALUES, channel)
        new.values.pop(channel, None)
        new.lists.pop(channel, None)
        if entry == []:
            ns = LIST + channel
            new.lists[channel] = sorted((k, *_pair(view.get(ns, k), channel)) for k in view.keys(ns))
        elif entry is not None:
            new.values[channel] = _pair(entry, channel)
    return new


def _pair(entry: Any, channel: str) -> Pair:
    if type(entry) is list and len(entry) == 1 and type(entry[0]) is bytes:
        return _USUAL, entry[0]
    if type(entry) is not list or len(entry) != 2 or type(entry[0]) is not str or type(entry[1]) is not bytes:
        raise ValueError(f"the stored value of channel {channel!r} is not a serialized value")
    return entry[0], entry[1]


def _stored(kind: str, data: bytes) -> list[Any]:
    return [data] if kind == _USUAL else [kind, data]


def moved(new: Mapping[str, Any], old: Mapping[str, Any]) -> list[str]:
    """The keys of `new` whose value differs from `old`'s (versions compare as LangGraph compares them)."""
    try:
        return [key for key, _ in new.items() - old.items()]  # one pass in C; versions are hashable
    except TypeError:
        missing = object()
        return [key for key, value in new.items() if old.get(key, missing) != value]


def apply(
    store: Store,
    base: State,
    checkpoint: Mapping[str, Any],
    new_versions: Mapping[str, Any],
    dumps_typed: Callable[[Any], Pair],
) -> State:
    """Turn `store`, which holds `base`, into `checkpoint`'s state; return that state.

    A channel's value is written when its version differs from the base's or
    when `new_versions` names it; the others keep the base's value.
    """
    # Nearly every step moves a few channels whose values are not lists: done natively.
    plain = apply_plain(store, base, checkpoint, new_versions, dumps_typed, State)
    if plain is not None:
        return plain
    versions: Mapping[str, Any] = checkpoint["channel_versions"]
    values: Mapping[str, Any] = checkpoint["channel_values"]
    seen: Mapping[str, Mapping[str, Any]] = checkpoint["versions_seen"]
    # A step's new versions are of channels the checkpoint has: then one subset test, not a loop.
    named = (
        list(new_versions)
        if versions.keys() >= new_versions.keys()
        else [c for c in new_versions if c in versions]
    )
    new_map, changed, removed = _moved_guessing(versions, base.versions, named)
    if changed or named or removed:
        values_now, lists_now, kept_now = dict(base.values), dict(base.lists), dict(base.kept)
    else:
        values_now, lists_now, kept_now = base.values, base.lists, base.kept
    new = State(new_map, dict(base.seen), values_now, lists_now, frozenset(changed), None, kept_now)
    for channel in removed:
        store.delete(VERSIONS, channel)
        _drop_value(store, new, channel)
    for channel in changed:
        store.set(VERSIONS, channel, versions[channel])
    # A step's channels moved are the ones it names: then no dict to merge the two.
    for channel in changed if changed == named else dict.fromkeys([*changed, *named]):
        value = values.get(channel, _MISSING)
        if value is _MISSING or type(value) is list or channel in lists_now:
            _set_value(store, new, channel, value, dumps_typed)
        else:  # `_set_value` and `_set_whole`, inlined for a value that is not a list, nor was one
            kind, data = dumps_typed(value)
            data = bytes(data)
            store.set(VALUES, channel, [data] if kind == _USUAL else [kind, data])
            values_now[channel] = kind, data
    # Nodes seldom go: the keys compared first, which builds no set.
    for node in base.seen.keys() - seen.keys() if base.seen.keys() != seen.keys() else ():
        for channel in base.seen[node]:
            store.delete(SEEN + node, channel)
        store.delete(NODES, node)
        del new.seen[node]
    guesses = [*base.moved, *named]
    for node, seen_map in seen.items():
        old = base.seen.get(node)
        if old is None:
            store.set(NODES, node, None)
            old = {}
        elif len(seen_map) == len(old):
            if len(old) <= _COMPARED_WHOLE:
                if seen_map == old:
                    continue
            else:
                for key in guesses:  # a guessed channel moved: no need to compare the whole map first
                    if seen_map.get(key, _MISSING) != old.get(key, _MISSING):
                        break
                else:
                    if seen_map == old:
                        continue
        new.seen[node], changed, removed = _moved_guessing(seen_map, old, guesses)
        for channel in removed:
            store.delete(SEEN + node, channel)
        for channel in changed:
            store.set(SEEN + node, channel, seen_map[channel])
    return new


def _moved_guessing(
    new: Mapping[str, Any], old: dict[str, Any], guesses: list[str]
) -> tuple[dict[str, Any], list[str], list[str]]:
    """`new` as a dict, the keys whose values moved from `old`'s, and the keys it dropped.

    Tries the keys in `guesses` first: if `old` with those moved is `new`, one
    comparison in C has checked every other key, which is the common case and
    the cheap one. Otherwise every key is compared.
    """
    guessed = dict(old)
    changed = []  # of the guesses, the ones that moved: the answer if the guesses were all
    for key in guesses:
        value = new.get(key, _MISSING)
        if value is not _MISSING:
            if old.get(key, _MISSING) != value:
                changed.append(key)
            guessed[key] = value
    if guessed == new:
        if len(changed) > 1:  # a key guessed twice counts once
            changed = list(dict.fromkeys(changed))
        return guessed, changed, []
    return dict(new), moved(new, old), list(old.keys() - new.keys())


def _set_value(
    store: Store, new: State, channel: str, value: Any, dumps_typed: Callable[[Any], Pair]
) -> None:
    if value is _MISSING:
        _drop_value(store, new, channel)
        return
    if type(value) is list and value:
        old = new.lists.get(channel)
        if old is not None and len(old) == 0:
            old = None  # an empty list decides nothing: look at what it holds now
        kept = None if old is None else new.kept.get(channel)
        if kept is not None:
            kept = kept.for_list(value)
        if kept is not None and old is not None and len(kept.objects) == len(old):
            _update_list(store, new, channel, value, old, kept, dumps_typed)
            return
        if old is None:
            whole = _typed(dumps_typed, value)
            if len(whole[1]) < ELEMENT_BYTES * len(value):
                _set_whole(store, new, channel, whole)
                return
            _drop_value(store, new, channel)
            store.set(VALUES, channel, [])
            old = []
        taken = snapshots(value)  # before the encoding: what the serde itself changes is seen next time
        pairs = [_typed(dumps_typed, element) for element in value]
        size = sum(len(p[1]) for p in pairs)
        if size < ELEMENT_BYTES * len(pairs) // 2:
            _set_whole(store, new, channel, _typed(dumps_typed, value))  # the elements shrank
            return
        new.lists[channel] = _write_list(store, LIST + channel, old, pairs)
        if taken is None:
            new.kept.pop(channel, None)
        else:
            new.kept[channel] = Kept(value, taken[0], taken[1], size)  # not copied: see `_update_list`
        return
    kind, data = dumps_typed(value)  # `_typed`, inlined: every step writes a value through here
    _set_whole(store, new, channel, (kind, bytes(data)))


def _update_list(
    store: Store,
    new: State,
    channel: str,
    value: list[Any],
    old: list[Element],
    kept: Kept,
    dumps_typed: Callable[[Any], Pair],
) -> None:
    """Store list `value` over `old`, whose elements `kept` knows: encodes only what lies between the
    elements at both ends that are stored already, unchanged."""
    n_old, n_new = len(old), len(value)
    head, tail = kept.ends(value)
    middle, old_middle = value[head : n_new - tail], range(head, n_old - tail)
    # An element moved within the middle (a reorder) is an object stored there: its bytes serve again.
    stored_at = {id(kept.objects[i]): i for i in old_middle} if middle else {}
    pairs: list[Pair] = []
    taken: list[Any] = []
    for element in middle:
        i = stored_at.get(id(element))  # kept.objects holds its objects: an id names one of them
        if i is not None and kept.unchanged(element, kept.snapshots[i]):
            pairs.append((old[i][1], old[i][2]))
            taken.append(kept.snapshots[i])
        else:
            taken.append(snapshot_or_none(element, kept.models))
            pairs.append(_typed(dumps_typed, element))
    size = kept.size - sum(len(old[i][2]) for i in old_middle) + sum(len(data) for _, data in pairs)
    if size < ELEMENT_BYTES * n_new // 2:
        _set_whole(store, new, channel, _typed(dumps_typed, value))  # the elements shrank
        return
    new.lists[channel] = _write_list(store, LIST + channel, old, pairs, head, tail)
    if any(snapshot is UNKEPT for snapshot in taken):
        del new.kept[channel]
    else:
        # `objects` is the caller's list, not a copy: were it changed after this put, the ends and the
        # reorder lookup still take an element as stored only when it is the very object at that
        # position (alive: the list holds it) and its content equals the snapshot of the bytes stored
        # there, which is private. A change in place is seen as a change, or as a length that differs
        # from the stored list's, which encodes the list again. The snapshots are copied once:
        # `kept` is shared with the states before this one.
        snapshots_now = kept.snapshots[:head]
        snapshots_now += taken
        if tail:
            snapshots_now += kept.snapshots[n_old - tail :]
        new.kept[channel] = Kept(value, snapshots_now, kept.models, size)


def _typed(dumps_typed: Callable[[Any], Pair], value: Any) -> Pair:
    kind, data = dumps_typed(value)
    return kind, bytes(data)


def _set_whole(store: Store, new: State, channel: str, pair: Pair) -> None:
    if channel in new.lists:
        _drop_list(store, new, channel)
        new.kept.pop(channel, None)
    kind, data = pair
    store.set(VALUES, channel, [data] if kind == _USUAL else [kind, data])  # as `_stored` stores it
    new.values[channel] = pair


def _drop_value(store: Store, new: State, channel: str) -> None:
    if channel in new.lists:
        _drop_list(store, new, channel)
        new.kept.pop(channel, None)
        store.delete(VALUES, channel)
    elif new.values.pop(channel, None) is not None:
        store.delete(VALUES, channel)


def _drop_list(store: Store, new: State, channel: str) -> None:
    ns = LIST + channel
    for key, _, _ in new.lists.pop(channel):
        store.delete(ns, key)


def _write_list(
    store: Store, ns: str, old: list[Element], pairs: list[Pair], head: int = 0, tail: int = 0
) -> list[Element]:
    """Store in `ns`, which holds `old`, the list of old's first `head` elements, then `pairs`, then
    old's last `tail` elements; writes only what lies between the ends the two lists share."""
    n_old, low, high = len(old), 0, len(pairs)  # pairs[low:high] lie between old[head] and old[-tail]
    while low < high and head < n_old - tail and old[head][1:] == pairs[low]:
        head, low = head + 1, low + 1
    while low < high and head < n_old - tail and old[n_old - 1 - tail][1:] == pairs[high - 1]:
        tail, high = tail + 1, high - 1
    removed, inserted = old[head : n_old - tail], pairs[low:high]
    keys = [key for key, _, _ in removed[: len(inserted)]]  # an overwrite keeps its position
    for key, _, _ in removed[len(inserted) :]:
        store.delete(ns, key)
    extra = len(inserted) - len(keys)
    if extra:
        start = int(keys[-1] if keys else old[head - 1][0] if head else "0", 16)
        if tail:
            step = (int(old[n_old - tail][0], 16) - start) // (extra + 1)
        else:
            step = _GAP
        if step == 0 or start + step * extra >= _POSITION_LIMIT:
            whole = [*(e[1:] for e in old[:head]), *inserted, *(e[1:] for e in old[n_old - tail :])]
            return _relayout(store, ns, old, whole)
        keys += [f"{start + step * (i + 1):012x}" for i in range(extra)]
    for key, (kind, data) in zip(keys, inserted, strict=True):
        store.set(ns, key, _stored(kind, data))
    elements = old[:head]  # one copy: `old` is the parent state's
    elements += [(key, kind, data) for key, (kind, data) in zip(keys, inserted, strict=True)]
    if tail:
        elements += old[n_old - tail :]
    return elements


def _relayout(store: Store, ns: str, old: list[Element], pairs: list[Pair]) -> list[Element]:
    for key, _, _ in old:
        store.delete(ns, key)
    laid = [(f"{_GAP * (i + 1):012x}", kind, data) for i, (kind, data) in enumerate(pairs)]
    for key, kind, data in laid:
        store.set(ns, key, _stored(kind, data))
    return laid


def channel_values(
    state: State,
    loads_typed: Callable[[Pair], Any],
    on_error: Callable[[str], Exception],
    batch: bool,
    decoded: Decoded | None = None,
) -> dict:
    """Deserialize every channel's value; a value the serde refuses raises `on_error(channel)`.

    With `batch` (a serde whose "msgpack" values are plain MessagePack), the
    channels of that type go to the serde as one map, built once per state: one
    call instead of one per channel. If the serde refuses the map, each channel
    is tried alone, so that the error names the one it refuses.

    With `decoded`, list channels are read element by element through it, which
    decodes only the elements it has not decoded before, and the state keeps the
    objects handed out (`State.kept`) for the next put from it.
    """
    kept: dict[str, Kept] = {}
    if batch:
        if state.batch is None:
            state.batch = _batched(state, decoded is None)
        blob, count, others = state.batch
        try:
            out = loads_typed((_USUAL, blob))
        except Exception:
            out = None
        if type(out) is dict and len(out) == count:
            channel = ""
            try:
                for channel in others:
                    out[channel] = _load_one(state, channel, loads_typed, decoded, kept)
            except Exception as exc:
                raise on_error(channel) from exc
            _keep(state, kept)
            return out
    out = {}
    channel = ""
    try:
        for channel in [*state.values, *state.lists]:
            out[channel] = _load_one(state, channel, loads_typed, decoded, kept)
    except Exception as exc:
        raise on_error(channel) from exc
    _keep(state, kept)
    return out


def _load_one(
    state: State,
    channel: str,
    loads_typed: Callable[[Pair], Any],
    decoded: Decoded | None = None,
    kept: dict[str, Kept] | None = None,
) -> Any:
    pair = state.values.get(channel)
    if pair is not None:
        return loads_typed(pair) if decoded is None else decoded.seed(pair, loads_typed)
    elements = state.lists[channel]
    if decoded is None or not elements:
        return [loads_typed((kind, data)) for _, kind, data in elements]
    value, known = decoded.elements([(kind, data) for _, kind, data in elements], loads_typed)
    if known is not None and kept is not None:
        kept[channel] = known
    return value


def _keep(state: State, kept: dict[str, Kept]) -> None:
    """Give `state` what a read handed out of its lists: the next put from it recognises those objects.

    A state is shared and may share its `kept` dict with others (`derive`): the
    dict is replaced, never changed in place.
    """
    if kept:
        now = dict(state.kept)
        for channel, known in kept.items():
            held = now.get(channel)
            put = held if held is None or not held.read else held.put
            now[channel] = known if put is None else dataclasses.replace(known, put=put)
        state.kept = now


def _batched(state: State, whole: bool = True) -> tuple[bytes, int, list[str]]:
    """A MessagePack map of the channels whose values are all of the usual type; the others (unless
    `whole`, every list channel and delta-channel seed among them: what `Decoded` reads in parts).

    Encodes only the channels whose parts `state.parts` lacks: all of them once, then, for a state
    derived from one read before, the few that differ."""
    parts = state.parts
    if parts is None or parts.whole != whole:
        batched: dict[str, tuple[bytes, ...]] = {}
        others: dict[str, None] = {}
        todo: Any = chain(state.values, state.lists)
    else:
        batched, others, todo = parts.batched, parts.others, sorted(parts.stale)
        if todo:
            batched, others = dict(batched), dict(others)
            for channel in todo:
                batched.pop(channel, None)
                others.pop(channel, None)
    for channel in todo:
        pair = state.values.get(channel)
        if pair is not None:
            kind, data = pair
            # A seed is an extension value, whose first byte lies in 0xc7-0xd8: the others skip the call.
            if kind == _USUAL and (whole or (data and not 0xC7 <= data[0] <= 0xD8) or not is_seed(data)):
                batched[channel] = (dumps(channel), data)
            else:
                others[channel] = None
            continue
        elements = state.lists.get(channel)
        if elements is None:
            continue  # gone since the state it was derived from
        if whole and all(kind == _USUAL for _, kind, _ in elements):
            head = _header(len(elements), 0x90, 0xDC)
            batched[channel] = (dumps(channel), head, *(data for _, _, data in elements))
        else:
            others[channel] = None
    state.parts = Parts(whole, batched, others)
    blob = _header(len(batched), 0x80, 0xDE) + b"".join(chain.from_iterable(batched.values()))
    return blob, len(batched), list(others)


def _header(count: int, fixed: int, sized: int) -> bytes:
    """The header of a MessagePack map (0x80, 0xde) or array (0x90, 0xdc) of `count` items."""
    if count < 16:
        return bytes([fixed | count])
    if count < 1 << 16:
        return bytes([sized]) + count.to_bytes(2, "big")
    return bytes([sized + 1]) + count.to_bytes(4, "big")
