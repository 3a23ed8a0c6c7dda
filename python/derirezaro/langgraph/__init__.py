"""A LangGraph checkpointer on durable timelines (`pip install derirezaro[langgraph]`).

    from derirezaro.langgraph import DerirezaroSaver

    with DerirezaroSaver.from_conn_string("checkpoints.db") as saver:  # or a redis:// URL, "memory:"
        graph = builder.compile(checkpointer=saver)

`AsyncDerirezaroSaver` is the saver on PostgreSQL for asyncio (the 'postgres' extra).
`import_langgraph(source, saver)` copies the threads of LangGraph's own savers in.

A step stores what it changed: the channels whose versions moved, the
elements a list gained or lost, the seen-maps that changed.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .async_saver import AsyncDerirezaroSaver as AsyncDerirezaroSaver

try:
    from .errors import (
        CheckpointConflict,
        CheckpointDecodeError,
        CorruptCheckpoint,
        LangGraphFileError,
        ParentMissing,
    )
    from .importer import ImportReport, Unrevivable, import_langgraph
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
    "ImportReport",
    "LangGraphFileError",
    "ParentMissing",
    "Unrevivable",
    "import_langgraph",
]


def __getattr__(name: str) -> Any:
    # The async saver needs greenlet, which only the 'postgres' extra brings: imported when named.
    if name == "AsyncDerirezaroSaver":
        from .async_saver import AsyncDerirezaroSaver

        return AsyncDerirezaroSaver
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
