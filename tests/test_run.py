"""Engine.run end to end: binding, access, configuration errors, precedence of failures,
and the shape of a successful run."""

import json
import math

import pytest

import korvane
from conftest import assert_noted, f32
from run_helpers import Pulled, counts, engine_with, ids, raises_exactly, rejected

NO_AXES = "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다"


def unknown_axis(name):
    return f"등록되지 않은 축 '{name}'"


class TestBinding:
    def test_argument_binding(self):
        engine = engine_with("a")
        assert ids(engine.run(candidates=[{"id": 1}])) == ["1"]
        for call in [lambda: engine.run(), lambda: engine.run([], []),
                     lambda: engine.run([], extra=1), lambda: engine.run([], candidates=[])]:
            with pytest.raises(TypeError) as excinfo:
                call()
            assert "Engine.run()" in str(excinfo.value)

    def test_not_iterable(self):
        raises_exactly(TypeError, "'int' object is not iterable", engine_with("a").run, 5)

    def test_iter_error_is_raised_unchanged(self):
        class Refusing:
            def __iter__(self):
                raise PermissionError("closed")

        with pytest.raises(PermissionError, match="closed"):
            engine_with("a").run(Refusing())


class TestConfigurationErrors:
    """Every configuration failure is raised before anything is taken from the input."""

    def test_no_axis(self):
        items = Pulled([{"id": 1}])
        raises_exactly(ValueError, NO_AXES, korvane.Engine().run, items)
        assert not items.started

    def test_no_axis_comes_before_everything_else(self):
        engine = korvane.Engine()
        engine.unary_min("b", 0.1)
        engine.pool_multiplier(0)
        raises_exactly(ValueError, NO_AXES, engine.run, 5)

    def test_unary_minimum_on_an_unregistered_axis(self):
        engine = engine_with("a")
        engine.unary_min("a", 0.0)
        engine.unary_min("b", 0.1)
        engine.unary_min("c", 0.1)
        items = Pulled([{"id": 1}])
        raises_exactly(ValueError, unknown_axis("b"), engine.run, items)
        assert not items.started

    def test_unary_axis_names_are_exact(self):
        for name in ["A", "a ", "\u0061\u0301"]:
            engine = engine_with("a", "á")
            engine.unary_min(name, 0.1)
            raises_exactly(ValueError, unknown_axis(name), engine.run, [])

    def test_unknown_unary_axis_comes_before_validation(self):
        engine = engine_with("a", "a")
        engine.unary_min("b", 0.1)
        raises_exactly(ValueError, unknown_axis("b"), engine.run, [])

    @pytest.mark.parametrize("configure, message", [
        (lambda e: (e.scorer("a"), e.scorer("a", scale="rank"), e.fuse("max")),
         "채점기 식별자 'a' 가 중복 등록됐다"),
        (lambda e: (e.scorer("x", scale="rank"), e.fuse("max")),
         "채점기 'x' 의 척도 Rank 는 융합 방식 max 과 함께 쓸 수 없다. 정규화기를 끼우거나"
         "(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다"),
        (lambda e: (e.scorer("x", scale="unbounded"), e.fuse("weighted_sum")),
         "채점기 'x' 의 척도 Unbounded 는 융합 방식 weighted_sum 과 함께 쓸 수 없다. 정규화기를 "
         "끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다"),
        (lambda e: (e.scorer("a"), e.fuse("weighted_sum", weights={"a": 1, "y": 0})),
         "가중치가 가리키는 채점기 'y' 가 등록돼 있지 않다"),
        (lambda e: (e.scorer("a"), e.admission("b")), "승인 채점기 'b' 가 등록돼 있지 않다"),
        (lambda e: (e.scorer("a", cost="expensive"), e.admission("a")),
         "승인 채점기 'a' 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 싼 축이어야 한다"),
        (lambda e: e.scorer("a", cost="expensive", fn=len),
         "순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. 싼 채점기를 하나 이상 "
         "등록하거나 Engine::admission 으로 승인 채점기를 지정해야 한다"),
        (lambda e: (e.scorer("a"), e.budget_top_k(0)), "예산 설정이 올바르지 않다: TopK 는 1 이상이어야 한다"),
        (lambda e: (e.scorer("a"), e.budget_tail_mass(1.0, 5)),
         "예산 설정이 올바르지 않다: epsilon 은 0 이상 1 미만이어야 한다"),
        (lambda e: (e.scorer("a"), e.budget_tail_mass(float("nan"), 5)),
         "예산 설정이 올바르지 않다: epsilon 은 0 이상 1 미만이어야 한다"),
        (lambda e: (e.scorer("a"), e.budget_top_k(0), e.pool_multiplier(0)),
         "풀 배수는 1 이상이어야 한다"),
    ])
    def test_validation(self, configure, message):
        engine = korvane.Engine()
        configure(engine)
        items = Pulled([{"id": 1}])
        raises_exactly(ValueError, message, engine.run, items)
        assert not items.started

    def test_accepted_edge_configurations(self):
        engine = engine_with("a")
        engine.budget_tail_mass(0.0, 0)
        engine.budget_tokens(0)  # Tokens always gets the cost reader
        assert engine.run([]).trace["pool_capacity"] == 1
        engine = korvane.Engine()
        engine.scorer("a", scale="unbounded")
        engine.scorer("b", scale="rank")
        assert ids(engine.run([{"id": 1}])) == ["1"]


