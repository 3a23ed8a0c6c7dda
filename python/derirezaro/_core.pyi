"""Type stub for the native module ``derirezaro._core``."""

from typing import Any, Final, Union

# What the codec accepts. Tuples encode as arrays and come back as lists;
# subclasses of these types encode by their built-in content.
Packable = Union[
    None, bool, int, float, str, bytes,
    list["Packable"], tuple["Packable", ...], dict["Packable", "Packable"],
]

__version__: Final[str]
__all__: list[str]

def core_version() -> str:
    """Return the version string of the compiled core.

    The Python package and its tests use it to confirm that the native module loaded.
    """

def dumps(obj: Packable) -> bytes:
    """Serialize a Python object to msgpack bytes (derirezaro's stable, cross-language codec)."""

def loads(data: bytes) -> Any:
    """Deserialize msgpack bytes back into a Python object."""
