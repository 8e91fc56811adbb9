import collections
import collections.abc
import gc
import inspect
import sys
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import korvane
from conftest import assert_noted, assert_not_noted, f32

FRESH = "Engine(axes=0, fusion=rrf, budget=TopK(10))"

CHEAP_FN = ("fn 을 주는 축은 cost='expensive' 여야 한다. 싼 축은 후보 전부에 도므로 파이썬을 "
            "부르면 스트리밍의 뜻이 사라진다")
COST = "비용은 'cheap' 또는 'expensive' 여야 한다. 받은 값 '{}'"
MINMAX = "normalize='minmax' 는 normalize_range=(min, max) 를 함께 받아야 한다"
NORMALIZER = "정규화기는 'sigmoid', 'clamp01', 'minmax' 중 하나여야 한다. 받은 값 '{}'"
SCALE = "척도는 'unit', 'unbounded', 'rank' 중 하나여야 한다. 받은 값 '{}'"
WEIGHTS = "weights 는 {'축이름': 가중치} 사전이거나 [('축이름', 가중치)] 목록이어야 한다"
FUSION = "융합은 'rrf', 'weighted_sum', 'max' 중 하나여야 한다. 받은 값 '{}'"
IMPUTE = "missing='impute' 는 value 를 함께 받아야 한다"
MISSING = "결측 정책은 'skip', 'impute', 'reject' 중 하나여야 한다. 받은 값 '{}'"
SAMPLE = "rejections='sample' 은 n 을 함께 받아야 한다"
RETENTION = "보관 정책은 'keep', 'count', 'sample' 중 하나여야 한다. 받은 값 '{}'"
U32_RANGE = "out of range integral type conversion attempted"


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as excinfo:
        call(*args, **kwargs)
    assert str(excinfo.value) == message
    return excinfo


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class TextSubclass(str):
    pass


# Every configuration method with a valid call, for the checks common to all of them.
VALID_CALLS = [
    ("scorer", ("a",), {}),
    ("fuse", ("max",), {}),
    ("missing", ("skip",), {}),
    ("rejections", ("count",), {}),
    ("max_per_group", ("site", 2), {}),
    ("max_total", (5,), {}),
    ("require_at_least", ("lang", "ko", 1), {}),
    ("unary_min", ("a", 0.1), {}),
    ("coverage_objective", (), {}),
    ("budget_top_k", (3,), {}),
    ("budget_tail_mass", (0.05, 4), {}),
    ("budget_tokens", (100,), {}),
    ("admission", ("a",), {}),
    ("pool_multiplier", (8,), {}),
    ("threshold", (0.2,), {}),
    ("min_fit", (0.5,), {}),
]
METHOD_NAMES = [name for name, _, _ in VALID_CALLS]


class TestCommonRules:
    def test_fresh_repr(self, engine):
        assert repr(engine) == FRESH
        assert str(engine) == FRESH

    @pytest.mark.parametrize("name, args, kwargs", VALID_CALLS)
    def test_every_method_returns_none(self, engine, name, args, kwargs):
        assert getattr(engine, name)(*args, **kwargs) is None

    @pytest.mark.parametrize("name, args, kwargs", VALID_CALLS)
    def test_binding_errors_name_the_method(self, engine, name, args, kwargs):
        method = getattr(engine, name)
        with pytest.raises(TypeError) as excinfo:
            method(*args, "surplus", "args", "here", "and", "more", "still")
        assert f"Engine.{name}()" in str(excinfo.value)
        with pytest.raises(TypeError) as excinfo:
            method(*args, no_such_parameter=1)
        assert f"Engine.{name}()" in str(excinfo.value)
        if args:
            with pytest.raises(TypeError) as excinfo:
                method()
            assert f"Engine.{name}()" in str(excinfo.value)

    def test_binding_error_texts(self, engine):
        raises_exactly(TypeError, "Engine.scorer() missing required argument 'name' (pos 1)",
                       engine.scorer)
        raises_exactly(TypeError, "'bogus' is an invalid keyword argument for Engine.scorer()",
                       engine.scorer, "a", bogus=1)
        raises_exactly(TypeError, "Engine.scorer() takes at most 1 positional argument (2 given)",
                       engine.scorer, "a", "unit")
        raises_exactly(TypeError,
                       "argument for Engine.scorer() given by name ('name') and position (1)",
                       engine.scorer, "a", name="b")
        raises_exactly(TypeError, "Engine.coverage_objective() takes no arguments (1 given)",
                       engine.coverage_objective, 1)
        assert repr(engine) == FRESH

    def test_keyword_forms_of_positional_parameters(self, engine):
        engine.scorer(name="a", cost="expensive")
        engine.max_per_group(key="site", max=2, id="per-site")
        engine.require_at_least(key="lang", value="ko", n=1)
        engine.unary_min(axis="a", min=0.5)
        engine.budget_tail_mass(epsilon=0.1, fallback_k=7)
        engine.pool_multiplier(multiplier=4)
        engine.threshold(value=0.1)
        assert repr(engine) == (
            "Engine(axes=1, fusion=rrf, budget=TailMass { epsilon: 0.1, fallback_k: 7 })")

    @pytest.mark.parametrize("call", [
        lambda e: e.scorer("a", "unit"), lambda e: e.fuse("rrf", 1.0),
        lambda e: e.missing("impute", 1.0), lambda e: e.rejections("sample", 1),
        lambda e: e.max_total(1, "x"), lambda e: e.max_per_group("k", 1, "x"),
    ])
    def test_keyword_only_parameters_refuse_positions(self, engine, call):
        with pytest.raises(TypeError, match="positional argument"):
            call(engine)
        assert repr(engine) == FRESH


