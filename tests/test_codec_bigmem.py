"""Lengths the wire format cannot carry. Each case builds a 4 GiB object;
deselect with `-m "not bigmem"` on small machines."""

import gc

import pytest
from derirezaro._core import dumps

LIMIT = 2**32  # the first length a 32-bit header cannot hold


@pytest.mark.bigmem
@pytest.mark.parametrize("make", [lambda: "a" * LIMIT, lambda: b"\x00" * LIMIT], ids=["str", "bytes"])
def test_length_of_2_to_the_32_is_refused(make):
    # A truncated header would silently corrupt everything written after it.
    big = make()
    try:
        with pytest.raises(ValueError):
            dumps(big)
    finally:
        del big
        gc.collect()
