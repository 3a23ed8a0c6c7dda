"""Timelines copied, exported and imported on every log kind, and past states read in place.

A random history (sets and deletes, forks, chosen ids with attachments, sometimes a prune)
is written next to a model of the state after each record. Every way a timeline travels
must reproduce every kept state (renumbered from 1), ids, meta and attachments, and
verify clean; damage met on the way is reported naming where, and leaves nothing behind.
"""

import io
import os
import random
import tempfile
from pathlib import Path

import pytest
from derirezaro import Store
from derirezaro import persist as p
from log_wrappers import LostReply
from test_persist_model import LOGS

# Keyframes, anchors and framed bodies every few records, so short histories have all of them.
TUNING = p.Tuning(min_run_bytes=64, point_every=4, chunk_entries=3)


@pytest.fixture(params=sorted(LOGS))
def logs(request, tmp_path):
    """Opens fresh logs of one kind, each its own (another file, another prefix)."""
    opened = []
    yield lambda: opened.append(LOGS[request.param](Path(tempfile.mkdtemp(dir=tmp_path)))()) or opened[-1]
    for log in opened:
        log.close()


def history(log, name, rng, commits=30):
    """Random commits on timeline `name`; the model of what is kept: seq -> (id, meta, state, entries)."""
    tl = log.timeline(name, store := Store(max_history=0), keyframe_every=5, cache_size=2, tuning=TUNING)
    model, state = {}, {}
    for i in range(commits):
        if model and rng.random() < 0.15:  # a fork, as an update from an old state makes one
            tl.restore(seq := rng.choice(list(model)))
            state = {ns: dict(keys) for ns, keys in model[seq][2].items()}
        for _ in range(rng.randint(0, 3)):
            ns, key = rng.choice("ab"), rng.choice("xyz")
            if rng.random() < 0.3:
                store.delete(ns, key)
                state.get(ns, {}).pop(key, None)
            else:
                value = rng.choice([None, i, f"v{i}", [i, {"k": -i}], bytes([i]) * rng.randint(0, 400)])
                store.set(ns, key, value)
                state.setdefault(ns, {})[key] = value
        id = f"c{i}" if rng.random() < 0.4 else None
        entries = [("task", i, b"w%d" % i)] if id and rng.random() < 0.5 else []
        meta = {"i": i} if rng.random() < 0.5 else None
        record = tl.commit(meta, id=id, attach={id: entries} if entries else None)
        model[record.seq] = (record.id, meta, {ns: dict(keys) for ns, keys in state.items() if keys}, entries)
    if rng.random() < 0.5:
        tl.prune(rng.randint(1, commits))
    return tl, {seq: kept for seq, kept in model.items() if seq >= log.head(name).first}


def holds(log, name, model):
    """Timeline `name` of `log` is `model`, renumbered so its oldest record is 1, and verifies clean."""
    tl, shift = log.timeline(name, Store(max_history=0)), min(model) - 1
    assert tl.verify() == []
    assert [r.seq for r in tl.records()] == [seq - shift for seq in sorted(model, reverse=True)]
    for seq, (id, meta, state, entries) in model.items():
        record, view = tl.record(seq - shift), tl.state(seq - shift)
        id = str(seq - shift) if id.isdecimal() else id  # an id that was the seq is the new seq
        assert (record.id, record.meta, view.to_dict()) == (id, meta, state)
        assert id.isdecimal() or log.attachments(name, [id]).get(id, []) == entries


def diff(old, new):
    """What `Timeline.changes` gives, from two model states."""
    found = {}
    for ns, k in {(ns, k) for state in (old, new) for ns, keys in state.items() for k in keys}:
        if (a := old.get(ns, {}).get(k, p.ABSENT)) != (b := new.get(ns, {}).get(k, p.ABSENT)):
            found.setdefault(ns, {})[k] = (a, b)
    return found


