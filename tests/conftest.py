import ctypes
import os

import pytest
from hypothesis import settings

import korvane

# Tests that leave the example count to the profile: 400 by default, many more for a soak.
settings.register_profile("default", max_examples=400, deadline=None)
settings.register_profile("soak", max_examples=20000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def f32(x):
    """x narrowed to a 32-bit float the way the module narrows a double."""
    return ctypes.c_float(x).value


def assert_noted(excinfo, parameter):
    assert getattr(excinfo.value, "__notes__", None) == [f"while processing '{parameter}'"]


def assert_not_noted(excinfo):
    assert not hasattr(excinfo.value, "__notes__")


@pytest.fixture
def engine():
    return korvane.Engine()
