"""Selection driven from Python: group maxima, the total maximum, requirements met by
exchange, the coverage objective and the token budget, with the selection properties."""

import pytest

import korvane
from conftest import f32
from run_helpers import counts, ids, raises_exactly, rejected


def exchange_failed(id_, n, available):
    return (f"요구 조건 '{id_}' 의 교체에 실패했다. 최소 {n} 개가 필요하고 풀에서 해당 조건에 "
            f"맞는 후보는 {available} 개다. 다른 제약과의 충돌도 확인해야 한다")


def valued_engine(top_k=None):
    """One unit axis under weighted_sum: each candidate's fused score is its value."""
    engine = korvane.Engine()
    engine.scorer("v")
    engine.fuse("weighted_sum")
    if top_k is not None:
        engine.budget_top_k(top_k)
    return engine


def item(id_, value, **extra):
    return {"id": id_, "scores": [value], **extra}


LANGS = [item(1, 0.9, groups={"lang": "en"}), item(2, 0.8, groups={"lang": "en"}),
         item(3, 0.7, groups={"lang": "de"}), item(4, 0.6, groups={"lang": "en"}),
         item(5, 0.5, groups={"lang": "ko"}), item(6, 0.4)]


class TestRequirements:
    def test_exchange_brings_the_fifth_into_rank_three(self):
        engine = valued_engine(top_k=3)
        engine.require_at_least("lang", "ko", 1)
        outcome = engine.run(LANGS)
        assert ids(outcome) == ["1", "2", "5"]
        assert [r.rank for r in outcome.ranked] == [1, 2, 3]
        assert outcome.selection["exact"] is False
        assert outcome.selection["guarantee"] is None
        assert rejected(outcome) == [("3", "outranked", None), ("4", "outranked", None),
                                     ("6", "outranked", None)]

    def test_requirement_already_met_changes_nothing(self):
        engine = valued_engine(top_k=3)
        engine.require_at_least("lang", "en", 2)
        outcome = engine.run(LANGS)
        assert ids(outcome) == ["1", "2", "3"]
        assert outcome.selection["exact"] is True

    def test_failed_exchange_is_an_engine_error(self):
        engine = valued_engine(top_k=5)
        engine.require_at_least("lang", "en", 4, id="english")
        raises_exactly(korvane.EngineError, exchange_failed("english", 4, 3), engine.run, LANGS)

    def test_failed_exchange_beats_an_intake_error(self):
        engine = valued_engine(top_k=3)
        engine.require_at_least("lang", "ko", 1)
        raises_exactly(korvane.EngineError, exchange_failed("lang", 1, 0), engine.run,
                       [item(1, 0.5), "not a dict", {"scores": [1]}])

    def test_conflict_with_a_group_maximum_reports_the_pool_count(self):
        engine = valued_engine(top_k=3)
        engine.max_per_group("lang", 1)
        engine.require_at_least("lang", "en", 2)
        raises_exactly(korvane.EngineError, exchange_failed("lang", 2, 3), engine.run, LANGS)

    def test_each_rule_has_its_own_key_position(self):
        # The same key "lang" for a maximum and a requirement: both read groups["lang"].
        engine = valued_engine(top_k=4)
        engine.max_per_group("lang", 2, id="two-per-lang")
        engine.require_at_least("lang", "ko", 1)
        outcome = engine.run(LANGS)
        assert ids(outcome) == ["1", "2", "3", "5"]
        assert outcome.ranked[0].constraints == ["two-per-lang"]
        assert ("4", "set_constraint", "two-per-lang") in rejected(outcome)

    def test_candidates_without_the_key_never_match(self):
        engine = valued_engine(top_k=2)
        engine.require_at_least("lang", "None", 1)
        raises_exactly(korvane.EngineError, exchange_failed("lang", 1, 0), engine.run,
                       [item(1, 0.5), item(2, 0.4, groups={"lang": None})])


class TestSetConstraints:
    def test_group_maximum_of_zero_selects_nothing(self):
        engine = valued_engine()
        engine.max_per_group("lang", 0, id="none")
        outcome = engine.run(LANGS)
        assert outcome.ranked == []
        assert counts(outcome) == {"set_constraint": 6}
        assert {detail for _, _, detail in rejected(outcome)} == {"none"}

    def test_total_maximum(self):
        engine = valued_engine(top_k=5)
        engine.max_total(2)
        outcome = engine.run(LANGS)
        assert ids(outcome) == ["1", "2"]
        assert outcome.selection["pool_exhausted"] is True
        assert {detail for _, _, detail in rejected(outcome)} == {"max_total"}

    def test_first_refusing_rule_is_named_and_total_comes_last(self):
        engine = valued_engine(top_k=5)
        engine.max_total(1, id="cap")
        engine.max_per_group("lang", 1, id="per-lang")
        outcome = engine.run(LANGS[:3])
        assert ids(outcome) == ["1"]
        assert rejected(outcome) == [("2", "set_constraint", "per-lang"),
                                     ("3", "set_constraint", "cap")]
        assert outcome.ranked[0].constraints == ["per-lang", "cap"]

    @pytest.mark.parametrize("rules, exact, guarantee", [
        (0, True, None), (1, True, None), (2, False, 0.5), (3, False, f32(1 / 3)),
    ])
    def test_exact_and_guarantee_by_number_of_rules(self, rules, exact, guarantee):
        engine = valued_engine(top_k=3)
        for i in range(rules):
            engine.max_per_group(f"k{i}", 5)
        selection = engine.run(LANGS).selection
        assert (selection["exact"], selection["guarantee"]) == (exact, guarantee)


