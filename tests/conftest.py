import pathlib

import pytest

from builders import defaults_in_trex, packager_layout, shift_decode_times

DATA = pathlib.Path(__file__).parent / "data"

# Fragmented inputs that the tests derive from the stored fixtures, by name:
# "a+b" joins files (an init segment and its media segments) and a prefix
# rewrites the result with the builders.
REWRITES = {
    "trex": defaults_in_trex,  # sample defaults left to the trex boxes
    "packager": packager_layout,  # tfhd base data offsets, runs without data offsets, no tfdt
    "packager4": lambda data: packager_layout(data, 4),  # the same, four runs per traf
    "raised": lambda data: shift_decode_times(data, 2, 48000),  # track 2 (48 kHz audio) 1 s later
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
        prefix, _, files = name.rpartition(":")
        data = b"".join(fixture_bytes(part) for part in files.split("+"))
        return REWRITES[prefix](data) if prefix else data

    return load