class TestConversions:
    def test_text_must_be_a_str(self, engine):
        excinfo = raises_exactly(TypeError, "'int' object cannot be converted to 'str'",
                                 engine.scorer, 1)
        assert_noted(excinfo, "name")
        excinfo = raises_exactly(TypeError, "'bytes' object cannot be converted to 'str'",
                                 engine.admission, b"a")
        assert_noted(excinfo, "axis")
        excinfo = raises_exactly(TypeError, "'NoneType' object cannot be converted to 'str'",
                                 engine.scorer, "a", scale=None)
        assert_noted(excinfo, "scale")
        engine.scorer(TextSubclass("a"), scale=TextSubclass("rank"))
        assert repr(engine).startswith("Engine(axes=1,")

    def test_text_that_cannot_be_encoded(self, engine):
        with pytest.raises(UnicodeEncodeError) as excinfo:
            engine.scorer("bad\ud800")
        assert_noted(excinfo, "name")

    def test_received_text_is_shown_whole(self, engine):
        raises_exactly(ValueError, SCALE.format("a\x00b 축"), engine.scorer, "a", scale="a\x00b 축")

    def test_float_conversion(self, engine):
        for good in [1, True, 0.5, Floaty(0.25), Index(3), 10**30]:
            engine.threshold(good)
        excinfo = raises_exactly(TypeError, "must be real number, not str", engine.threshold, "1")
        assert_noted(excinfo, "value")
        with pytest.raises(OverflowError) as excinfo:
            engine.min_fit(10**400)
        assert_noted(excinfo, "value")

    def test_float_conversion_error_from_dunder_keeps_its_type(self, engine):
        class Broken:
            def __float__(self):
                raise KeyError("inside")

        with pytest.raises(KeyError) as excinfo:
            engine.unary_min("a", Broken())
        assert_noted(excinfo, "min")

    def test_u64_conversion(self, engine):
        engine.max_total(2**64 - 1)
        engine.max_total(Index(7))
        engine.max_total(True)
        with pytest.raises(OverflowError) as excinfo:
            engine.max_total(2**64)
        assert_noted(excinfo, "max")
        with pytest.raises(OverflowError) as excinfo:
            engine.max_per_group("site", -1)
        assert_noted(excinfo, "max")
        excinfo = raises_exactly(TypeError, "'float' object cannot be interpreted as an integer",
                                 engine.require_at_least, "k", "v", 1.0)
        assert_noted(excinfo, "n")

    def test_u32_conversion(self, engine):
        engine.budget_top_k(2**32 - 1)
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=TopK(4294967295))"
        for value in [2**32, 2**64 - 1]:
            excinfo = raises_exactly(OverflowError, U32_RANGE, engine.budget_top_k, value)
            assert_noted(excinfo, "k")
        with pytest.raises(OverflowError) as excinfo:
            engine.budget_tokens(-1)
        assert str(excinfo.value) != U32_RANGE
        assert_noted(excinfo, "max")
        with pytest.raises(OverflowError) as excinfo:
            engine.budget_tokens(2**64)
        assert_noted(excinfo, "max")
        excinfo = raises_exactly(OverflowError, U32_RANGE, engine.pool_multiplier, Index(2**40))
        assert_noted(excinfo, "multiplier")
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=TopK(4294967295))"

    def test_conversions_run_in_signature_order(self, engine):
        with pytest.raises(TypeError) as excinfo:
            engine.budget_tail_mass("e", -1)
        assert_noted(excinfo, "epsilon")
        with pytest.raises(OverflowError) as excinfo:
            engine.budget_tail_mass(0.5, -1)
        assert_noted(excinfo, "fallback_k")
        with pytest.raises(TypeError) as excinfo:
            engine.scorer(5, cost=6)
        assert_noted(excinfo, "name")

    def test_note_is_left_out_when_it_cannot_be_added(self, engine):
        class Stubborn(Exception):
            def add_note(self, note):
                raise RuntimeError("no notes")

        class Raiser:
            def __index__(self):
                raise Stubborn("mine")

        with pytest.raises(Stubborn, match="^mine$") as excinfo:
            engine.budget_top_k(Raiser())
        assert_not_noted(excinfo)
        assert excinfo.value.__context__ is None
        assert repr(engine) == FRESH

    def test_note_joins_existing_notes(self, engine):
        class Raiser:
            def __float__(self):
                exc = ValueError("bad")
                exc.add_note("first")
                raise exc

        with pytest.raises(ValueError) as excinfo:
            engine.threshold(Raiser())
        assert excinfo.value.__notes__ == ["first", "while processing 'value'"]


