import ctypes

import pytest

import korvane


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
