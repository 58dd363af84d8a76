import pathlib

import pytest

from builders import (defaults_in_trex, nal_length_size, packager_layout, shift_decode_times, wide_chunk_offsets,
                      wide_mdats)

DATA = pathlib.Path(__file__).parent / "data"

# Inputs that the tests derive from the stored fixtures, by name: "a+b"
# joins files (an init segment and its media segments) and each prefix
# rewrites the result with the builders, the last one first.
REWRITES = {
    "trex": defaults_in_trex,  # sample defaults left to the trex boxes
    "packager": packager_layout,  # tfhd base data offsets, runs without data offsets, no tfdt
    "packager4": lambda data: packager_layout(data, 4),  # the same, four runs per traf
    "raised": lambda data: shift_decode_times(data, 2, 48000),  # track 2 (48 kHz audio) 1 s later
    "nal2": lambda data: nal_length_size(data, 2),  # 2-byte NAL length fields
    "co64": wide_chunk_offsets,  # a regular file's chunk offsets in co64, its mdat with a 64-bit header
    "wide": wide_mdats,  # a fragmented file's mdats with 64-bit headers, a free box before each
}


@pytest.fixture(scope="session")
def fixture_bytes():
    cache = {}

    def load(name):
        if name not in cache:
            cache[name] = (DATA / name).read_bytes()
        return cache[name]

    return load


@pytest.fixture(scope="session")
def fragmented_fixture(fixture_bytes):
    def load(name):
        *prefixes, files = name.split(":")
        data = b"".join(fixture_bytes(part) for part in files.split("+"))
        for prefix in reversed(prefixes):
            data = REWRITES[prefix](data)
        return data

    return load


@pytest.fixture
def limit_32_bits():
    """Sets the largest value the writers keep in a 32-bit size, offset or duration (larger
    ones take the 64-bit forms), for this test only."""
    from quaver import _native

    before = _native.set_32_bit_limit(0xFFFFFFFF)
    yield _native.set_32_bit_limit
    _native.set_32_bit_limit(before)