class TestAccess:
    def test_run_while_a_configuration_method_converts(self):
        engine = engine_with("a")
        seen = []

        class Sneaky:
            def __float__(self):
                with pytest.raises(RuntimeError) as excinfo:
                    engine.run([{"id": 1}])
                seen.append(str(excinfo.value))
                return 0.5

        engine.threshold(Sneaky())
        assert seen == ["Already mutably borrowed"]

    def test_refusal_escaping_a_conversion(self):
        engine = engine_with("a")

        class Sneaky:
            def __float__(self):
                engine.run([])
                return 0.5

        excinfo = raises_exactly(RuntimeError, "Already mutably borrowed", engine.threshold,
                                 Sneaky())
        assert_noted(excinfo, "value")

    def test_configuration_from_the_generator_is_refused(self):
        engine = engine_with("a")
        seen = []

        def stream():
            try:
                engine.scorer("b")
            except RuntimeError as error:
                seen.append(str(error))
            seen.append(repr(engine))
            seen.append(ids(engine.run([{"id": "nested"}])))
            yield {"id": 1}

        assert ids(engine.run(stream())) == ["1"]
        assert seen == ["Already borrowed", "Engine(axes=1, fusion=rrf, budget=TopK(10))",
                        ["nested"]]

    @pytest.mark.parametrize("failing_input", [
        5, [1], [{"id": 1, "scores": "x"}], iter([{"id": 1}, None]),
    ])
    def test_access_is_released_after_any_failure(self, failing_input):
        engine = engine_with("a")
        with pytest.raises((TypeError, ValueError)):
            engine.run(failing_input)
        engine.threshold(0.1)
        engine.unary_min("zz", 0.1)
        with pytest.raises(ValueError):
            engine.run([])
        engine.min_fit(0.5)


class TestPrecedence:
    def test_pipeline_error_beats_intake_and_callback_errors(self):
        engine = engine_with("a")
        engine.scorer("x", cost="expensive", fn=lambda pool: 1 / 0)
        engine.scorer("y", cost="expensive", fn=lambda pool: [0.0])
        raises_exactly(korvane.EngineError, "채점기 'y' 의 배치 결과 길이가 1 인데 후보는 2 개다",
                       engine.run, [{"id": 1}, "bad", {"id": 2}])

    def test_third_of_five_not_a_dict(self):
        items = Pulled([{"id": 1}, {"id": 2}, [3], {"id": 4}, {"id": 5}])
        raises_exactly(ValueError, "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다",
                       engine_with("a").run, items)
        assert items.pulled == 5


