"""Candidate intake: how run reads each item of the iterable, and what a bad item does."""

import collections.abc
import gc
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

import korvane
from conftest import f32
from run_helpers import (ITERATOR_FAILURES_IN_A_ROW, NotToBeRead, Pulled, counts, engine_with, ids,
                         raises_exactly, rejected)

NOT_DICT = "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다"
NO_ID = "후보에 'id' 가 없다"
SCORES_SHAPE = "'scores' 는 사전이거나 순서열이어야 한다"
GROUPS_SHAPE = "'groups' 는 사전이어야 한다"
COVER_SHAPE = "'cover' 는 순서열이어야 한다"
U32_RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq(collections.abc.Sequence):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def scores_of(engine, *candidates):
    """Axis values per id, for candidates that all make the cut."""
    outcome = engine.run(candidates)
    return {r.id: r.scores for r in outcome.ranked}


class TestIdentifier:
    def test_integer_and_text_identifiers_order_apart(self):
        # Equal scores rank by identifier: integers first and numerically, then texts
        # bytewise; so the order shows which ids were taken as integers.
        engine = engine_with("a", top_k=20)

        class Weird:
            def __index__(self):
                raise ValueError("no integer here")

            def __str__(self):
                return "weird"

        given_ids = [10, 9, "10", "9", True, -1, None, Index(3), 2**64, 2.0, Weird(), 2**64 - 1]
        outcome = engine.run({"id": i, "scores": [0.5]} for i in given_ids)
        assert ids(outcome) == ["1", "3", "9", "10", "18446744073709551615",
                                "-1", "10", "18446744073709551616", "2.0", "9", "None", "weird"]

    def test_failing_str_fails_the_item(self):
        class Unprintable:
            def __str__(self):
                raise LookupError("no text")

        with pytest.raises(LookupError, match="no text"):
            engine_with("a").run([{"id": Unprintable()}])

    def test_text_that_cannot_be_encoded_fails_the_item(self):
        with pytest.raises(UnicodeEncodeError):
            engine_with("a").run([{"id": "bad\ud800"}])

    def test_interrupt_from_index_is_not_swallowed(self):
        class Interrupting:
            def __index__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            engine_with("a").run([{"id": Interrupting()}])


class TestItemShape:
    @pytest.mark.parametrize("item", [[("id", 1)], ("id", 1), 7, None, "id",
                                      types.MappingProxyType({"id": 1})])
    def test_item_must_be_a_dict(self, item):
        raises_exactly(ValueError, NOT_DICT, engine_with("a").run, [item])

    def test_id_is_required(self):
        raises_exactly(ValueError, NO_ID, engine_with("a").run, [{"scores": [1.0]}])

    def test_dict_subclass_is_read_from_its_own_storage(self):
        class Sneaky(dict):
            def __getitem__(self, key):
                raise AssertionError("__getitem__ must not be used")

            def get(self, key, default=None):
                raise AssertionError("get must not be used")

            def __missing__(self, key):
                return 1

        engine = engine_with("a")
        assert scores_of(engine, Sneaky(id=4, scores=Sneaky(a=0.25))) == {"4": {"a": 0.25}}
        raises_exactly(ValueError, NO_ID, engine.run, [Sneaky(scores=[1.0])])

    def test_other_entries_are_ignored(self):
        outcome = engine_with("a").run([{"id": 1, "text": NotToBeRead(), "groups": NotToBeRead(),
                                         "cost": NotToBeRead(), "cover": NotToBeRead()}])
        assert ids(outcome) == ["1"]

    def test_lookup_that_raises_fails_the_item(self):
        class Clash:
            armed = False

            def __hash__(self):
                return hash("id")

            def __eq__(self, other):
                if Clash.armed:
                    raise ArithmeticError("cannot compare")
                return False

        item = {Clash(): 1, "id": 2}  # built before the comparison is armed
        Clash.armed = True
        try:
            with pytest.raises(ArithmeticError, match="cannot compare"):
                engine_with("a").run([item])
        finally:
            Clash.armed = False