class TestScorer:
    def test_cheap_axis_refuses_a_callback(self, engine):
        raises_exactly(ValueError, CHEAP_FN, engine.scorer, "a", fn=len)
        raises_exactly(ValueError, CHEAP_FN, engine.scorer, "a", cost="cheap", fn=object())
        assert repr(engine) == FRESH
        engine.scorer("a", cost="expensive", fn=len)
        engine.scorer("b", fn=None)
        assert repr(engine) == "Engine(axes=2, fusion=rrf, budget=TopK(10))"

    def test_fn_need_not_be_callable(self, engine):
        engine.scorer("a", cost="expensive", fn=42)
        assert repr(engine).startswith("Engine(axes=1,")

    def test_cost_is_checked_first(self, engine):
        raises_exactly(ValueError, COST.format("pricey"), engine.scorer, "a", cost="pricey",
                       scale="huge", normalize="zscore")
        raises_exactly(ValueError, COST.format("Cheap"), engine.scorer, "a", cost="Cheap")
        raises_exactly(ValueError, COST.format(""), engine.scorer, "a", cost="")

    def test_normalize_before_scale(self, engine):
        raises_exactly(ValueError, NORMALIZER.format("zscore"), engine.scorer, "a",
                       normalize="zscore", scale="huge")
        raises_exactly(ValueError, MINMAX, engine.scorer, "a", normalize="minmax", scale="huge")
        raises_exactly(ValueError, MINMAX, engine.scorer, "a", normalize="minmax",
                       normalize_range=None)
        raises_exactly(ValueError, SCALE.format("huge"), engine.scorer, "a", scale="huge")
        raises_exactly(ValueError, SCALE.format("Unit"), engine.scorer, "a", scale="Unit")
        assert repr(engine) == FRESH

    def test_accepted_forms(self, engine):
        engine.scorer("a", normalize="sigmoid", normalize_range=(5, 1))
        engine.scorer("b", normalize="clamp01")
        engine.scorer("c", normalize="minmax", normalize_range=(0, 10))
        engine.scorer("d", normalize="minmax", normalize_range=(5.0, 5.0))
        engine.scorer("e", scale="unbounded", cost="expensive")
        engine.scorer("f", scale="rank", normalize=None)
        engine.scorer("a")  # names are not compared here
        assert repr(engine) == "Engine(axes=7, fusion=rrf, budget=TopK(10))"

    def test_normalize_range_conversion(self, engine):
        class Pair(tuple):
            pass

        engine.scorer("a", normalize="minmax", normalize_range=Pair((Floaty(0.5), Index(2))))
        excinfo = raises_exactly(TypeError, "'list' object cannot be converted to 'tuple'",
                                 engine.scorer, "a", normalize_range=[0, 1])
        assert_noted(excinfo, "normalize_range")
        for bad, n in [((), 0), ((1,), 1), ((1, 2, 3), 3)]:
            excinfo = raises_exactly(
                ValueError, f"expected tuple of length 2, but got tuple of length {n}",
                engine.scorer, "a", normalize="minmax", normalize_range=bad)
            assert_noted(excinfo, "normalize_range")
        with pytest.raises(TypeError) as excinfo:
            engine.scorer("a", normalize="minmax", normalize_range=(0, "1"))
        assert_noted(excinfo, "normalize_range")
        assert repr(engine).startswith("Engine(axes=1,")

    def test_conversions_come_before_any_check(self, engine):
        # normalize_range is converted even where it would be ignored, and before cost.
        with pytest.raises(TypeError) as excinfo:
            engine.scorer("a", cost="pricey", normalize="sigmoid", normalize_range=[0, 1])
        assert_noted(excinfo, "normalize_range")
        with pytest.raises(TypeError) as excinfo:
            engine.scorer("a", cost="pricey", normalize=3)
        assert_noted(excinfo, "normalize")


