"""A LangGraph checkpointer on durable timelines (`pip install derirezaro[langgraph]`).

    from derirezaro.langgraph import DerirezaroSaver

    with DerirezaroSaver.sqlite("checkpoints.db") as saver:  # or .redis(url, ttl=None), .memory()
        graph = builder.compile(checkpointer=saver)

A step stores what it changed: the channels whose versions moved, the
elements a list gained or lost, the seen-maps that changed.
"""

from .errors import CheckpointConflict, CheckpointDecodeError, CorruptCheckpoint, ParentMissing
from .saver import DerirezaroSaver

__all__ = [
    "CheckpointConflict",
    "CheckpointDecodeError",
    "CorruptCheckpoint",
    "DerirezaroSaver",
    "ParentMissing",
]