class TestScores:
    def test_dict_scores_by_axis_name(self):
        engine = engine_with("a", "b", "c")
        got = scores_of(engine, {"id": 1, "scores": {"a": 0.1, "zzz": NotToBeRead(), "c": None}},
                        {"id": 2})
        assert got == {"1": {"a": f32(0.1), "b": None, "c": None},
                       "2": {"a": None, "b": None, "c": None}}

    def test_sequence_scores_in_axis_order(self):
        engine = engine_with("a", "b", "c")
        got = scores_of(engine,
                        {"id": 1, "scores": [0.1]},
                        {"id": 2, "scores": (0.1, None, 0.3, NotToBeRead())},
                        {"id": 3, "scores": Seq(1, True, Index(2))},
                        {"id": 4, "scores": []})
        assert got == {"1": {"a": f32(0.1), "b": None, "c": None},
                       "2": {"a": f32(0.1), "b": None, "c": f32(0.3)},
                       "3": {"a": 1.0, "b": 1.0, "c": 2.0},
                       "4": {"a": None, "b": None, "c": None}}

    def test_values_are_narrowed_to_32_bits(self):
        got = scores_of(engine_with("a", "b"), {"id": 1, "scores": [1e-50, 1 / 3]})
        assert got["1"] == {"a": 0.0, "b": f32(1 / 3)}

    @pytest.mark.parametrize("scores", [None, 5, 0.5, {1, 2}, iter([0.5]), object()])
    def test_other_shapes_are_refused(self, scores):
        raises_exactly(ValueError, SCORES_SHAPE, engine_with("a").run,
                       [{"id": 1, "scores": scores}])

    def test_a_text_is_a_sequence_of_characters(self):
        with pytest.raises(TypeError, match="must be real number, not str"):
            engine_with("a").run([{"id": 1, "scores": "0.5"}])

    @pytest.mark.parametrize("scores, error", [({"a": "x"}, TypeError), (["x"], TypeError),
                                               ([10**400], OverflowError)])
    def test_value_that_does_not_convert(self, scores, error):
        with pytest.raises(error):
            engine_with("a").run([{"id": 1, "scores": scores}])

    def test_failing_sequence_access(self):
        class BadLength(Seq):
            def __len__(self):
                raise MemoryError("length")

        class BadItem(Seq):
            def __getitem__(self, i):
                raise IndexError("item")

        with pytest.raises(MemoryError, match="length"):
            engine_with("a").run([{"id": 1, "scores": BadLength()}])
        with pytest.raises(IndexError, match="item"):
            engine_with("a").run([{"id": 1, "scores": BadItem(0.5)}])

    def test_conversion_that_empties_the_candidate(self):
        # A __float__ that clears the dicts being read: intake holds what it reads.
        candidate = {"id": 1}
        scores = {}

        class Clearing:
            def __float__(self):
                candidate.clear()
                scores.clear()
                return 0.75

        scores.update(a=Clearing(), b=0.5)
        candidate["scores"] = scores
        outcome = engine_with("a", "b").run([candidate])
        assert outcome.ranked[0].scores == {"a": 0.75, "b": None}
        assert outcome.ranked[0].candidate is candidate

    def test_conversion_that_shrinks_the_list(self):
        values = []

        class Shrinking:
            def __float__(self):
                values.clear()
                return 0.75

        values.extend([Shrinking(), 0.5])
        with pytest.raises(IndexError):
            engine_with("a", "b").run([{"id": 1, "scores": values}])


