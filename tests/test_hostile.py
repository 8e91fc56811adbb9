"""Hostile objects at every place the module runs Python code: argument conversions of the
configuration methods, candidate intake, scorer callbacks and the texts that reach the
results. Each case ends with its own exception (or its own result), the interpreter goes on,
the engine stays usable with its settings unchanged, and every object involved is back at
its reference count."""

import collections.abc
import contextlib
import gc
import json
import os
import subprocess
import sys
import threading
import weakref

import pytest
from hypothesis import given as for_all, settings, strategies as st

import korvane
from run_helpers import ITERATOR_FAILURES_IN_A_ROW


class Boom(Exception):
    """The exception hostile objects raise, so that nothing else can be mistaken for it."""


def failure(call, *args, **kwargs):
    """Runs `call`, which must raise; returns the exception's type, text and notes after the
    exception (with its traceback and the frames it holds) has been let go."""
    try:
        call(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - interrupts are among the cases
        caught = (type(error), str(error), getattr(error, "__notes__", None))
    else:
        raise AssertionError("the call did not raise")
    return caught


@contextlib.contextmanager
def refcounts_kept(*objects):
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    yield
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before


def fingerprint(outcome):
    """Everything an outcome shows except the elapsed times."""
    return (
        [(r.id, r.rank, r.fused, r.to_json(), r.constraints) for r in outcome.ranked],
        [(r.id, r.reason, r.detail, r.fused) for r in outcome.rejected],
        dict(outcome.rejected_counts),
        dict(outcome.selection),
        [(s["scorer"], s["calls"], s["missing"], s["cost"]) for s in outcome.trace["scorers"]],
        {k: v for k, v in outcome.trace.items() if k != "scorers"},
    )


def not_a_list(name):
    return f"채점기 '{name}' 의 콜백이 목록이 아닌 것을 돌려줬다"


def batch_length(name, got, expected):
    return f"채점기 '{name}' 의 배치 결과 길이가 {got} 인데 후보는 {expected} 개다"


def sample_items(n=12):
    return [{"id": i, "scores": [((i * 7) % n) / n, ((i * 5) % n) / n],
             "groups": {"g": i % 3}, "cover": [str(i % 4)], "cost": 1 + i % 2}
            for i in range(n)]


class Counted:
    """An iterable over `items` that counts the items taken."""

    def __init__(self, items):
        self.items = items
        self.taken = 0

    def __iter__(self):
        for item in self.items:
            self.taken += 1
            yield item


# ---------------------------------------------------------------------------------------
# Argument conversions of the configuration methods

class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class NonFloat:
    def __float__(self):
        return "0.5"


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class NoteRefused(Exception):
    def add_note(self, note):
        raise Boom("no notes here")


class RaisesUnnotable:
    def __float__(self):
        raise NoteRefused("unnotable")

    __index__ = __float__


class CallsBack:
    """A number whose conversion calls back into `engine` while the method holds it."""

    def __init__(self, engine, action):
        self.engine = engine
        self.action = action

    def __float__(self):
        self.action(self.engine)
        return 1.0

    def __index__(self):
        self.action(self.engine)
        return 1


class Texty:
    """Not a str, though str() of it is one: text parameters must not call it."""

    def __str__(self):
        raise AssertionError("a text parameter must not be turned into text by str()")


class HostileStr(str):
    """A str whose every override raises: only its stored characters may be read."""

    def _refuse(self, *args):
        raise AssertionError("a str subclass must be read from its storage")

    __str__ = __eq__ = __hash__ = __len__ = __iter__ = __getitem__ = encode = _refuse


FLOAT_PARAMS = [
    ("fuse", lambda v: (("rrf",), {"k": v}), "k"),
    ("missing", lambda v: (("impute",), {"value": v}), "value"),
    ("unary_min", lambda v: (("a", v), {}), "min"),
    ("budget_tail_mass", lambda v: ((v, 3), {}), "epsilon"),
    ("threshold", lambda v: ((v,), {}), "value"),
    ("min_fit", lambda v: ((v,), {}), "value"),
    ("scorer", lambda v: (("n",), {"normalize": "minmax", "normalize_range": (0.0, v)}),
     "normalize_range"),
]
U64_PARAMS = [
    ("rejections", lambda v: (("sample",), {"n": v}), "n"),
    ("max_per_group", lambda v: (("g", v), {}), "max"),
    ("max_total", lambda v: ((v,), {}), "max"),
    ("require_at_least", lambda v: (("g", "x", v), {}), "n"),
]
U32_PARAMS = [
    ("budget_top_k", lambda v: ((v,), {}), "k"),
    ("budget_tail_mass", lambda v: ((0.1, v), {}), "fallback_k"),
    ("budget_tokens", lambda v: ((v,), {}), "max"),
    ("pool_multiplier", lambda v: ((v,), {}), "multiplier"),
]
TEXT_PARAMS = [
    ("scorer", lambda v: ((v,), {}), "name"),
    ("scorer", lambda v: (("n",), {"scale": v}), "scale"),
    ("scorer", lambda v: (("n",), {"cost": v}), "cost"),
    ("scorer", lambda v: (("n",), {"normalize": v}), "normalize"),
    ("fuse", lambda v: ((v,), {}), "method"),
    ("missing", lambda v: ((v,), {}), "policy"),
    ("rejections", lambda v: ((v,), {}), "policy"),
    ("max_per_group", lambda v: ((v, 1), {}), "key"),
    ("max_per_group", lambda v: (("g", 1), {"id": v}), "id"),
    ("max_total", lambda v: ((1,), {"id": v}), "id"),
    ("require_at_least", lambda v: ((v, "x", 1), {}), "key"),
    ("require_at_least", lambda v: (("g", v, 1), {}), "value"),
    ("require_at_least", lambda v: (("g", "x", 1), {"id": v}), "id"),
    ("unary_min", lambda v: ((v, 0.1), {}), "axis"),
    ("unary_min", lambda v: (("a", 0.1), {"id": v}), "id"),
    ("admission", lambda v: ((v,), {}), "axis"),
]
NUMBER_PARAMS = FLOAT_PARAMS + U64_PARAMS + U32_PARAMS


def label(param):
    return f"{param[0]}-{param[2]}"


def configured_engine():
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b")
    engine.budget_top_k(4)
    engine.max_per_group("g", 2)
    return engine


def state_of(engine):
    """The settings as far as they can be seen: the repr and the outcome of a run."""
    return repr(engine), fingerprint(engine.run(sample_items()))


def hostile_numbers(kind):
    """(name, factory taking the engine, expected exception type, text or None)."""
    cases = [
        ("raising", lambda e: RaisingIndex() if kind != "float" else RaisingFloat(),
         Boom, None),
        ("repr during conversion", lambda e: CallsBack(e, repr),
         RuntimeError, "Already mutably borrowed"),
        ("run during conversion", lambda e: CallsBack(e, lambda en: en.run([])),
         RuntimeError, "Already mutably borrowed"),
        ("configuration during conversion", lambda e: CallsBack(e, lambda en: en.min_fit(0.5)),
         RuntimeError, "Already borrowed"),
    ]
    if kind == "float":
        cases += [
            ("__float__ returning a str", lambda e: NonFloat(), TypeError,
             "NonFloat.__float__ returned non-float (type str)"),
            ("__index__ raising", lambda e: RaisingIndex(), Boom, None),
            ("a str", lambda e: "0.5", TypeError, None),
        ]
    else:
        cases += [
            ("__index__ returning a str", lambda e: Index("1"), TypeError,
             "__index__ returned non-int (type str)"),
            ("__index__ past 64 bits", lambda e: Index(2**64), OverflowError, None),
            ("__index__ negative", lambda e: Index(-1), OverflowError, None),
            ("a float", lambda e: 1.0, TypeError, None),
        ]
    if kind == "u32":
        cases.append(("__index__ past 32 bits", lambda e: Index(2**32), OverflowError,
                      "out of range integral type conversion attempted"))
    return cases


def number_cases():
    for params, kind in ((FLOAT_PARAMS, "float"), (U64_PARAMS, "u64"), (U32_PARAMS, "u32")):
        for param in params:
            for case in hostile_numbers(kind):
                yield pytest.param(param, *case[1:], id=f"{label(param)}-{case[0]}")


class TestConfigurationConversions:
    @pytest.mark.parametrize("param, make, error, text", number_cases())
    def test_hostile_number(self, param, make, error, text):
        method, arguments, parameter = param
        engine = configured_engine()
        before = state_of(engine)
        value = make(engine)
        args, kwargs = arguments(value)
        with refcounts_kept(engine, value):
            kind, message, notes = failure(getattr(engine, method), *args, **kwargs)
        assert kind is error
        if text is not None:
            assert message == text
        assert notes == [f"while processing '{parameter}'"]
        assert state_of(engine) == before

    @pytest.mark.parametrize("param", TEXT_PARAMS, ids=label)
    @pytest.mark.parametrize("value, error", [
        ("a\udc80b", UnicodeEncodeError),
        (Texty(), TypeError),
        (b"unit", TypeError),
    ], ids=["lone surrogate", "object with __str__", "bytes"])
    def test_hostile_text(self, param, value, error):
        method, arguments, parameter = param
        engine = configured_engine()
        before = state_of(engine)
        args, kwargs = arguments(value)
        with refcounts_kept(engine, value):
            kind, _, notes = failure(getattr(engine, method), *args, **kwargs)
        assert kind is error
        assert notes == [f"while processing '{parameter}'"]
        assert state_of(engine) == before

    @pytest.mark.parametrize("param", NUMBER_PARAMS, ids=label)
    def test_note_that_cannot_be_added(self, param):
        method, arguments, _ = param
        engine = configured_engine()
        before = state_of(engine)
        args, kwargs = arguments(RaisesUnnotable())
        assert failure(getattr(engine, method), *args, **kwargs) == (
            NoteRefused, "unnotable", None)
        assert state_of(engine) == before

    def test_str_subclass_is_read_from_its_storage(self):
        engine = korvane.Engine()
        engine.scorer(HostileStr("a"), scale=HostileStr("unit"), cost=HostileStr("cheap"))
        engine.max_per_group(HostileStr("g"), 1, id=HostileStr("per-g"))
        engine.fuse(HostileStr("weighted_sum"))
        outcome = engine.run([{"id": 1, "scores": [0.5], "groups": {"g": 1}},
                              {"id": 2, "scores": [0.4], "groups": {"g": 1}}])
        assert [(r.id, r.reason, r.detail) for r in outcome.rejected] == [
            ("2", "set_constraint", "per-g")]

    def test_refusals_inside_a_conversion_leave_the_method_holding_the_engine(self):
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("b")
        engine.fuse("weighted_sum")
        seen = []

        class Persistent:
            def __float__(self):
                # Each refusal must leave the outer method's hold in place.
                for attempt in (repr, lambda e: e.run([]), repr, lambda e: e.threshold(0.1)):
                    try:
                        attempt(engine)
                    except RuntimeError as error:
                        seen.append(str(error))
                return 0.75

        value = Persistent()
        with refcounts_kept(value):
            engine.threshold(value)
        assert seen == ["Already mutably borrowed"] * 3 + ["Already borrowed"]
        outcome = engine.run([{"id": 1, "scores": [1.0, 1.0]}, {"id": 2, "scores": [0.0, 0.0]}])
        assert outcome.rejected_counts["below_threshold"] == 1
        engine.threshold(0.0)  # the engine is free again

    def test_tail_mass_arguments(self):
        for kwargs, parameter, error in [
            ({"s": RaisingFloat(), "k": 1, "v": 2}, "s", Boom),
            ({"s": NonFloat(), "k": 1, "v": 2}, "s", TypeError),
            ({"s": 1.0, "k": Index(2**64), "v": 2}, "k", OverflowError),
            ({"s": 1.0, "k": 1, "v": RaisingIndex()}, "v", Boom),
        ]:
            kind, _, notes = failure(korvane.tail_mass, **kwargs)
            assert (kind, notes) == (error, [f"while processing '{parameter}'"])


class TestWeights:
    """fuse("weighted_sum", weights=...) reads a dict or a list of pairs, running the keys'
    __str__ and the values' conversions."""

    SHAPE = "weights 는 {'축이름': 가중치} 사전이거나 [('축이름', 가중치)] 목록이어야 한다"

    def test_dict_keys_and_values_raise_their_own_errors_without_a_note(self):
        class BadStr:
            def __init__(self, result):
                self.result = result

            def __str__(self):
                if isinstance(self.result, type):
                    raise self.result("key")
                return self.result

        engine = configured_engine()
        before = state_of(engine)
        for weights, error in [
            ({BadStr(Boom): 1.0}, Boom),
            ({BadStr(7): 1.0}, TypeError),
            ({BadStr("a\ud800"): 1.0}, UnicodeEncodeError),
            ({"a": RaisingFloat()}, Boom),
            ({"a": NonFloat()}, TypeError),
            ({"a": CallsBack(engine, repr)}, RuntimeError),
            ({BadStr(KeyboardInterrupt): 1.0}, KeyboardInterrupt),
        ]:
            with refcounts_kept(weights):
                kind, _, notes = failure(engine.fuse, "weighted_sum", weights=weights)
            assert (kind, notes) == (error, None)
        assert state_of(engine) == before

    def test_dict_keys_are_never_hashed_or_compared(self):
        class Key:
            armed = False

            def __init__(self, name):
                self.name = name

            def __hash__(self):
                if Key.armed:
                    raise AssertionError("hashed")
                return hash(self.name)

            def __eq__(self, other):
                if Key.armed:
                    raise AssertionError("compared")
                return self is other

            def __str__(self):
                return self.name

        weights = {Key("a"): 2.0, Key("b"): 0.5}
        reference = configured_engine()
        reference.fuse("weighted_sum", weights={"a": 2.0, "b": 0.5})
        engine = configured_engine()
        Key.armed = True
        try:
            engine.fuse("weighted_sum", weights=weights)
        finally:
            Key.armed = False
        assert state_of(engine) == state_of(reference)

    def test_dict_edited_while_it_is_read(self):
        weights = {}

        class Editing:
            def __float__(self):
                weights.clear()
                weights["zzz"] = 1.0
                return 3.0

        weights["a"] = Editing()
        weights["b"] = 0.25
        engine = configured_engine()
        engine.fuse("weighted_sum", weights=weights)
        # The entries as they stood when reading began.
        reference = configured_engine()
        reference.fuse("weighted_sum", weights=[("a", 3.0), ("b", 0.25)])
        assert state_of(engine) == state_of(reference)

    def test_pairs_of_the_wrong_shape_get_the_one_message(self):
        class LyingLength(collections.abc.Sequence):
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                return ("a", 1.0)

        class RaisingLength(list):
            def __len__(self):
                raise Boom("len")

        pairs = [("a", 1.0)]

        class Shrinking:
            def __float__(self):
                pairs.clear()
                return 1.0

        pairs.append(("b", Shrinking()))
        pairs.append(("a", 1.0))
        engine = configured_engine()
        before = state_of(engine)
        for weights in ([("a", RaisingFloat())], [("a", NonFloat())], [("a\udc80", 1.0)],
                        [(Texty(), 1.0)], [["a", 1.0]], [("a", 1.0, 2)], LyingLength(),
                        RaisingLength([("a", 1.0)]), pairs, "ab", 42):
            assert failure(engine.fuse, "weighted_sum", weights=weights) == (
                ValueError, self.SHAPE, None)
        assert state_of(engine) == before

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
    def test_an_interrupt_while_pairs_are_read_is_not_a_shape_error(self, interrupt):
        class Interrupting:
            def __float__(self):
                raise interrupt()

        class InterruptingLength(list):
            def __len__(self):
                raise interrupt()

        engine = configured_engine()
        before = state_of(engine)
        for weights in ([("a", Interrupting())], InterruptingLength([("a", 1.0)])):
            assert failure(engine.fuse, "weighted_sum", weights=weights)[0] is interrupt
        assert state_of(engine) == before


# ---------------------------------------------------------------------------------------
# Candidate intake

class Clash:
    """A dict key that collides with `name`. Once armed, comparing it with anything raises,
    or answers with a truth value that raises (armed before the run, so that building the
    dict that holds it does not already fail)."""

    armed = False

    def __init__(self, name, truth=False):
        self.name = name
        self.truth = truth

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not Clash.armed:
            return False
        if self.truth:
            return BadBool()
        raise Boom("compared")


class BadBool:
    def __bool__(self):
        raise Boom("truth")


def given(value):
    """`value`, or, for an exception, a fresh copy of it raised (a raised exception keeps
    its traceback, and with it the frames that hold the test's objects)."""
    if isinstance(value, BaseException):
        raise type(value)(*value.args)
    return value


class Identified:
    """An id whose __index__ and __str__ behave as given (a value to return, or an
    exception to raise)."""

    def __init__(self, index=None, text="text-id"):
        self.index = index
        self.text = text

    def _give(self, value):
        return given(value)

    def __index__(self):
        if self.index is None:
            raise TypeError("no index")
        return self._give(self.index)

    def __str__(self):
        return self._give(self.text)


class Sequence(collections.abc.Sequence):
    """A sequence whose length and items are whatever the test says."""

    def __init__(self, length, item=lambda i: 0.5):
        self.length = length
        self.item = item

    def __len__(self):
        return given(self.length)

    def __getitem__(self, i):
        return self.item(i)


@contextlib.contextmanager
def disarmed_afterwards():
    try:
        yield
    finally:
        Clash.armed = False


def raise_(error):
    raise error


def shrinking_cover():
    cover = ["a", None, "c"]

    class Shrinking:
        def __str__(self):
            cover.clear()
            return "b"

    cover[1] = Shrinking()
    return cover


def reading_engine():
    """Two cheap axes, a group rule, the coverage objective and a token budget: intake reads
    every entry."""
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b")
    engine.max_per_group("g", 5)
    engine.coverage_objective()
    engine.budget_tokens(100)
    return engine


def good(i):
    return {"id": 1000 + i, "scores": [0.5, 0.5], "groups": {"g": "x"}, "cover": ["c"]}


def with_entries(**entries):
    item = {"id": 1, "scores": [0.5, 0.5], "groups": {"g": "x"}, "cover": ["c"], "cost": 1}
    item.update(entries)
    return item


INTAKE_FAILURES = [
    ("id str raising", lambda: with_entries(id=Identified(text=Boom("str"))), Boom, "str"),
    ("id str returning an int", lambda: with_entries(id=Identified(text=5)), TypeError,
     "__str__ returned non-string (type int)"),
    ("id str with a lone surrogate", lambda: with_entries(id=Identified(text="x\udcff")),
     UnicodeEncodeError, None),
    ("id lone surrogate", lambda: with_entries(id="\ud800"), UnicodeEncodeError, None),
    ("id index and str raising", lambda: with_entries(
        id=Identified(index=Boom("index"), text=LookupError("str"))), LookupError, "str"),
    ("id index interrupted", lambda: with_entries(id=Identified(index=KeyboardInterrupt())),
     KeyboardInterrupt, ""),
    ("item key comparison raising", lambda: {Clash("id"): 0, "id": 1}, Boom, "compared"),
    ("item key truth raising", lambda: {Clash("id", truth=True): 0, "id": 1}, Boom, "truth"),
    ("scores key comparison raising", lambda: with_entries(scores={Clash("a"): 0.1}), Boom,
     "compared"),
    ("groups key comparison raising", lambda: with_entries(groups={Clash("g"): 1}), Boom,
     "compared"),
    ("score float raising", lambda: with_entries(scores={"b": RaisingFloat()}), Boom, "float"),
    ("score float returning a str", lambda: with_entries(scores=[NonFloat()]), TypeError,
     "NonFloat.__float__ returned non-float (type str)"),
    ("score a str", lambda: with_entries(scores=["0.5"]), TypeError, None),
    ("scores length raising", lambda: with_entries(scores=Sequence(Boom("len"))), Boom, "len"),
    ("scores length a str", lambda: with_entries(scores=Sequence("2")), TypeError, None),
    ("scores length negative", lambda: with_entries(scores=Sequence(-1)), ValueError,
     "__len__() should return >= 0"),
    ("scores length past the index range", lambda: with_entries(scores=Sequence(2**70)),
     OverflowError, None),
    ("scores item raising", lambda: with_entries(scores=Sequence(2, lambda i: raise_(Boom("i")))),
     Boom, "i"),
    ("scores longer than they are", lambda: with_entries(
        scores=Sequence(2, lambda i: 0.5 if i == 0 else raise_(IndexError(i)))), IndexError,
     "1"),
    ("group value str raising", lambda: with_entries(groups={"g": Identified(text=Boom("g"))}),
     Boom, "g"),
    ("group value lone surrogate", lambda: with_entries(groups={"g": "\udc80"}),
     UnicodeEncodeError, None),
    ("cover item str raising", lambda: with_entries(cover=[Identified(text=Boom("c"))]), Boom,
     "c"),
    ("cover item lone surrogate", lambda: with_entries(cover=("ok", "\udc80")),
     UnicodeEncodeError, None),
    ("cover length raising", lambda: with_entries(cover=Sequence(Boom("cl"))), Boom, "cl"),
    ("cover item access raising", lambda: with_entries(
        cover=Sequence(3, lambda i: raise_(Boom("ci")))), Boom, "ci"),
    ("cover shrinking while read", lambda: with_entries(cover=shrinking_cover()), IndexError,
     "list index out of range"),
    ("cost index raising", lambda: with_entries(cost=RaisingIndex()), Boom, "index"),
    ("cost index returning a str", lambda: with_entries(cost=Index("3")), TypeError,
     "__index__ returned non-int (type str)"),
    ("cost past 32 bits", lambda: with_entries(cost=Index(2**32)), OverflowError,
     "out of range integral type conversion attempted"),
]


class TestIntake:
    @pytest.mark.parametrize("make, error, text", [case[1:] for case in INTAKE_FAILURES],
                             ids=[case[0] for case in INTAKE_FAILURES])
    def test_hostile_item_fails_the_run_after_the_stream(self, make, error, text):
        engine = reading_engine()
        items = [good(0), make(), good(1), good(2)]
        source = Counted(items)
        Clash.armed = True
        with refcounts_kept(engine, source, *items), disarmed_afterwards():
            kind, message, _ = failure(engine.run, source)
            assert kind is error
            if text is not None:
                assert message == text
            # An interrupt ends the stream at its item; anything else lets the rest be read.
            assert source.taken == (len(items) if issubclass(error, Exception) else 2)
        engine.budget_top_k(1)  # the run let go of the engine

    @pytest.mark.parametrize("make", [
        lambda: Identified(index=Boom("index")),
        lambda: Identified(index=2**64),
        lambda: Identified(index=-5),
        lambda: Identified(index="7"),
        lambda: Identified(index=2**200),
    ], ids=["raising", "past 64 bits", "negative", "a str", "huge"])
    def test_id_whose_index_fails_is_its_text(self, make):
        value = make()
        with refcounts_kept(value):
            outcome = korvane_run_one({"id": value, "scores": [0.5]})
            assert outcome.ranked[0].id == "text-id"
            assert json.loads(outcome.ranked[0].to_json())["candidate"] == "text-id"
            del outcome

    def test_id_whose_index_works_is_an_integer(self):
        # Integer ids rank before text ids at equal scores, whatever their digits.
        outcome = korvane_run_one({"id": "0", "scores": [0.5]},
                                  {"id": Identified(index=2**64 - 1), "scores": [0.5]})
        assert [r.id for r in outcome.ranked] == [str(2**64 - 1), "0"]

    def test_dict_subclasses_are_read_from_their_own_storage(self):
        class Sealed(dict):
            def _refuse(self, *args):
                raise AssertionError("a dict subclass must be read from its storage")

            __getitem__ = __missing__ = __contains__ = __iter__ = __len__ = _refuse
            get = keys = items = values = _refuse

        engine = reading_engine()
        outcome = engine.run([Sealed(id=1, scores=Sealed(a=0.25, b=0.5), groups=Sealed(g=3),
                                     cover=["c"], cost=2)])
        assert outcome.ranked[0].scores == {"a": 0.25, "b": 0.5}

    def test_non_text_key_equal_to_an_axis_name_is_found(self):
        class Alias:
            def __hash__(self):
                return hash("a")

            def __eq__(self, other):
                return other == "a"

        outcome = korvane_run_one({"id": 1, "scores": {Alias(): 0.25}})
        assert outcome.ranked[0].scores == {"a": 0.25}

    def test_sequence_that_grows_while_read(self):
        reads = []

        def item(i):
            reads.append(i)
            scores.length += 10
            return 0.25

        scores = Sequence(1, item)
        outcome = korvane_run_one({"id": 1, "scores": scores}, axes=("a", "b", "c"))
        # The length was taken once; nothing past it, or past the axes, is read.
        assert reads == [0]
        assert outcome.ranked[0].scores == {"a": 0.25, "b": None, "c": None}

    def test_conversion_that_edits_the_other_entries(self):
        item = {"id": 1, "groups": {"g": "x"}}

        class Editing:
            def __float__(self):
                item.clear()
                item["id"] = 99
                return 0.5

        item["scores"] = [Editing()]
        engine = korvane.Engine()
        engine.scorer("a")
        engine.max_per_group("g", 1)
        with refcounts_kept(item):
            outcome = engine.run([item])
            # The id was read first; the groups entry was gone when it was looked up.
            assert [r.id for r in outcome.ranked] == ["1"]
            assert outcome.ranked[0].candidate is item
            del outcome

    def test_conversions_that_free_the_dict_being_read(self):
        # A __float__ or __str__ that deletes the scores or groups dict it sits in from its
        # candidate: the dict is still read to its end, as it was when looked up. The interpreter
        # runs with its debug allocator, which overwrites freed memory, so reading a dict
        # that was let go fails loudly instead of by chance.
        script = """if True:
            import korvane

            class Deleting:
                def __init__(self, item, entry, value):
                    self.item, self.entry, self.value = item, entry, value

                def take(self):
                    del self.item[self.entry]
                    return self.value

                __float__ = __str__ = take

            engine = korvane.Engine()
            engine.scorer("a")
            engine.scorer("b")
            engine.max_per_group("g", 1)
            engine.max_per_group("h", 1)
            items = [{"id": 1, "groups": {"g": "x", "h": "y"}},
                     {"id": 2, "scores": {"a": 0.25, "b": 0.5}}]
            # Entries past the axes and group keys, so that the dicts' tables are too big for
            # the interpreter's free lists and are really let go.
            padding = {f"pad{i}": i for i in range(8)}
            items[0]["scores"] = {"a": Deleting(items[0], "scores", 0.75), "b": 0.5, **padding}
            items[1]["groups"] = {"g": Deleting(items[1], "groups", "z"), "h": "w", **padding}
            for r in sorted(engine.run(items).ranked, key=lambda r: r.id):
                print(r.id, r.scores, r.candidate)
        """
        env = dict(os.environ, PYTHONMALLOC="debug")
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == [
            "1 {'a': 0.75, 'b': 0.5} {'id': 1, 'groups': {'g': 'x', 'h': 'y'}}",
            "2 {'a': 0.25, 'b': 0.5} {'id': 2, 'scores': {'a': 0.25, 'b': 0.5}}",
        ]

    def test_conversion_that_calls_into_the_engine(self):
        engine = korvane.Engine()
        engine.scorer("a")
        seen = []

        class Calling:
            def __float__(self):
                seen.append(repr(engine))
                seen.append(fingerprint(engine.run([{"id": 5, "scores": [0.1]}]))[0][0][0])
                seen.append(failure(engine.budget_top_k, 1)[:2])
                return 0.5

        outcome = engine.run([{"id": 1, "scores": [Calling()]}])
        assert [r.id for r in outcome.ranked] == ["1"]
        assert seen == ["Engine(axes=1, fusion=rrf, budget=TopK(10))", "5",
                        (RuntimeError, "Already borrowed")]


class IdError(Exception):
    pass


class ScoreError(Exception):
    pass


class GroupError(Exception):
    pass


class CostError(Exception):
    pass


class CoverError(Exception):
    pass


class Raising:
    """Raises `error` from every conversion intake may try."""

    def __init__(self, error):
        self.error = error

    def _raise(self, *args):
        raise self.error("hostile")

    __float__ = __index__ = __str__ = _raise


# Each entry: (value, the error it raises or None). Entries are read in this order, so an
# item fails with the error of its first bad entry.
ENTRY_ORDER = ("id", "scores", "groups", "cost", "cover")
ENTRIES = {
    "id": st.sampled_from([(7, None), ("doc", None), (Identified(index=Boom("i")), None),
                           (Raising(IdError), IdError)]),
    "scores": st.sampled_from([([0.5, 0.25], None), ({"b": 0.75}, None), (None, ValueError),
                               ([0.5, Raising(ScoreError)], ScoreError),
                               ({"a": Raising(ScoreError)}, ScoreError)]),
    "groups": st.sampled_from([({"g": "x"}, None), ({"g": 3}, None), ({}, None),
                               ({"g": Raising(GroupError)}, GroupError), (5, ValueError)]),
    "cost": st.sampled_from([(1, None), (None, None), (Raising(CostError), CostError)]),
    "cover": st.sampled_from([(["c", "d"], None), ("cd", None), ({"c"}, ValueError),
                              ([Raising(CoverError)], CoverError)]),
}


@st.composite
def hostile_items(draw):
    entries = {key: draw(strategy) for key, strategy in ENTRIES.items()}
    present = {key: draw(st.booleans()) for key in ENTRY_ORDER}
    present["id"] = draw(st.sampled_from([True] * 7 + [False]))
    item = {key: entries[key][0] for key in ENTRY_ORDER if present[key]}
    if not present["id"]:
        return item, ValueError
    errors = [entries[key][1] for key in ENTRY_ORDER if present[key] and entries[key][1]]
    return item, errors[0] if errors else None


@settings(max_examples=60, deadline=None)
@for_all(st.lists(st.one_of(hostile_items(), st.just(([], ValueError))), max_size=8))
def test_any_mix_of_hostile_items_fails_with_the_first_failure(drawn):
    items = [item for item, _ in drawn]
    failures = [error for _, error in drawn if error is not None]
    engine = reading_engine()
    source = Counted(items)
    with refcounts_kept(engine, source, *items):
        if failures:
            assert failure(engine.run, source)[0] is failures[0]
        else:
            outcome = engine.run(source)
            assert outcome.is_complete()
            assert outcome.trace["input_count"] == len(items)
            del outcome
        assert source.taken == len(items)


def korvane_run_one(*items, axes=("a",)):
    engine = korvane.Engine()
    for axis in axes:
        engine.scorer(axis)
    return engine.run(list(items))


class TestIterators:
    def engine(self):
        engine = korvane.Engine()
        engine.scorer("a")
        return engine

    def test_generator_raising_on_its_first_call(self):
        def generator():
            raise Boom("first")
            yield  # pragma: no cover

        source = generator()
        with refcounts_kept(source):
            assert failure(self.engine().run, source)[:2] == (Boom, "first")

    def test_generator_raising_in_the_middle(self):
        items = [{"id": i, "scores": [0.5]} for i in range(3)]

        def generator():
            yield from items
            raise Boom("middle")

        with refcounts_kept(*items):
            assert failure(self.engine().run, generator())[:2] == (Boom, "middle")

    @pytest.mark.parametrize("error", [Boom, KeyboardInterrupt, StopAsyncIteration])
    def test_iterator_raising_on_every_call_ends_the_stream(self, error):
        class Always:
            calls = 0

            def __iter__(self):
                return self

            def __next__(self):
                Always.calls += 1
                raise error()

        source = Always()
        with refcounts_kept(source):
            assert failure(self.engine().run, source)[0] is error
        # An interrupt ends the stream at once; an ordinary exception after a bounded run of
        # raising calls.
        assert Always.calls == (1 if error is KeyboardInterrupt else ITERATOR_FAILURES_IN_A_ROW)

    def test_iter_failures_are_raised_unchanged(self):
        class RaisingIter:
            def __iter__(self):
                raise Boom("iter")

        class NotAnIterator:
            def __iter__(self):
                return 5

        assert failure(self.engine().run, RaisingIter())[:2] == (Boom, "iter")
        assert failure(self.engine().run, NotAnIterator())[0] is TypeError

    def test_generator_closed_by_a_conversion_ends_the_stream(self):
        def generator():
            yield {"id": 1, "scores": [0.5]}
            yield {"id": 2, "scores": [Closing()]}
            yield {"id": 3, "scores": [0.5]}  # never reached

        class Closing:
            def __float__(self):
                # The generator is suspended at its yield, so it can be closed.
                source.close()
                return 0.25

        source = generator()
        outcome = self.engine().run(source)
        assert [r.id for r in outcome.ranked] == ["1", "2"]

    def test_generator_that_reenters_itself(self):
        engine = self.engine()

        def generator():
            yield {"id": 1, "scores": [0.5]}
            # Running the engine over this same generator from inside it: the inner run's
            # pull fails with "generator already executing", which that run raises here.
            kind, message, _ = failure(engine.run, source)
            yield {"id": f"{kind.__name__}: {message}", "scores": [0.25]}

        source = generator()
        outcome = engine.run(source)
        assert [r.id for r in outcome.ranked] == ["1", "ValueError: generator already executing"]

    def test_runs_nested_to_the_recursion_limit_raise_recursion_error(self):
        # Runs nest through a callback, a generator and a conversion; each level costs
        # native stack, so the thread gets room enough for the limit to be reached first.
        calling = callback_engine(lambda pool: calling.run([{"id": 1}]) and [])
        engine = korvane.Engine()
        engine.scorer("a")

        def through_generator():
            engine.run(through_generator())
            yield {"id": 1}

        class ThroughFloat:
            def __float__(self):
                engine.run([{"id": 1, "scores": [ThroughFloat()]}])
                return 0.5

        results = []

        def body():
            for call in (lambda: calling.run([{"id": 1}]),
                         lambda: engine.run(through_generator()),
                         lambda: engine.run([{"id": 1, "scores": [ThroughFloat()]}])):
                results.append(failure(call)[0])

        previous = threading.stack_size(256 * 1024 * 1024)
        try:
            thread = threading.Thread(target=body)
            thread.start()
            thread.join()
        finally:
            threading.stack_size(previous)
        assert results == [RecursionError] * 3
        engine.budget_top_k(1)


# ---------------------------------------------------------------------------------------
# Scorer callbacks

def callback_engine(fn):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("x", cost="expensive", fn=fn)
    engine.fuse("weighted_sum")
    return engine


def pool_items(n=3):
    return [{"id": i, "scores": [i / 10]} for i in range(n)]


def plain_callback(pool):
    return [c["id"] / 100 for c in pool]


def reference_run():
    return fingerprint(callback_engine(plain_callback).run(pool_items()))


class NotASequence:
    def __float__(self):
        return 1.0


CALLBACK_FAILURES = [
    ("a generator", lambda pool: (0.5 for _ in pool), ValueError, not_a_list("x")),
    ("a dict", lambda pool: dict.fromkeys(range(len(pool)), 0.5), ValueError, not_a_list("x")),
    ("a set", lambda pool: {0.5}, ValueError, not_a_list("x")),
    ("None", lambda pool: None, ValueError, not_a_list("x")),
    ("a number", lambda pool: NotASequence(), ValueError, not_a_list("x")),
    ("too short", lambda pool: [0.5] * (len(pool) - 1), korvane.EngineError,
     batch_length("x", 2, 3)),
    ("too long", lambda pool: [0.5] * (len(pool) + 4), korvane.EngineError,
     batch_length("x", 7, 3)),
    ("empty", lambda pool: [], korvane.EngineError, batch_length("x", 0, 3)),
    ("a str of the right length", lambda pool: "abc", TypeError, None),
    ("raising __float__", lambda pool: [0.5, RaisingFloat(), 0.5], Boom, "float"),
    ("__float__ returning a str", lambda pool: [NonFloat()] * 3, TypeError,
     "NonFloat.__float__ returned non-float (type str)"),
    ("raising length", lambda pool: Sequence(Boom("len")), Boom, "len"),
    ("negative length", lambda pool: Sequence(-3), ValueError, "__len__() should return >= 0"),
    ("a length that is a str", lambda pool: Sequence("3"), TypeError, None),
    ("items past the end", lambda pool: Sequence(3, lambda i: raise_(IndexError(i))),
     IndexError, "0"),
    ("a raising callback", lambda pool: raise_(Boom("callback")), Boom, "callback"),
    ("an interrupted callback", lambda pool: raise_(KeyboardInterrupt()), KeyboardInterrupt, ""),
    ("a callback refusing the pool", lambda: None, TypeError, None),
]


class TestCallbacks:
    @pytest.mark.parametrize("fn, error, text", [case[1:] for case in CALLBACK_FAILURES],
                             ids=[case[0] for case in CALLBACK_FAILURES])
    def test_hostile_result(self, fn, error, text):
        engine = callback_engine(fn)
        items = pool_items()
        source = Counted(items)
        with refcounts_kept(engine, fn, source, *items):
            kind, message, _ = failure(engine.run, source)
            assert kind is error
            if text is not None:
                assert message == text
            assert source.taken == len(items)
        engine.budget_top_k(2)

    def test_result_that_shrinks_while_read(self):
        def fn(pool):
            result = [0.1, 0.2, 0.3]

            class Shrinking:
                def __float__(self):
                    result.clear()
                    return 0.9

            result[0] = Shrinking()
            return result

        assert failure(callback_engine(fn).run, pool_items())[0] is IndexError

    def test_bytes_are_a_sequence_of_numbers(self):
        outcome = callback_engine(lambda pool: bytes([10, 20, 30])).run(pool_items())
        assert sorted(r.scores["x"] for r in outcome.ranked) == [10.0, 20.0, 30.0]

    def test_callback_that_edits_the_candidates_and_the_pool(self):
        items = pool_items()

        def fn(pool):
            scores = plain_callback(pool)
            for candidate in pool:
                candidate.clear()
                candidate["id"] = "edited"
            pool.reverse()
            pool.append(None)
            return scores

        expected = reference_run()
        with refcounts_kept(*items):
            outcome = callback_engine(fn).run(items)
            # Ids and scores are what intake read; the candidates are the edited dicts.
            assert fingerprint(outcome) == expected
            assert {id(r.candidate) for r in outcome.ranked} == {id(c) for c in items}
            assert all(r.candidate == {"id": "edited"} for r in outcome.ranked)
            del outcome

    def test_callback_that_keeps_the_pool(self):
        kept = []
        items = pool_items()

        def fn(pool):
            kept.append(pool)
            return plain_callback(pool)

        with refcounts_kept(*items):
            callback_engine(fn).run(items)
            assert sorted(c["id"] for c in kept[0]) == [0, 1, 2]
            kept.clear()

    def test_configuration_from_a_callback_is_refused_around_a_nested_run(self):
        seen = []

        def fn(pool):
            seen.append(failure(engine.threshold, 0.5)[:2])
            seen.append(fingerprint(engine.run(pool_items())) == expected)
            # The nested run's end must not free the engine while this run goes on.
            seen.append(failure(engine.threshold, 0.5)[:2])
            seen.append(repr(engine))
            return plain_callback(pool)

        expected = reference_run()
        engine = callback_engine(lambda pool: fn(pool) if not seen else plain_callback(pool))
        assert fingerprint(engine.run(pool_items())) == expected
        refused = (RuntimeError, "Already borrowed")
        assert seen == [refused, True, refused,
                        "Engine(axes=2, fusion=weighted_sum, budget=TopK(10))"]
        engine.threshold(0.0)  # free again once the run has returned

    def test_callback_dropping_the_last_reference_to_the_engine(self):
        holder = []

        def fn(pool):
            holder.clear()
            gc.collect()
            return plain_callback(pool)

        expected = reference_run()
        with refcounts_kept(fn):
            holder.append(callback_engine(fn))
            source = Counted(pool_items())
            assert fingerprint(holder[0].run(source)) == expected
            assert holder == []
        # The engine went with the run: fn is back at its count, so nothing holds it.

    def test_callback_in_a_cycle_with_its_engine_is_collected(self):
        def make():
            def fn(pool):
                return plain_callback(pool)

            engine = callback_engine(fn)
            fn.engine = engine  # engine -> fn -> engine
            return weakref.ref(fn), engine

        fn_ref, engine = make()
        engine.run(pool_items())
        del engine
        gc.collect()
        assert fn_ref() is None

    def test_exception_holding_the_pool_is_released_with_it(self):
        items = pool_items()

        def fn(pool):
            raise Boom(pool)

        with refcounts_kept(*items):
            assert failure(callback_engine(fn).run, items)[0] is Boom


# ---------------------------------------------------------------------------------------
# Texts

class TestTexts:
    def test_non_ascii_names_reach_the_audit_text_unescaped(self):
        engine = korvane.Engine()
        engine.scorer("점수")
        engine.scorer("ñ😀")
        engine.max_per_group("사이트", 1, id="사이트당-하나")
        engine.unary_min("점수", 0.2, id="문턱")
        engine.rejections("keep")
        outcome = engine.run([
            {"id": "문서-1", "scores": {"점수": 0.5, "ñ😀": 0.25}, "groups": {"사이트": "가"}},
            {"id": "문서-2", "scores": {"점수": 0.1}},
        ])
        (ranked,) = outcome.ranked
        text = ranked.to_json()
        assert '"candidate":"문서-1"' in text
        assert '"scores":{"점수":0.5,"ñ😀":0.25}' in text
        assert '"constraints":{"사이트당-하나":"pass"}' in text
        assert "\\u" not in text
        assert json.loads(text)["fusion"]["terms"][1]["scorer"] == "ñ😀"
        assert repr(ranked).startswith("Ranked(rank=1, id=문서-1, fused=")
        assert [(r.id, r.detail) for r in outcome.rejected] == [("문서-2", "문턱")]
        assert repr(outcome.rejected[0]) == "Rejected(id=문서-2, reason=unary_constraint)"
        assert [s["scorer"] for s in outcome.trace["scorers"]] == ["점수", "ñ😀"]

    def test_control_characters_are_escaped(self):
        engine = korvane.Engine()
        engine.scorer('a"\\\t\x00\x1f')
        outcome = engine.run([{"id": "x\ny\x7f", "scores": [0.5]}])
        text = outcome.ranked[0].to_json()
        assert text.startswith('{"candidate":"x\\ny\x7f","rank":1,')
        assert '"a\\"\\\\\\t\\u0000\\u001f"' in text
        assert json.loads(text)["candidate"] == "x\ny\x7f"
        assert outcome.ranked[0].id == "x\ny\x7f"

    def test_very_long_texts(self):
        axis = "축" * 100_000
        ident = "d" * 2_000_000
        group = "g" * 500_000
        engine = korvane.Engine()
        engine.scorer(axis)
        engine.max_per_group("g", 1, id=group)
        outcome = engine.run([{"id": ident, "scores": [0.5], "groups": {"g": group}},
                              {"id": 2, "scores": [0.25], "groups": {"g": group}}])
        (ranked,) = outcome.ranked
        assert ranked.id == ident
        assert list(ranked.scores) == [axis]
        assert ranked.constraints == [group]
        parsed = json.loads(ranked.to_json())
        assert parsed["candidate"] == ident
        assert list(parsed["constraints"]) == [group]
        assert repr(ranked) == f"Ranked(rank=1, id={ident}, fused=0.016393442)"
        assert outcome.rejected[0].detail == group

    def test_lone_surrogates_in_every_text_of_a_candidate(self):
        engine = reading_engine()
        for item in (with_entries(id="\udc80"), with_entries(groups={"g": "\ud800x"}),
                     with_entries(cover=["\udfff"])):
            source = Counted([good(0), item, good(1)])
            assert failure(engine.run, source)[0] is UnicodeEncodeError
            assert source.taken == 3