class TestFuse:
    def test_methods(self, engine):
        engine.fuse("max")
        assert repr(engine) == "Engine(axes=0, fusion=max, budget=TopK(10))"
        engine.fuse("weighted_sum")
        assert repr(engine) == "Engine(axes=0, fusion=weighted_sum, budget=TopK(10))"
        engine.fuse("rrf", k=None)
        assert repr(engine) == FRESH
        engine.fuse("rrf", k=Floaty(1.5))
        raises_exactly(ValueError, FUSION.format("sum"), engine.fuse, "sum")
        raises_exactly(ValueError, FUSION.format("RRF"), engine.fuse, "RRF", weights=42)
        assert repr(engine) == FRESH

    def test_k_is_converted_before_the_method_is_looked_at(self, engine):
        for method in ["max", "rrf", "nope"]:
            with pytest.raises(TypeError) as excinfo:
                engine.fuse(method, k="60")
            assert_noted(excinfo, "k")
        with pytest.raises(TypeError) as excinfo:
            engine.fuse(None)
        assert_noted(excinfo, "method")

    def test_weights_are_only_read_for_weighted_sum(self, engine):
        class Exploding:
            def __len__(self):
                raise AssertionError("read")

            def __iter__(self):
                raise AssertionError("read")

        engine.fuse("max", weights=42)
        engine.fuse("rrf", weights=Exploding())
        engine.fuse("max", weights="not even a list")
        assert repr(engine) == "Engine(axes=0, fusion=max, budget=TopK(10))"

    @pytest.mark.parametrize("weights", [
        None, {}, [], (), {"a": 1, 1: 2.0, None: Floaty(0.5)}, [("a", 0.5), ("b", -1)],
        (("a", Index(2)),), [("a", 1.0), ("a", 2.0)],
    ])
    def test_accepted_weights(self, engine, weights):
        engine.fuse("max")
        engine.fuse("weighted_sum", weights=weights)
        assert repr(engine) == "Engine(axes=0, fusion=weighted_sum, budget=TopK(10))"

    def test_custom_sequence_of_pairs(self, engine):
        class Pairs(collections.abc.Sequence):
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                return ("a", 1.0)

        engine.fuse("weighted_sum", weights=Pairs())
        assert "weighted_sum" in repr(engine)

    @pytest.mark.parametrize("weights", [
        42, "", "ab", b"ab", {1, 2}, [("a",)], [("a", 1.0, 2.0)], [["a", 1.0]], [(1, 1.0)],
        [("a", "heavy")], [("a", None)], iter([("a", 1.0)]), (x for x in [("a", 1.0)]),
        [("a", 1.0), "b"], [("\ud800", 1.0)],
    ])
    def test_refused_weights(self, engine, weights):
        excinfo = raises_exactly(ValueError, WEIGHTS, engine.fuse, "weighted_sum",
                                 weights=weights)
        assert excinfo.value.__context__ is None
        assert_not_noted(excinfo)
        assert repr(engine) == FRESH

    def test_failing_sequence_access_gives_the_weights_error(self, engine):
        class BadLength(collections.abc.Sequence):
            def __len__(self):
                raise KeyError("len")

            def __getitem__(self, i):
                return ("a", 1.0)

        class BadItem(collections.abc.Sequence):
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise KeyError("item")

        for weights in [BadLength(), BadItem()]:
            excinfo = raises_exactly(ValueError, WEIGHTS, engine.fuse, "weighted_sum",
                                     weights=weights)
            assert excinfo.value.__context__ is None

    def test_dict_value_error_is_raised_without_a_note(self, engine):
        engine.fuse("max")
        with pytest.raises(TypeError) as excinfo:
            engine.fuse("weighted_sum", weights={"a": 1.0, "b": "x"})
        assert str(excinfo.value) == "must be real number, not str"
        assert_not_noted(excinfo)

        class BadKey:
            def __str__(self):
                raise LookupError("key text")

        with pytest.raises(LookupError) as excinfo:
            engine.fuse("weighted_sum", weights={BadKey(): 1.0})
        assert_not_noted(excinfo)
        assert repr(engine) == "Engine(axes=0, fusion=max, budget=TopK(10))"

    def test_dict_changed_while_it_is_read(self, engine):
        weights = {}

        class Grows:
            def __float__(self):
                for i in range(100):
                    weights[f"k{i}"] = 1.0
                return 1.0

        class Shrinks:
            def __str__(self):
                weights.clear()
                return "s"

        weights["a"] = Grows()
        weights[Shrinks()] = 2.0
        engine.fuse("weighted_sum", weights=weights)
        assert "weighted_sum" in repr(engine)

    def test_dict_subclass_read_in_its_iteration_order(self, engine):
        # The key 1 now comes last, so the first entry naming axis "1" is ("1", 3.0).
        weights = collections.OrderedDict([(1, 0.0), ("1", 3.0), ("b", 1.0)])
        weights.move_to_end(1)
        engine.scorer("1")
        engine.scorer("b")
        engine.fuse("weighted_sum", weights=weights)
        assert engine.run([{"id": 1, "scores": {"1": 1.0, "b": 0.0}}]).ranked[0].fused == 0.75

        class NotPairs(dict):
            def items(self):
                return [("a",)]

        raises_exactly(ValueError, WEIGHTS, engine.fuse, "weighted_sum", weights=NotPairs(a=1))

    # A dict subclass, the exact dict built from it and the list of its pairs weigh alike.
    @settings(max_examples=100, deadline=None)
    @given(st.lists(st.tuples(st.sampled_from([0, 1, "0", "1", "a"]),
                              st.sampled_from([0.0, 0.5, 1.0, 3.0])), max_size=6),
           st.lists(st.integers(0, 5), max_size=6))
    def test_weights_follow_the_iteration_order(self, entries, moves):
        weights = collections.OrderedDict(entries)
        for move in moves:
            if weights:
                weights.move_to_end(list(weights)[move % len(weights)])
        pairs = [(str(key), value) for key, value in weights.items()]

        def fused(given_weights):
            engine = korvane.Engine()
            for axis in ("0", "1", "a"):
                engine.scorer(axis)
            engine.fuse("weighted_sum", weights=given_weights)
            outcome = engine.run({"id": i, "scores": [i / 4, 1 - i / 4, 0.5]} for i in range(5))
            return [(r.id, r.fused) for r in outcome.ranked]

        assert fused(weights) == fused(dict(weights)) == fused(pairs)