class TestGroupsCostCover:
    def test_groups_are_ignored_without_a_group_rule(self):
        assert ids(engine_with("a").run([{"id": 1, "groups": 5}])) == ["1"]

    @pytest.mark.parametrize("groups", [5, None, ["site"], "site"])
    def test_groups_must_be_a_dict_when_read(self, groups):
        engine = engine_with("a")
        engine.max_per_group("site", 1)
        raises_exactly(ValueError, GROUPS_SHAPE, engine.run, [{"id": 1, "groups": groups}])

    def test_group_values_are_texts_of_str(self):
        engine = engine_with("a", top_k=5)
        engine.max_per_group("site", 1)
        outcome = engine.run([{"id": 1, "scores": [0.9], "groups": {"site": 3}},
                              {"id": 2, "scores": [0.8], "groups": {"site": "3"}},
                              {"id": 3, "scores": [0.7], "groups": {"site": None}},
                              {"id": 4, "scores": [0.6], "groups": {}},
                              {"id": 5, "scores": [0.5]}])
        assert ids(outcome) == ["1", "3", "4", "5"]
        assert [(r.id, r.reason, r.detail) for r in outcome.rejected] == [
            ("2", "set_constraint", "site")]

    def test_cost_is_read_only_under_a_token_budget(self):
        engine = engine_with("a")
        assert ids(engine.run([{"id": 1, "cost": "junk"}])) == ["1"]
        engine.budget_tokens(5)
        with pytest.raises(TypeError):
            engine.run([{"id": 1, "cost": "junk"}])

    @pytest.mark.parametrize("cost, error, message", [
        (2.5, TypeError, "'float' object cannot be interpreted as an integer"),
        (-1, OverflowError, None),
        (2**32, OverflowError, U32_RANGE),
        (2**64 - 1, OverflowError, U32_RANGE),
        (2**64, OverflowError, None),
    ])
    def test_bad_costs(self, cost, error, message):
        engine = engine_with("a")
        engine.budget_tokens(5)
        with pytest.raises(error) as excinfo:
            engine.run([{"id": 1, "cost": cost}])
        if message is not None:
            assert str(excinfo.value) == message
        assert not hasattr(excinfo.value, "__notes__")

    def test_good_costs(self):
        engine = engine_with("a", top_k=1)
        engine.budget_tokens(2**32 - 1)
        candidates = [{"id": 1, "cost": None}, {"id": 2, "cost": Index(7)}, {"id": 3},
                      {"id": 4, "cost": True}, {"id": 5, "cost": 2**32 - 1}]
        assert sorted(ids(engine.run(candidates))) == ["1", "2", "3", "4"]

    def test_cover_is_read_only_with_the_objective(self):
        engine = engine_with("a")
        assert ids(engine.run([{"id": 1, "cover": {"x"}}])) == ["1"]
        engine.coverage_objective()
        raises_exactly(ValueError, COVER_SHAPE, engine.run, [{"id": 1, "cover": {"x"}}])
        raises_exactly(ValueError, COVER_SHAPE, engine.run, [{"id": 1, "cover": 3}])

    def test_cover_items(self):
        # Equal fused scores (weighted_sum of equal values): the pick order shows the gains.
        engine = engine_with("a", top_k=4, method="weighted_sum")
        engine.coverage_objective()
        outcome = engine.run([
            {"id": 1, "scores": [0.5], "cover": ["ab"]},         # one item
            {"id": 2, "scores": [0.5], "cover": "ab"},           # two items: a, b
            {"id": 3, "scores": [0.5], "cover": ("c", "c")},     # one item, counted once
            {"id": 4, "scores": [0.5], "cover": [1, None]},      # "1", "None"
        ])
        assert ids(outcome) == ["2", "4", "1", "3"]

    def test_missing_or_none_cover_is_empty(self):
        engine = engine_with("a", top_k=3, method="weighted_sum")
        engine.coverage_objective()
        outcome = engine.run([{"id": 1, "scores": [0.5]}, {"id": 2, "scores": [0.5], "cover": None},
                              {"id": 3, "scores": [0.5], "cover": ["x"]}])
        assert ids(outcome) == ["3", "1", "2"]


