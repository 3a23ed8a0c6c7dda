"""Lengths the wire format cannot carry. Each case builds a 4 GiB object, so these
run only when asked for (see conftest.py)."""

import re

import pytest
from derirezaro import dumps


@pytest.mark.bigmem
@pytest.mark.parametrize("kind, unit", [(str, "UTF-8 bytes"), (bytes, "bytes")])
def test_a_length_of_2_to_the_32_is_refused(kind, unit):
    # A header cut to 32 bits would silently corrupt everything written after it.
    message = (
        f"{kind.__name__} too long for msgpack: 4294967296 {unit} (the format allows at most 4294967295)"
    )
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        dumps("a" * 2**32 if kind is str else bytes(2**32))