class TestMissingAndRejections:
    def test_missing(self, engine):
        engine.missing("skip")
        engine.missing("reject", value=None)
        engine.missing("impute", value=0.0)
        engine.missing("impute", value=Index(1))
        raises_exactly(ValueError, IMPUTE, engine.missing, "impute")
        raises_exactly(ValueError, IMPUTE, engine.missing, "impute", value=None)
        raises_exactly(ValueError, MISSING.format("drop"), engine.missing, "drop")
        raises_exactly(ValueError, MISSING.format("drop"), engine.missing, "drop", value=1)

    def test_missing_converts_value_before_looking_at_policy(self, engine):
        for policy in ["skip", "impute", "drop"]:
            with pytest.raises(TypeError) as excinfo:
                engine.missing(policy, value="x")
            assert_noted(excinfo, "value")
        with pytest.raises(TypeError) as excinfo:
            engine.missing(1, value="x")
        assert_noted(excinfo, "policy")

    def test_rejections(self, engine):
        engine.rejections("keep")
        engine.rejections("count", n=None)
        engine.rejections("sample", n=0)
        engine.rejections("sample", n=2**64 - 1)
        engine.rejections("keep", n=5)
        raises_exactly(ValueError, SAMPLE, engine.rejections, "sample")
        raises_exactly(ValueError, SAMPLE, engine.rejections, "sample", n=None)
        raises_exactly(ValueError, RETENTION.format("all"), engine.rejections, "all")
        with pytest.raises(OverflowError) as excinfo:
            engine.rejections("sample", n=-1)
        assert_noted(excinfo, "n")
        with pytest.raises(TypeError) as excinfo:
            engine.rejections("bogus", n=1.5)
        assert_noted(excinfo, "n")