class TestFailures:
    def test_stream_is_consumed_to_the_end(self):
        items = Pulled([{"id": 1}, "second", {"id": 3}, {"id": 4}, {"id": 5}])
        raises_exactly(ValueError, NOT_DICT, engine_with("a").run, items)
        assert items.pulled == 5

    def test_first_failure_wins(self):
        raises_exactly(ValueError, NO_ID, engine_with("a").run,
                       [{"id": 1}, {"scores": [1.0]}, 5, {"id": 2, "scores": None}])

    def test_later_failures_are_released(self):
        import weakref

        class Tracked(Exception):
            pass

        later = Tracked("later")
        alive = weakref.ref(later)

        class RaisesLater:
            def __float__(self):
                raise later

        with pytest.raises(ValueError):
            engine_with("a").run([{"id": 1, "scores": None}, {"id": 2, "scores": [RaisesLater()]}])
        del later, RaisesLater
        assert alive() is None

    def test_iterator_that_always_raises_ends_the_stream(self):
        class Broken:
            calls = 0

            def __iter__(self):
                return self

            def __next__(self):
                Broken.calls += 1
                raise OSError(f"disk gone {Broken.calls}")

        with pytest.raises(OSError, match="disk gone 1$"):
            engine_with("a").run(Broken())
        assert Broken.calls == ITERATOR_FAILURES_IN_A_ROW

    def test_iterator_raising_on_one_row_is_read_to_its_end(self):
        rows = [{"id": 1}, None, {"id": 3}, None, {"id": 5}]
        seen = []

        def to_candidate(row):
            seen.append(row)
            if row is None:
                raise LookupError(f"bad row {len(seen)}")
            return row

        raises_exactly(LookupError, "bad row 2", engine_with("a").run, map(to_candidate, rows))
        assert seen == rows

    def test_interrupt_from_the_iterator_ends_the_stream_at_once(self):
        rows = [{"id": 1}, None, {"id": 3}]
        seen = []

        def to_candidate(row):
            seen.append(row)
            if row is None:
                raise KeyboardInterrupt
            return row

        with pytest.raises(KeyboardInterrupt):
            engine_with("a").run(map(to_candidate, rows))
        assert seen == rows[:2]

    def test_exception_from_the_iterator_after_good_items(self):
        def produce():
            yield {"id": 1}
            yield {"id": 2}
            raise ZeroDivisionError("mid-stream")

        with pytest.raises(ZeroDivisionError, match="mid-stream"):
            engine_with("a").run(produce())

    def test_stop_iteration_from_next_is_exhaustion(self):
        class Short:
            def __iter__(self):
                return self

            def __next__(self):
                raise StopIteration

        outcome = engine_with("a").run(Short())
        assert outcome.trace["input_count"] == 0

    def test_failed_items_are_not_counted_and_earlier_failure_beats_iterator(self):
        def produce():
            yield 1
            yield {"id": 2}
            raise RuntimeError("late")

        raises_exactly(ValueError, NOT_DICT, engine_with("a").run, produce())


class Raising:
    """A value whose __float__ and __str__ raise a new instance of the given exception class
    (having no __index__, an id reads its str())."""

    def __init__(self, error):
        self.error = error

    def _raise(self, *args):
        raise self.error()

    __float__ = __str__ = _raise


class RaisingIndex(Raising):
    __index__ = Raising._raise


INTERRUPT_SITES = {
    "iterator": None,
    "score": lambda error: {"scores": [Raising(error)]},
    "cost": lambda error: {"cost": RaisingIndex(error)},
    "group value": lambda error: {"groups": {"g": Raising(error)}},
    "cover item": lambda error: {"cover": ["c", Raising(error)]},
    "id": lambda error: {"id": Raising(error)},
}