class TestCoverage:
    def test_guarantee_and_picks(self):
        engine = valued_engine(top_k=3)
        engine.coverage_objective()
        outcome = engine.run([item("p", 0.5, cover=["a", "b"]), item("q", 0.5, cover=["b", "c"]),
                              item("r", 0.5, cover=["a", "b", "c"]), item("s", 0.6)])
        # r brings three items; then s's 0.6 beats p's and q's 0.5 plus nothing new.
        assert ids(outcome) == ["r", "s", "p"]
        assert outcome.selection["exact"] is False
        assert outcome.selection["guarantee"] == f32(0.63212055)

    @pytest.mark.parametrize("rules, guarantee", [(1, 0.5), (2, f32(1 / 3))])
    def test_guarantee_with_rules(self, rules, guarantee):
        engine = valued_engine(top_k=3)
        engine.coverage_objective()
        for i in range(rules):
            engine.max_per_group(f"k{i}", 5)
        assert engine.run(LANGS).selection["guarantee"] == guarantee


def costed(*pairs):
    return [item(i, value, cost=cost) for i, (cost, value) in enumerate(pairs)]


class TestTokens:
    def test_ratio_pass_wins_and_capacity(self):
        engine = valued_engine()
        engine.budget_tokens(3)
        engine.pool_multiplier(4)
        outcome = engine.run(costed((1, 0.9), (1, 0.8), (1, 0.7), (1, 0.6), (1, 0.5)))
        assert ids(outcome) == ["0", "1", "2"]
        assert outcome.trace["pool_capacity"] == 12
        assert outcome.selection["exact"] is False
        assert outcome.selection["guarantee"] == 0.5

    def test_heaviest_record_alone(self):
        engine = valued_engine()
        engine.budget_tokens(10)
        assert ids(engine.run(costed((6, 0.9), (5, 0.6), (5, 0.6)))) == ["0"]

    def test_value_pass_beats_ratio_pass(self):
        engine = valued_engine()
        engine.budget_tokens(10)
        assert ids(engine.run(costed((10, 1.0), (1, 0.2)))) == ["0"]

    def test_zero_limit_takes_only_free_records(self):
        # A limit of 0 plans a pool of one record: the best by admission score.
        engine = valued_engine()
        engine.budget_tokens(0)
        outcome = engine.run([item(0, 0.5, cost=None), item(1, 0.4, cost=1)])
        assert ids(outcome) == ["0"]
        assert outcome.trace["pool_capacity"] == 1
        outcome = engine.run([item(0, 0.5, cost=1), item(1, 0.4, cost=0)])
        assert ids(outcome) == []
        assert counts(outcome) == {"out_of_pool": 1, "outranked": 1}

    def test_everything_fits(self):
        engine = valued_engine()
        engine.budget_tokens(100)
        outcome = engine.run(costed((10, 0.3), (20, 0.2), (30, 0.1)))
        assert ids(outcome) == ["0", "1", "2"]
        assert outcome.selection["pool_exhausted"] is True

    def test_guarantee_with_objective_or_rule(self):
        engine = valued_engine()
        engine.budget_tokens(5)
        engine.coverage_objective()
        assert engine.run(costed((1, 0.5))).selection["guarantee"] == f32(0.31606027)
        engine.max_total(3)
        assert engine.run(costed((1, 0.5))).selection["guarantee"] is None

    def test_swap_that_breaks_the_limit_is_refused(self):
        engine = valued_engine()
        engine.budget_tokens(4)
        engine.require_at_least("lang", "ko", 1)
        outcome = engine.run([item(1, 0.9, cost=2, groups={"lang": "en"}),
                              item(2, 0.8, cost=2, groups={"lang": "en"}),
                              item(3, 0.1, cost=3, groups={"lang": "ko"}),
                              item(4, 0.05, cost=2, groups={"lang": "ko"})])
        assert ids(outcome) == ["1", "4"]
        assert outcome.selection["exact"] is False