class TestConstraintsAndBudgets:
    def test_constraints_take_any_names(self, engine):
        engine.max_per_group("site", 0)
        engine.max_per_group("site", 3, id=None)
        engine.max_per_group("site", 3, id="per-site")
        engine.max_total(5)
        engine.max_total(3, id="cap")
        engine.require_at_least("lang", "ko", 0, id="korean")
        engine.unary_min("not registered", float("nan"))
        engine.unary_min("a", -1e300, id=None)
        engine.coverage_objective()
        engine.coverage_objective()
        engine.admission("nowhere")
        assert repr(engine) == FRESH

    def test_id_conversion(self, engine):
        for call in [lambda: engine.max_per_group("k", 1, id=3),
                     lambda: engine.max_total(1, id=3),
                     lambda: engine.require_at_least("k", "v", 1, id=3),
                     lambda: engine.unary_min("a", 1, id=3)]:
            with pytest.raises(TypeError) as excinfo:
                call()
            assert_noted(excinfo, "id")

    def test_budgets(self, engine):
        engine.budget_top_k(0)
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=TopK(0))"
        engine.budget_tokens(2**32 - 1)
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=Tokens(4294967295))"
        engine.budget_tail_mass(1.0, 0)
        assert repr(engine) == (
            "Engine(axes=0, fusion=rrf, budget=TailMass { epsilon: 1.0, fallback_k: 0 })")
        engine.budget_top_k(Index(3))
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=TopK(3))"

    @pytest.mark.parametrize("epsilon, text", [
        (1e-5, "1e-5"), (1e16, "1e16"), (0.1, "0.1"), (1.0, "1.0"), (0, "0.0"),
        (-0.0, "-0.0"), (0.0001, "0.0001"), (1.5e-7, "1.5e-7"), (123456.0, "123456.0"),
        (0.05, "0.05"), (2.5, "2.5"), (1e15, "1000000000000000.0"), (float("inf"), "inf"),
        (float("-inf"), "-inf"), (float("nan"), "NaN"), (1e300, "inf"), (1e-50, "0.0"),
        (0.3, "0.3"), (16777217, "16777216.0"),
    ])
    def test_tail_mass_epsilon_text(self, engine, epsilon, text):
        engine.budget_tail_mass(epsilon, 12)
        assert repr(engine) == (
            f"Engine(axes=0, fusion=rrf, budget=TailMass {{ epsilon: {text}, fallback_k: 12 }})")

    def test_failed_calls_store_nothing(self, engine):
        engine.scorer("a")
        engine.fuse("max")
        engine.budget_tail_mass(0.25, 3)
        before = repr(engine)
        with pytest.raises(OverflowError):
            engine.budget_tail_mass(0.5, 2**32)
        with pytest.raises(TypeError):
            engine.budget_top_k("3")
        with pytest.raises(ValueError):
            engine.fuse("weighted_sum", weights=[("a",)])
        with pytest.raises(ValueError):
            engine.scorer("b", cost="expensive", normalize="minmax")
        assert repr(engine) == before


class TestAccessState:
    def test_configuration_inside_a_conversion_is_refused(self, engine):
        seen = []

        class Reentrant:
            def __float__(self):
                for call in [lambda: engine.min_fit(0.5), lambda: engine.scorer("x"),
                             engine.coverage_objective]:
                    with pytest.raises(RuntimeError) as excinfo:
                        call()
                    seen.append(str(excinfo.value))
                return 0.5

        assert engine.threshold(Reentrant()) is None
        assert seen == ["Already borrowed"] * 3
        assert repr(engine) == FRESH
        engine.scorer("x")
        assert repr(engine) == "Engine(axes=1, fusion=rrf, budget=TopK(10))"

    def test_repr_inside_a_conversion_is_refused(self, engine):
        seen = []

        class Peeking:
            def __index__(self):
                with pytest.raises(RuntimeError) as excinfo:
                    repr(engine)
                seen.append(str(excinfo.value))
                return 4

        engine.budget_top_k(Peeking())
        assert seen == ["Already mutably borrowed"]
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=TopK(4))"

    def test_refusal_escaping_the_conversion_is_noted(self, engine):
        class Reentrant:
            def __float__(self):
                engine.min_fit(0.5)
                return 0.5

        excinfo = raises_exactly(RuntimeError, "Already borrowed", engine.threshold, Reentrant())
        assert_noted(excinfo, "value")
        engine.threshold(0.5)  # access was given back

    def test_another_engine_is_independent(self, engine):
        other = korvane.Engine()

        class Elsewhere:
            def __index__(self):
                other.budget_top_k(9)
                assert repr(other) == "Engine(axes=0, fusion=rrf, budget=TopK(9))"
                return 1

        engine.budget_top_k(Elsewhere())
        assert repr(engine) == "Engine(axes=0, fusion=rrf, budget=TopK(1))"

    def test_access_is_released_on_every_failure(self, engine):
        failures = [lambda: engine.scorer("a", cost="x"),
                    lambda: engine.fuse("weighted_sum", weights=1),
                    lambda: engine.budget_top_k(-1),
                    lambda: engine.missing("impute")]
        for failure in failures:
            with pytest.raises((ValueError, OverflowError)):
                failure()
            engine.threshold(0.0)
            assert repr(engine) == FRESH