@pytest.mark.parametrize("seed", range(3))
def test_every_way_a_timeline_travels_keeps_every_state(logs, tmp_path, seed):
    rng = random.Random(seed)
    source, other, third = logs(), logs(), logs()
    tl, model = history(source, "t", rng)
    head_model = {1: model[max(model)]}

    # The past read in place: every kept state, every change between two, the store untouched.
    working = tl.store.snapshot()
    for seq, (id, _, state, _) in model.items():
        view = tl.state(id if rng.random() < 0.5 else seq)
        assert (view.seq, view.id, view.to_dict()) == (seq, id, state)
        assert view.namespaces() == sorted(state) and all(view.keys(ns) == sorted(state[ns]) for ns in state)
    for a, b in [(rng.choice(list(model)), rng.choice(list(model))) for _ in range(20)]:
        assert tl.changes(a, b) == diff(model[a][2], model[b][2])
    assert not any(tl.store.snapshot().diff(working).values())

    def via_file(target, stream, as_name=None, head_only=False):
        exported = p.export_timeline(source, "t", stream, head_only=head_only)
        stream = stream if isinstance(stream, Path) else io.BytesIO(stream.getvalue())
        assert p.import_timeline(target, stream, as_name=as_name) == (as_name or "t", exported)
        return exported

    path = tmp_path / "t.dz"
    for travel, log, name, expected in [  # how it travels, where to, under what name, what it must hold
        (lambda: p.copy_timeline(source, "t", other), other, "t", model),
        (lambda: p.copy_timeline(source, "t", source, as_name="copy"), source, "copy", model),
        (lambda: p.copy_timeline(source, "t", other, as_name="h", head_only=True), other, "h", head_model),
        (lambda: via_file(source, path, as_name="f"), source, "f", model),
        (lambda: via_file(third, io.BytesIO(), head_only=True), third, "t", head_model),
        (lambda: via_file(other, path, as_name="h2", head_only=True), other, "h2", head_model),
    ]:
        assert travel() == len(expected)
        holds(log, name, expected)
    for travel in [lambda: p.copy_timeline(source, "t", other), lambda: via_file(other, io.BytesIO())]:
        with pytest.raises(p.ConflictError, match="already exists"):
            travel()
    holds(other, "t", model)  # nothing merged into it


class Reads:
    """`log`, whose reads lose record `seq` or flip a byte of its body; `meanwhile` runs after the first."""

    def __init__(self, log, seq=None, missing=False, meanwhile=None):
        self.log, self.seq, self.missing, self.meanwhile = log, seq, missing, meanwhile

    def __getattr__(self, name):
        return getattr(self.log, name)

    def read(self, *args, **kwargs):
        return self._damaged(self._then(self.log.read(*args, **kwargs)))

    def headers(self, *args, **kwargs):  # head-only reads the head's header here, after the opening
        return self._then(self.log.headers(*args, **kwargs))

    def _then(self, rows):
        meanwhile, self.meanwhile = self.meanwhile, None
        meanwhile and meanwhile()
        return rows

    def opening(self, *args, **kwargs):  # a timeline opened at its head reads the head's chain here
        opened = self.log.opening(*args, **kwargs)
        return opened._replace(chain=self._damaged(opened.chain))

    def _damaged(self, rows):
        if self.missing:
            return [row for row in rows if row.seq != self.seq]
        return [
            row._replace(body=bytes([row.body[0] ^ 1]) + row.body[1:]) if row.seq == self.seq else row
            for row in rows
        ]


def test_damage_in_the_source_is_reported_and_nothing_is_written(logs, tmp_path):
    source, target = logs(), logs()
    _, model = history(source, "t", random.Random(7), commits=12)
    (out := tmp_path / "out").mkdir()
    # Head-only reads the head's chain alone: the head is surely in it.
    cases = [(seq, m, h) for seq in model for m, h in [(0, 0), (1, 0), (0, 1)] if not h or seq == max(model)]
    for seq, missing, head_only in cases:
        what = "record missing" if missing else "checksum mismatch"
        with pytest.raises(p.CorruptRecordError, match=what) as caught:
            p.copy_timeline(Reads(source, seq, missing), "t", target, as_name="c", head_only=head_only)
        with pytest.raises(p.CorruptRecordError, match=what):
            p.export_timeline(Reads(source, seq, missing), "t", out / "t.dz", head_only=head_only)
        assert (caught.value.timeline, caught.value.seq) == ("t", seq)
        assert target.head("c") is None and os.listdir(out) == []


