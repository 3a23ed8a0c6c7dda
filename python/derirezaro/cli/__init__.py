"""The `derirezaro` command: inspect and operate logs from a shell (`derirezaro --help`)."""

from .parser import main

__all__ = ["main"]
