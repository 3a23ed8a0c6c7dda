"""A typed program over derirezaro, as an agent framework would write one.

tests/run.sh holds it to mypy --strict and to pyright in strict mode, then
runs it. Every value is passed as typed code holds it: TypedDicts, dict[str,
int], list[str], dict[str, Any], Mapping and Sequence parameters, nested
containers. Each line that ends in ignore comments must be refused by both
checkers (an ignore that is not needed is an error) and, when run, by the
codec: the stub refuses what the codec refuses and takes what it takes.
"""

from collections.abc import Callable, Mapping, Sequence
from datetime import datetime, timezone
from typing import Any, TypedDict

from derirezaro import HandoffGraph, Snapshot, Store, dumps, loads


class Message(TypedDict):
    role: str
    content: str


class User(TypedDict, total=False):
    name: str
    tier: str


class AgentState(TypedDict):
    messages: list[Message]
    user: User
    intent: str
    retries: int
    scores: dict[str, float]
    usage: dict[str, int]


def save_turn(store: Store, thread: str, state: AgentState) -> Snapshot:
    store.set(thread, "state", state)
    speakers: list[str] = [m["role"] for m in state["messages"]]
    store.set(thread, "speakers", speakers)
    store.set(thread, "scores", state["scores"])
    store.set(thread, "usage", state["usage"])
    return store.snapshot()


def save_settings(store: Store, settings: Mapping[str, Sequence[float]], extra: dict[str, Any]) -> None:
    store.set("config", "settings", settings)
    store.set("config", "extra", extra)


def index_by_step(turns: Sequence[Message]) -> dict[int, list[str]]:
    return {step: [turn["role"], turn["content"]] for step, turn in enumerate(turns)}


def load_state(raw: bytes) -> AgentState:
    state: AgentState = loads(raw)
    return state


def build_graph() -> HandoffGraph:
    graph = HandoffGraph()
    graph.add_edge("triage", "billing", when="intent == 'billing' and user.tier == 'gold'")
    graph.add_edge("triage", "support", when="intent == 'bug' or retries > 2")
    graph.add_edge("triage", "human")
    return graph


def refused(call: Callable[[], object]) -> None:
    try:
        call()
    except TypeError:
        return
    raise AssertionError("the codec took a value the stub refuses")


def main() -> None:
    store = Store(max_history=8)
    state: AgentState = {
        "messages": [{"role": "user", "content": "my invoice is wrong"}],
        "user": {"name": "ada", "tier": "gold"},
        "intent": "billing",
        "retries": 0,
        "scores": {"billing": 0.9, "bug": 0.1},
        "usage": {"prompt_tokens": 12, "completion_tokens": 0},
    }
    before = save_turn(store, "t1", state)
    save_settings(store, {"thresholds": (0.5, 0.75)}, {"model": "small", "limits": {"tokens": 512}})
    store.set("t1", "by_step", index_by_step(state["messages"]))
    store.set("t1", "bytes_keyed", {b"raw": [None, True, 1.5]})
    after = store.snapshot()

    changes: dict[str, list[tuple[str, str]]] = after.diff(before)
    assert ("config", "settings") in changes["added"], changes
    assert store.get("config", "settings") == {"thresholds": [0.5, 0.75]}
    assert store.get("t1", "by_step") == {0: ["user", "my invoice is wrong"]}
    store.restore(before)
    assert not store.contains("config", "settings")

    assert load_state(dumps(state)) == state
    graph = build_graph()
    next_node: str | None = graph.route("triage", state)
    assert next_node == "billing", next_node
    assert graph.route("triage", {"intent": "bug", "retries": 3}) == "support"

    when: dict[str, datetime] = {"at": datetime.now(timezone.utc)}
    nested: list[dict[str, set[int]]] = [{"ids": {1, 2}}]
    edges: dict[tuple[int, int], str] = {(1, 2): "edge"}
    assert dumps(edges) == b"\x81\x92\x01\x02\xa4edge"  # written, though no store can hold it
    refused(lambda: dumps(when))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: store.set("t1", "nested", nested))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: store.set("t1", "edges", edges))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: graph.route("triage", {"seen": {"a", "b"}}))  # type: ignore[dict-item]  # pyright: ignore[reportArgumentType]
    refused(lambda: loads("text"))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: dumps(object()))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]


if __name__ == "__main__":
    main()