def test_damage_in_a_file_is_reported_and_never_imported():
    source, target = p.MemoryLog(), p.MemoryLog()
    history(source, "t", random.Random(3), commits=6)
    p.export_timeline(source, "t", buffer := io.BytesIO())
    data = buffer.getvalue()
    changed = [data[:i] + bytes([data[i] ^ 1]) + data[i + 1 :] for i in range(len(data))]
    for n, bad in enumerate([*changed, *(data[:i] for i in range(len(data))), data + b"\0"]):
        with pytest.raises((p.CorruptRecordError, p.FormatError)):
            p.import_timeline(target, io.BytesIO(bad), as_name="x")
        assert target.head("x") is None, n
    with pytest.raises(p.FormatError, match="newer"):
        p.import_timeline(target, io.BytesIO(data[:4] + b"\x02" + data[5:]))
    kept = source.head("t").seq - source.head("t").first + 1
    assert p.import_timeline(target, io.BytesIO(data)) == ("t", kept)


def test_a_prune_or_drop_during_a_copy_is_a_race_and_leaves_nothing(logs, monkeypatch):
    monkeypatch.setattr(p.transfer, "_PAGE", 2)
    source, target = logs(), logs()

    def prune():
        source.timeline("t", Store()).prune(1)
        assert source.head("t").first > 3, "the prune takes the page the copy reads next"

    def rewrite():
        source.drop("t")
        history(source, "t", random.Random(1), commits=12)

    for meanwhile, why, head_only in [
        (prune, "pruned", False),
        (rewrite, "dropped", False),
        (rewrite, "dropped", True),
    ]:
        source.drop("t")
        history(source, "t", random.Random(0), commits=12)
        with pytest.raises(p.RecordNotFoundError, match=why):
            p.copy_timeline(Reads(source, meanwhile=meanwhile), "t", target, head_only=head_only)
        assert target.head("t") is None
    with pytest.raises(p.RecordNotFoundError, match="no such timeline"):
        p.copy_timeline(source, "absent", target)


class LostReplyAt(LostReply):
    """`LostReply` at the `nth` append rather than the next."""

    def __init__(self, log, landed, nth):
        super().__init__(log, landed)
        self.nth = nth

    def append(self, *args):
        self.nth -= 1
        self.armed = self.nth == 0
        return super().append(*args)


@pytest.mark.parametrize("landed", [True, False], ids=["landed", "lost"])
def test_a_copy_or_import_whose_append_has_an_unknown_outcome_leaves_nothing(logs, landed):
    source, target = logs(), logs()
    _, model = history(source, "t", random.Random(5), commits=12)
    p.export_timeline(source, "t", exported := io.BytesIO())
    travels = [
        lambda log: p.copy_timeline(source, "t", log),
        lambda log: p.import_timeline(log, io.BytesIO(exported.getvalue())),
    ]
    for nth in sorted({1, len(model) // 2 + 1, len(model)}):  # the first append, one amid, the last
        for travel in travels:
            with pytest.raises(p.ConnectionLostError) as caught:
                travel(LostReplyAt(target, landed, nth))
            assert (target.head("t"), getattr(caught.value, "__notes__", [])) == (None, []), nth


@pytest.mark.leaks
def test_a_timeline_does_not_grow_an_unbounded_store_history():
    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    tl = p.MemoryLog().timeline("t", store := Store(), cache_size=1)  # max_history=None
    before = resident()
    for i in range(40):  # 2 MiB states: 80 MiB if the history kept each commit's; stored compressed
        store.set("a", "k", bytes([i]) * (2 << 20))
        tl.commit()
    assert resident() - before < 30 << 20
