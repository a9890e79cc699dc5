import pathlib

import pytest

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


@pytest.fixture
def data_dir():
    """The repository's test fixtures (tests/data)."""
    return DATA