class TestCallbackReferences:
    def test_engine_releases_its_callbacks(self):
        def fn(pool):
            return [0.0] * len(pool)

        base = sys.getrefcount(fn)
        engine = korvane.Engine()
        engine.scorer("a", cost="expensive", fn=fn)
        engine.scorer("b", cost="expensive", fn=fn)
        assert sys.getrefcount(fn) == base + 2
        del engine
        assert sys.getrefcount(fn) == base

    def test_refused_scorer_keeps_no_reference(self, engine):
        fn = object()
        base = sys.getrefcount(fn)
        with pytest.raises(ValueError):
            engine.scorer("a", fn=fn)
        with pytest.raises(ValueError):
            engine.scorer("a", cost="expensive", scale="huge", fn=fn)
        with pytest.raises(TypeError):
            engine.scorer("a", cost="expensive", normalize_range=[1, 2], fn=fn)
        assert sys.getrefcount(fn) == base

    def test_cycle_through_a_callback_is_collected(self):
        class Callback:
            def __call__(self, pool):
                return [1.0] * len(pool)

        callback = Callback()
        engine = korvane.Engine()
        callback.engine = engine
        engine.scorer("a", cost="expensive", fn=callback)
        alive = weakref.ref(callback)
        del engine, callback
        gc.collect()
        assert alive() is None


# Arbitrary call sequences: whatever is passed, a call either stores and returns None or
# raises one of the argument errors, and the repr always agrees with what was stored.


class Raising:
    def __float__(self):
        raise KeyError("float")

    def __index__(self):
        raise KeyError("index")

    def __str__(self):
        raise KeyError("str")


TEXTS = ["unit", "unbounded", "rank", "cheap", "expensive", "sigmoid", "clamp01", "minmax",
         "rrf", "weighted_sum", "max", "skip", "impute", "reject", "keep", "count", "sample",
         "", "a", "축", "\x00", "bad\ud800", TextSubclass("rank")]
values = st.one_of(
    st.sampled_from(TEXTS),
    st.text(max_size=4),
    st.integers(min_value=-2, max_value=3),
    st.sampled_from([2**32 - 1, 2**32, 2**64 - 1, 2**64, -(2**70), 10**400]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([None, True, b"x", [0, 1], (0, 1), (0, 1, 2), ("a", 1.0), {"a": 1.0},
                     [("a", 1.0)], {"a": "x"}, len, Index(5), Floaty(0.5), Raising()]),
)
TEXT = st.one_of(st.sampled_from(["a", "b", "축"]), st.text(max_size=3))
FLOAT = st.one_of(st.floats(), st.integers(-5, 5))
U64 = st.integers(0, 2**64 - 1)
U32 = st.integers(0, 2**32 - 1)
GOOD = {
    "name": TEXT, "key": TEXT, "value_text": TEXT, "axis": TEXT, "id": TEXT,
    "scale": st.sampled_from(["unit", "unbounded", "rank"]),
    "cost": st.sampled_from(["cheap", "expensive"]),
    "normalize": st.sampled_from([None, "sigmoid", "clamp01", "minmax"]),
    "normalize_range": st.one_of(st.none(), st.tuples(FLOAT, FLOAT)),
    "fn": st.sampled_from([None, len]),
    "method": st.sampled_from(["rrf", "weighted_sum", "max"]),
    "k_float": st.one_of(st.none(), FLOAT),
    "weights": st.one_of(st.none(), st.dictionaries(TEXT, FLOAT, max_size=2),
                         st.lists(st.tuples(TEXT, FLOAT), max_size=2)),
    "missing_policy": st.sampled_from(["skip", "impute", "reject"]),
    "value": st.one_of(st.none(), FLOAT), "min": FLOAT, "epsilon": FLOAT,
    "retention": st.sampled_from(["keep", "count", "sample"]),
    "n_opt": st.one_of(st.none(), U64), "max": U64, "n": U64,
    "k": U32, "fallback_k": U32, "max32": U32, "multiplier": U32,
}
# Per method: (parameter, strategy key) for the positional and the keyword-only parameters.
SIGNATURES = {
    "scorer": ([("name", "name")], [("scale", "scale"), ("cost", "cost"),
                                    ("normalize", "normalize"),
                                    ("normalize_range", "normalize_range"), ("fn", "fn")]),
    "fuse": ([("method", "method")], [("k", "k_float"), ("weights", "weights")]),
    "missing": ([("policy", "missing_policy")], [("value", "value")]),
    "rejections": ([("policy", "retention")], [("n", "n_opt")]),
    "max_per_group": ([("key", "key"), ("max", "max")], [("id", "id")]),
    "max_total": ([("max", "max")], [("id", "id")]),
    "require_at_least": ([("key", "key"), ("value", "value_text"), ("n", "n")], [("id", "id")]),
    "unary_min": ([("axis", "axis"), ("min", "min")], [("id", "id")]),
    "coverage_objective": ([], []),
    "budget_top_k": ([("k", "k")], []),
    "budget_tail_mass": ([("epsilon", "epsilon"), ("fallback_k", "fallback_k")], []),
    "budget_tokens": ([("max", "max32")], []),
    "admission": ([("axis", "axis")], []),
    "pool_multiplier": ([("multiplier", "multiplier")], []),
    "threshold": ([("value", "min")], []),
    "min_fit": ([("value", "min")], []),
}


@st.composite
def call(draw):
    name = draw(st.sampled_from(METHOD_NAMES))
    positional, keyword_only = SIGNATURES[name]

    def pick(key):
        return draw(values) if draw(st.integers(0, 7)) == 0 else draw(GOOD[key])

    args, kwargs = [], {}
    by_position = draw(st.integers(0, len(positional)))
    for i, (parameter, key) in enumerate(positional):
        if i < by_position:
            args.append(pick(key))
        else:
            kwargs[parameter] = pick(key)
    for parameter, key in keyword_only:
        if draw(st.booleans()):
            kwargs[parameter] = pick(key)
    mistake = draw(st.sampled_from([None] * 8 + ["drop", "extra", "bogus"]))
    if mistake == "drop" and args:
        args.pop()
    elif mistake == "extra":
        args.append(draw(values))
    elif mistake == "bogus":
        kwargs["bogus"] = 1
    return name, (args, kwargs)


calls = st.lists(call(), max_size=12)

ALLOWED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, KeyError)


