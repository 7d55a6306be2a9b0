import pytest

from support import DEEP


@pytest.fixture
def deep():
    return DEEP
