import pathlib

import pytest

DATA = pathlib.Path(__file__).parent / "data"


@pytest.fixture(scope="session")
def fixture_bytes():
    cache = {}

    def load(name):
        if name not in cache:
            cache[name] = (DATA / name).read_bytes()
        return cache[name]

    return load