def parse_repr(text):
    assert text.startswith("Engine(axes=") and text.endswith(")")
    axes, rest = text[len("Engine(axes="):].split(", fusion=", 1)
    fusion, budget = rest.split(", budget=", 1)
    return int(axes), fusion, budget[:-1]


def bound(method, args, kwargs):
    """The arguments by parameter name, as the method's signature binds them."""
    return inspect.signature(method).bind(*args, **kwargs).arguments


class TestArbitraryCalls:
    @settings(max_examples=300, deadline=None)
    @given(calls)
    def test_calls_never_break_the_engine(self, sequence):
        engine = korvane.Engine()
        axes, fusion, budget = 0, "rrf", ("TopK", 10)
        for name, (args, kwargs) in sequence:
            method = getattr(engine, name)
            try:
                result = method(*args, **kwargs)
            except ALLOWED:
                pass
            else:
                assert result is None
                given_args = bound(method, args, kwargs)
                if name == "scorer":
                    axes += 1
                elif name == "fuse":
                    fusion = str(given_args["method"])
                elif name == "budget_top_k":
                    budget = ("TopK", int(given_args["k"]))
                elif name == "budget_tokens":
                    budget = ("Tokens", int(given_args["max"]))
                elif name == "budget_tail_mass":
                    budget = ("TailMass", f32(float(given_args["epsilon"])),
                              int(given_args["fallback_k"]))
            shown = parse_repr(repr(engine))
            assert shown[:2] == (axes, fusion)
            if budget[0] == "TailMass":
                prefix = "TailMass { epsilon: "
                assert shown[2].startswith(prefix)
                epsilon_text, fallback = shown[2][len(prefix):-2].split(", fallback_k: ")
                epsilon = float(epsilon_text)
                assert f32(epsilon) == budget[1] or (epsilon != epsilon and
                                                     budget[1] != budget[1])
                assert int(fallback) == budget[2]
            else:
                assert shown[2] == f"{budget[0]}({budget[1]})"


class TestNoLeaks:
    def test_repeated_calls_keep_no_objects(self):
        def battery():
            engine = korvane.Engine()
            calls = [
                lambda: engine.scorer("a", cost="expensive", fn=len, normalize="minmax",
                                      normalize_range=(0, 1)),
                lambda: engine.scorer("a", fn=len),
                lambda: engine.scorer("a\ud800"),
                lambda: engine.scorer("a", normalize_range=(1, "x")),
                lambda: engine.fuse("weighted_sum", weights={"a": 1, 2: 3.0}),
                lambda: engine.fuse("weighted_sum", weights={"a": "x"}),
                lambda: engine.fuse("weighted_sum", weights=[("a", 1.0), ("b",)]),
                lambda: engine.fuse("nope"),
                lambda: engine.rejections("sample", n=-1),
                lambda: engine.budget_top_k(2**40),
                lambda: engine.budget_tail_mass(1e-5, 3),
                lambda: engine.threshold(Raising()),
                lambda: engine.scorer(bogus=1),
                lambda: repr(engine),
            ]
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError, OverflowError, KeyError):
                    pass

        for _ in range(100):
            battery()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(2000):
            battery()
        gc.collect()
        # A leak of one object per call would show as tens of thousands of blocks.
        assert sys.getallocatedblocks() - before < 1000
