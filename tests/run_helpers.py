"""Helpers shared by the tests of Engine.run."""

import pytest

import korvane


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as excinfo:
        call(*args, **kwargs)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    return excinfo


def ids(outcome):
    return [r.id for r in outcome.ranked]


def rejected(outcome):
    return [(r.id, r.reason, r.detail) for r in outcome.rejected]


def counts(outcome):
    """The non-zero drop counters."""
    return {reason: n for reason, n in outcome.rejected_counts.items() if n}


# How many raising calls in a row end a stream whose iterator never reports exhaustion.
ITERATOR_FAILURES_IN_A_ROW = 1000


def engine_with(*axes, top_k=None, **fuse):
    """An engine with cheap axes of the given names (and the default rrf fusion)."""
    engine = korvane.Engine()
    for axis in axes:
        engine.scorer(axis)
    if top_k is not None:
        engine.budget_top_k(top_k)
    if fuse:
        engine.fuse(**fuse)
    return engine


class Pulled:
    """An iterable that yields the given items and records how many were taken."""

    def __init__(self, items):
        self.items = list(items)
        self.pulled = 0
        self.started = False

    def __iter__(self):
        self.started = True
        for item in self.items:
            self.pulled += 1
            yield item


class NotToBeRead:
    """A value whose conversion fails the test when intake reads it."""

    def __float__(self):
        raise AssertionError("this value must not be read")

    __index__ = __float__

    def __str__(self):
        raise AssertionError("this value must not be read")