class TestOutcome:
    def test_default_engine_keeps_the_best_320(self):
        engine = engine_with("a")
        # Scores in a scrambled order, with ties settled by the smaller id.
        items = [{"id": i, "scores": [float((i * 7919) % 500)]} for i in range(1000)]
        outcome = engine.run(items)
        expected = sorted(items, key=lambda c: (-c["scores"][0], c["id"]))
        assert ids(outcome) == [str(c["id"]) for c in expected[:10]]
        assert outcome.selection["pool_size"] == 320
        assert outcome.trace["pool_capacity"] == 320
        assert outcome.trace["admission_scorer"] == "a"
        assert counts(outcome) == {"out_of_pool": 680, "outranked": 310}
        assert outcome.is_complete()

    def test_ranked_entry_and_audit_json(self):
        engine = korvane.Engine()
        engine.scorer("bm25")
        engine.scorer("fresh")
        engine.fuse("weighted_sum")
        engine.max_per_group("site", 2, id="per_site")
        outcome = engine.run([{"id": "doc-7", "scores": {"bm25": 0.8}}])
        (entry,) = outcome.ranked
        assert entry.to_json() == (
            '{"candidate":"doc-7","rank":1,"fused":0.8,"scores":{"bm25":0.8,"fresh":null},'
            '"missing_policy":"skip","fusion":{"method":"weighted_sum","terms":[{"scorer":"bm25",'
            '"input":{"kind":"value","value":0.8},"weight":1.0,"contribution":0.8},{"scorer":'
            '"fresh","input":{"kind":"skipped"},"weight":0.0,"contribution":0.0}]},'
            '"constraints":{"per_site":"pass"}}')
        assert json.loads(entry.to_json())["rank"] == 1
        assert entry.constraints == ["per_site"]
        assert entry.fused == f32(0.8)

    def test_settings_are_read_again_at_every_run(self):
        engine = engine_with("a")
        items = [{"id": i, "scores": [i / 10]} for i in range(6)]
        assert ids(engine.run(items)) == ["5", "4", "3", "2", "1", "0"]
        engine.budget_top_k(2)
        engine.threshold(0.45)
        engine.fuse("max")
        outcome = engine.run(items)
        assert ids(outcome) == ["5"]
        assert counts(outcome) == {"below_threshold": 5}
        engine.threshold(-math.inf)
        assert ids(engine.run(items)) == ["5", "4"]

    def test_same_inputs_give_equal_outcomes(self):
        def build():
            engine = korvane.Engine()
            engine.scorer("a")
            engine.scorer("b", scale="unbounded")
            engine.scorer("r", cost="expensive", fn=lambda pool: [len(c["t"]) for c in pool])
            engine.max_per_group("g", 2)
            engine.budget_top_k(5)
            engine.pool_multiplier(2)
            engine.rejections("sample", n=7)
            return engine

        items = [{"id": i if i % 3 else f"t{i}", "scores": [(i * 37) % 11 / 10, i % 4],
                  "groups": {"g": i % 3}, "t": "x" * (i % 5)} for i in range(40)]

        def summary(outcome):
            return ([(r.id, r.rank, r.fused, r.scores, r.fusion, r.to_json())
                     for r in outcome.ranked],
                    [(r.id, r.reason, r.detail, r.fused) for r in outcome.rejected],
                    outcome.rejected_counts, outcome.selection,
                    [{k: v for k, v in s.items() if k != "elapsed_nanos"}
                     for s in outcome.trace["scorers"]])

        engine = build()
        first = summary(engine.run(items))
        assert summary(engine.run(iter(items))) == first
        assert summary(build().run(items)) == first

    def test_empty_input(self):
        outcome = engine_with("a").run(iter(()))
        assert outcome.ranked == [] and outcome.rejected == []
        assert set(outcome.rejected_counts.values()) == {0}
        assert outcome.trace["input_count"] == 0
        assert outcome.selection["pool_size"] == 0
        assert outcome.is_complete()

    def test_missing_policies(self):
        items = [{"id": 1, "scores": [0.5, None]}, {"id": 2, "scores": [None, 0.5]},
                 {"id": 3, "scores": [0.4, 0.4]}]
        engine = engine_with("a", "b", method="weighted_sum")
        engine.missing("reject")
        outcome = engine.run(items)
        assert ids(outcome) == ["3"]
        assert rejected(outcome) == [("1", "not_scored", "b"), ("2", "not_scored", "a")]
        engine.missing("impute", value=0.0)
        outcome = engine.run(items)
        assert ids(outcome) == ["3", "1", "2"]
        assert outcome.ranked[1].fusion["terms"][1]["input"] == "imputed"

    def test_unary_minimum_ignores_the_missing_policy(self):
        engine = engine_with("a")
        engine.unary_min("a", 0.5, id="floor")
        engine.missing("impute", value=1.0)
        engine.scorer("n", normalize="sigmoid")
        outcome = engine.run([{"id": 1, "scores": [0.5, -50]}, {"id": 2, "scores": [0.4]},
                              {"id": 3}, {"id": 4, "scores": [float("nan")]}])
        assert ids(outcome) == ["1"]
        assert rejected(outcome) == [("2", "unary_constraint", "floor"),
                                     ("3", "unary_constraint", "floor"),
                                     ("4", "unary_constraint", "floor")]
        # The sigmoid axis is normalized after the test, which reads the carried value.
        assert outcome.trace["scorers"][0]["calls"] == 1

    def test_retention_policies_keep_exact_counts(self):
        items = [{"id": i, "scores": [i]} for i in range(1000)]
        engine = engine_with("a", top_k=10)
        engine.pool_multiplier(1)
        engine.rejections("count")
        outcome = engine.run(items)
        assert outcome.rejected == [] and counts(outcome) == {"out_of_pool": 990}
        engine.rejections("sample", n=3)
        outcome = engine.run(items)
        assert [r.id for r in outcome.rejected] == ["0", "1", "2"]
        assert counts(outcome) == {"out_of_pool": 990}
        engine.rejections("keep")
        assert len(engine.run(items).rejected) == 990

    def test_tail_mass_budget_evidence(self):
        engine = engine_with("a", method="weighted_sum")
        engine.budget_tail_mass(0.1, 3)
        outcome = engine.run([{"id": i, "scores": [1 / (i + 1)]} for i in range(50)])
        budget = outcome.trace["budget"]
        assert list(budget) == ["s", "fit_quality", "fallback", "reason", "derived_k"]
        assert len(outcome.ranked) == budget["derived_k"]
        assert engine_with("a").run([]).trace["budget"] is None

    def test_trace_of_cheap_and_expensive_axes(self):
        engine = engine_with("a")
        engine.scorer("e", cost="expensive")
        engine.scorer("cb", cost="expensive", fn=lambda pool: [None] * len(pool))
        engine.unary_min("a", 0.0)
        outcome = engine.run([{"id": 1, "scores": [0.5, 1.0]}, {"id": 2, "scores": [None]},
                              {"id": 3, "scores": [0.1]}])
        stats = [(s["scorer"], s["calls"], s["missing"], s["cost"])
                 for s in outcome.trace["scorers"]]
        assert stats == [("a", 2, 0, "cheap"), ("e", 2, 1, "expensive"),
                         ("cb", 2, 2, "expensive")]
