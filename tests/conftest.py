import os

import pytest

# Depth of the "million levels" tests. Emulated runs (qemu) scale it down through the
# environment; the default is the full million.
DEEP = int(os.environ.get("TESSARY_TEST_DEEP", "1000000"))

# Set when the suite runs against the sanitizer build, whose allocations are slower.
SANITIZED = bool(os.environ.get("TESSARY_TEST_SANITIZED"))


@pytest.fixture
def deep():
    return DEEP
