"""A routing graph as a Mermaid flowchart, because people would rather look at a
routing graph than read it."""

from ._core import HandoffGraph

# Characters that would end or break a quoted Mermaid label, as Mermaid's own
# entity codes. "#" goes first: every code starts with it.
_ENTITIES = [("#", "#35;"), ("&", "#amp;"), ('"', "#quot;"), ("<", "#lt;"), (">", "#gt;"), ("|", "#124;")]


def _label(text):
    for char, entity in _ENTITIES:
        text = text.replace(char, entity)
    return '"' + text.replace("\r\n", "\n").replace("\n", "<br/>") + '"'


def to_mermaid(graph: HandoffGraph, direction: str = "TD") -> str:
    """Return a Mermaid flowchart of `graph`: every node, in sorted order, and every
    edge in insertion order, labelled with its `when` condition.

    Node names and conditions may hold any text: nodes get generated ids, and the
    texts are quoted with Mermaid's entity codes for the characters that would
    break a label.
    """
    if not isinstance(graph, HandoffGraph):
        raise TypeError(f"to_mermaid() expects a HandoffGraph, not {type(graph).__qualname__}")
    if direction not in ("TD", "TB", "BT", "LR", "RL"):
        raise ValueError(f"direction must be one of TD, TB, BT, LR, RL, not {direction!r}")
    names = graph.nodes()
    ids = {name: f"n{i}" for i, name in enumerate(names)}
    lines = [f"flowchart {direction}"]
    lines += [f"    {ids[name]}[{_label(name)}]" for name in names]
    for name in names:
        for to, when in graph.edges(name):
            arrow = "-->" if when is None else f"-->|{_label(when)}|"
            lines.append(f"    {ids[name]} {arrow} {ids[to]}")
    return "\n".join(lines) + "\n"
