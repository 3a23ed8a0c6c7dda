"""derirezaro: a native state store, routing graph and MessagePack codec for agent frameworks."""

import logging

from . import _core
from ._core import *  # noqa: F401,F403  (the names listed in _core.__all__)
from ._core import __version__ as __version__
from .mermaid import to_mermaid

__all__ = [*_core.__all__, "to_mermaid"]

# A library's loggers ("derirezaro.persist.redis_log", ...) stay silent until the
# application configures logging: without this, Python's last-resort handler
# would print their warnings to stderr.
logging.getLogger(__name__).addHandler(logging.NullHandler())
