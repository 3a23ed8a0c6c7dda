"""A LangGraph checkpointer on durable timelines (`pip install derirezaro[langgraph]`).

    from derirezaro.langgraph import DerirezaroSaver

    with DerirezaroSaver.sqlite("checkpoints.db") as saver:  # or .redis(url, ttl=None), .memory()
        graph = builder.compile(checkpointer=saver)

A step stores what it changed: the channels whose versions moved, the
elements a list gained or lost, the seen-maps that changed.
"""

try:
    from .errors import CheckpointConflict, CheckpointDecodeError, CorruptCheckpoint, ParentMissing
    from .saver import DerirezaroSaver
except ImportError as exc:
    # A module of this package that fails is its own fault, raised as it is; a third-party module
    # missing, or one without a name imported from it, is the extra missing or at the wrong version.
    if (exc.name or "").partition(".")[0] in ("", "derirezaro"):
        raise
    raise type(exc)(
        f"derirezaro.langgraph needs the 'langgraph' extra: pip install 'derirezaro[langgraph]' ({exc})",
        name=exc.name,
        path=exc.path,
    ) from exc

__all__ = [
    "CheckpointConflict",
    "CheckpointDecodeError",
    "CorruptCheckpoint",
    "DerirezaroSaver",
    "ParentMissing",
]