class TestInterrupts:
    @staticmethod
    def engine(calls):
        """Every entry is read, and an expensive callback counts its calls."""
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("x", cost="expensive", fn=lambda pool: calls.append(1) or [0.5] * len(pool))
        engine.max_per_group("g", 5)
        engine.coverage_objective()
        engine.budget_tokens(100)
        return engine

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    @pytest.mark.parametrize("site", INTERRUPT_SITES)
    def test_an_interrupt_in_intake_ends_the_run_at_once(self, site, error):
        pulled = []

        def stream():
            for i in range(10**6):
                pulled.append(i)
                item = {"id": i, "scores": [0.5], "groups": {"g": "x"}, "cover": ["c"], "cost": 1}
                if i == 3:
                    item["scores"] = [Raising(LookupError)]  # an ordinary failure first
                if i == 10:
                    if site == "iterator":
                        raise error
                    item.update(INTERRUPT_SITES[site](error))
                yield item

        calls = []
        engine = self.engine(calls)
        with pytest.raises(error) as raised:
            engine.run(stream())
        assert type(raised.value) is error
        assert (len(pulled), calls) == (11, [])
        # The engine is free and whole again.
        engine.budget_tokens(100)
        outcome = engine.run([{"id": 1, "scores": [0.5], "groups": {"g": "x"}, "cost": 1}])
        assert (ids(outcome), calls) == (["1"], [1])

    def test_an_interrupted_callback_stops_the_later_ones(self):
        calls = []
        engine = self.engine(calls)

        def interrupted(pool):
            raise KeyboardInterrupt

        engine.scorer("y", cost="expensive", fn=interrupted)
        engine.scorer("z", cost="expensive", fn=lambda pool: calls.append("z") or [0.5])
        with pytest.raises(KeyboardInterrupt):
            engine.run([{"id": 1, "scores": [0.5], "cost": 1}])
        assert calls == [1]


# A real SIGINT while intake reads only native values (a C-level iterator of plain dicts, so
# the interpreter's own loop never looks at signals): the run stops and raises it. The first
# item's score sends the signal from another process once the run is under way.
SIGINT_SCRIPT = """
import itertools, os, signal, subprocess, sys
import korvane

calls = []
engine = korvane.Engine()
engine.scorer("a")
engine.scorer("x", cost="expensive", fn=lambda pool: calls.append(1) or [0.5] * len(pool))
senders = []

class SendsInterrupt:
    def __float__(self):
        senders.append(subprocess.Popen([sys.executable, "-c", "import os, signal, sys; "
                                         "os.kill(int(sys.argv[1]), signal.SIGINT)",
                                         str(os.getpid())]))
        return 0.5

first = {"id": 0, "scores": [SendsInterrupt()]}
try:
    engine.run(itertools.chain([first], itertools.repeat({"id": 1, "scores": [0.5]})))
except KeyboardInterrupt:
    print("interrupted", calls)
senders[0].wait()
print(engine.run([{"id": 2}]).ranked[0].id, calls)
"""


def test_sigint_stops_a_run_over_an_endless_native_iterator():
    result = subprocess.run([sys.executable, "-c", SIGINT_SCRIPT], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "interrupted []\n2 [1]\n", "")


# Any mix of good items: every one is accounted for, once, and comes back as itself.
scalar_scores = st.one_of(st.none(), st.floats(allow_nan=False, width=32), st.integers(-5, 5))
candidate_items = st.builds(
    lambda id_, scores, as_dict: {"id": id_,
                                  "scores": dict(zip("ab", scores)) if as_dict else scores},
    st.one_of(st.integers(0, 2**64 - 1), st.text(max_size=4), st.integers(-10, -1)),
    st.lists(scalar_scores, max_size=3),
    st.booleans())


@settings(max_examples=60, deadline=None)
@given(st.lists(candidate_items, max_size=30), st.integers(1, 5))
def test_every_item_is_accounted_for(items, k):
    engine = engine_with("a", "b", top_k=k)
    engine.pool_multiplier(2)
    outcome = engine.run(iter(items))
    assert outcome.trace["input_count"] == len(items)
    assert outcome.is_complete()
    returned = [r.candidate for r in outcome.ranked] + [r.candidate for r in outcome.rejected]
    assert sorted(map(id, returned)) == sorted(map(id, items))
    assert sum(counts(outcome).values()) == len(items) - len(outcome.ranked)


# An item written by other code: its entries in any order, among other entries, after
# deleted ones, and under keys that are equal strs but other objects than the literals.
def fresh(key, other_object):
    return "".join(list(key)) if other_object else key


@st.composite
def laid_out_items(draw):
    entries = {"id": draw(st.one_of(st.integers(0, 50), st.text(max_size=2)))}
    if draw(st.booleans()):
        entries["scores"] = {axis: draw(st.floats(0, 1, width=32)) for axis in
                             draw(st.lists(st.sampled_from(["a", "bb"]), unique=True))}
    if draw(st.booleans()):
        entries["groups"] = {"gg": draw(st.sampled_from(["x", "y", None]))}
    entries.update({f"extra{i}": i for i in range(draw(st.integers(0, 2)))})

    def laid_out(mapping):
        item = {"deleted": 0} if draw(st.booleans()) else {}
        for key in draw(st.permutations(list(mapping))):
            value = laid_out(mapping[key]) if isinstance(mapping[key], dict) else mapping[key]
            item[fresh(key, draw(st.booleans()))] = value
        item.pop("deleted", None)
        return item

    return entries, laid_out(entries)


@settings(max_examples=80, deadline=None)
@given(st.lists(laid_out_items(), max_size=40))
def test_where_an_entry_sits_in_its_item_changes_nothing(pairs):
    engine = engine_with("a", "bb", top_k=3)
    engine.max_per_group("gg", 1)

    def seen(items):
        outcome = engine.run(items)
        return ([(r.id, r.fused, r.scores, r.constraints) for r in outcome.ranked],
                rejected(outcome), counts(outcome))

    assert seen([laid for _, laid in pairs]) == seen([entries for entries, _ in pairs])


# Plain dicts, read on the fast path that lets a row below the full pool go at once, against
# the same items as a dict subclass, read entry by entry.
class SubclassedDict(dict):
    pass


def subclassed(item):
    return SubclassedDict({key: subclassed(value) if isinstance(value, dict) else value
                           for key, value in item.items()})


group_values = st.sampled_from(["x", "y", None] * 5 + ["\ud800"])
plain_items = st.builds(
    lambda id_, a, bb, c, gg, hh: {"id": id_, "scores": {"a": a, "bb": bb, "c": c},
                                   "groups": {"gg": gg, "hh": hh}},
    st.one_of(st.integers(-2, 40), st.sampled_from(["p", "q", "é"] * 3 + ["\ud800"])),
    st.one_of(st.none(), st.sampled_from([0.0, -0.0, 0.25, 0.5, 1.0]), st.floats(width=32)),
    st.one_of(st.none(), st.floats(0, 1, width=32)), st.floats(0, 1, width=32),
    group_values, group_values)


@settings(max_examples=80, deadline=None)
@given(st.lists(plain_items, min_size=30, max_size=120),
       st.sampled_from(["count", "keep", "sample"]), st.booleans(),
       st.sampled_from([("a", "bb"), ("a", "bb", "c")]), st.integers(0, 2))
def test_a_plain_dict_is_read_as_any_other_dict(items, policy, with_minimum, axes, group_keys):
    engine = engine_with(*axes, top_k=2)
    engine.pool_multiplier(2)
    for key in ["gg", "hh"][:group_keys]:
        engine.max_per_group(key, 1)
    engine.rejections(policy, **({"n": 3} if policy == "sample" else {}))
    if with_minimum:
        engine.unary_min("bb", 0.25)

    def seen(stream):
        where = {id(item): i for i, item in enumerate(stream)}
        try:
            outcome = engine.run(iter(stream))
        except Exception as error:  # the first failing item's error, raised at the end
            return type(error), str(error)
        return ([(where[id(r.candidate)], r.to_json()) for r in outcome.ranked],
                [(where[id(r.candidate)], r.reason, r.detail) for r in outcome.rejected],
                counts(outcome), outcome.trace["input_count"],
                [(s["calls"], s["missing"]) for s in outcome.trace["scorers"]])

    held = [value for item in items for value in (item, item["scores"], item["groups"])]
    references = [sys.getrefcount(value) for value in held]
    assert seen(items) == seen([subclassed(item) for item in items])
    gc.collect()
    assert [sys.getrefcount(value) for value in held] == references
