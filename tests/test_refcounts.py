"""Reference counts around Engine.run: whatever way a run ends, every object it was given
is back at its count, except the candidates the returned Outcome carries, which it
releases when it goes."""

import gc
import sys

import pytest
from hypothesis import given, settings, strategies as st

import korvane


def counts_of(objects):
    return [sys.getrefcount(o) for o in objects]


def items(n):
    return [{"id": i, "scores": [((i * 37) % n) / n], "groups": {"g": i % 4},
             "cover": [str(i % 5)], "cost": i % 3} for i in range(n)]


def base_engine(**options):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.budget_top_k(options.get("k", 3))
    engine.pool_multiplier(2)
    return engine


def held_by(outcome):
    return {id(r.candidate) for r in outcome.ranked} | {id(r.candidate) for r in outcome.rejected}


def failure_of(call):
    """Runs `call`, which must raise, and lets go of the exception (and so of the traceback
    and the frames it holds) before returning its type."""
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the type is what the test checks
        kind = type(error)
    else:
        raise AssertionError("the run did not fail")
    gc.collect()
    return kind


def assert_outcome_holds_exactly(outcome, candidates, before):
    held = held_by(outcome)
    assert held, "the scenario should leave something in the outcome"
    expected = [b + (id(c) in held) for c, b in zip(candidates, before)]
    assert counts_of(candidates) == expected


RETENTIONS = [("keep", {}), ("count", {}), ("sample", {"n": 5}), ("sample", {"n": 0})]


class TestSuccessfulRuns:
    @pytest.mark.parametrize("policy, options", RETENTIONS)
    def test_drops_under_every_retention(self, policy, options):
        engine = base_engine()
        engine.rejections(policy, **options)
        engine.fuse("weighted_sum")
        engine.threshold(0.05)
        engine.unary_min("a", 0.02)
        engine.max_per_group("g", 1)
        candidates = items(60)
        before = counts_of(candidates)
        outcome = engine.run(iter(candidates))
        assert outcome.is_complete()
        assert_outcome_holds_exactly(outcome, candidates, before)
        del outcome
        assert counts_of(candidates) == before

    def test_not_scored_drops_in_both_stages(self):
        engine = base_engine()
        engine.scorer("e", cost="expensive")
        engine.missing("reject")
        candidates = [{"id": 1, "scores": [None, 1.0]}, {"id": 2, "scores": [0.5]},
                      {"id": 3, "scores": [0.5, 0.5]}]
        before = counts_of(candidates)
        outcome = engine.run(candidates)
        assert outcome.rejected_counts["not_scored"] == 2
        assert_outcome_holds_exactly(outcome, candidates, before)
        del outcome
        assert counts_of(candidates) == before

    def test_coverage_and_tokens(self):
        engine = base_engine()
        engine.coverage_objective()
        engine.budget_tokens(4)
        engine.require_at_least("g", "1", 1)
        candidates = items(30)
        before = counts_of(candidates)
        outcome = engine.run(candidates)
        del outcome
        assert counts_of(candidates) == before

    def test_same_object_twice(self):
        candidate = {"id": 1, "scores": [0.5]}
        before = sys.getrefcount(candidate)
        outcome = base_engine().run([candidate, candidate, candidate])
        assert sys.getrefcount(candidate) == before + 3
        del outcome
        assert sys.getrefcount(candidate) == before

    def test_values_read_from_items_are_not_kept(self):
        class Floaty:
            def __float__(self):
                return 0.5

        class Key:
            def __index__(self):
                return 7

        score, ident, group, cost, cover = Floaty(), Key(), object(), Key(), object()
        parts = [score, ident, group, cost, cover]
        before = counts_of(parts)
        engine = base_engine()
        engine.max_per_group("g", 2)
        engine.coverage_objective()
        engine.budget_tokens(100)
        outcome = engine.run([{"id": ident, "scores": [score], "groups": {"g": group},
                               "cost": cost, "cover": [cover]}])
        assert outcome.ranked[0].id == "7"
        del outcome  # with it the candidate dict, the only holder of the parts
        assert counts_of(parts) == before


class TestFailedRuns:
    def check(self, engine, candidates, expected_error, stream=False):
        before = counts_of(candidates)
        source = iter(candidates) if stream else candidates
        assert failure_of(lambda: engine.run(source)) is expected_error
        del source
        gc.collect()
        assert counts_of(candidates) == before

    @pytest.mark.parametrize("policy, options", RETENTIONS)
    def test_failing_intake(self, policy, options):
        engine = base_engine()
        engine.rejections(policy, **options)
        candidates = items(20)
        candidates[7] = {"id": 7, "scores": "bad"}
        self.check(engine, candidates, TypeError, stream=True)

    def test_failing_callback(self):
        engine = base_engine()
        engine.scorer("cb", cost="expensive", fn=lambda pool: pool[0]["missing key"])
        self.check(engine, items(20), KeyError)

    def test_callback_result_that_is_not_a_sequence(self):
        engine = base_engine()
        engine.scorer("cb", cost="expensive", fn=lambda pool: iter(pool))
        self.check(engine, items(20), ValueError)

    def test_batch_length_error(self):
        engine = base_engine()
        engine.scorer("cb", cost="expensive", fn=lambda pool: [0.5] * (len(pool) - 1))
        self.check(engine, items(20), korvane.EngineError)

    def test_validation_error(self):
        engine = base_engine()
        engine.pool_multiplier(0)
        self.check(engine, items(5), ValueError, stream=True)

    def test_failed_requirement(self):
        engine = base_engine()
        engine.require_at_least("g", "9", 1)
        self.check(engine, items(20), korvane.EngineError)

    def test_failed_requirement_with_an_intake_error(self):
        engine = base_engine()
        engine.require_at_least("g", "9", 1)
        candidates = items(10) + [{"no": "id"}]
        self.check(engine, candidates, korvane.EngineError)

    def test_iterator_that_raises(self):
        candidates = items(10)
        before = counts_of(candidates)

        def stream():
            yield from candidates
            raise OSError("gone")

        assert failure_of(lambda: base_engine().run(stream())) is OSError
        assert counts_of(candidates) == before


class TestOtherObjects:
    def test_callback_and_its_results(self):
        stash = []
        result = []

        def fn(pool):
            stash.append(pool)
            result[:] = [0.5] * len(pool)
            return result

        engine = base_engine()
        engine.scorer("cb", cost="expensive", fn=fn)
        before = counts_of([fn, result])
        outcome = engine.run(items(10))
        del outcome
        assert counts_of([fn, result]) == before
        (pool,) = stash
        assert sys.getrefcount(pool) == 3  # the stash, this name and the call's argument

    def test_failing_callback_is_released(self):
        def fn(pool):
            raise RuntimeError("no")

        engine = base_engine()
        engine.scorer("cb", cost="expensive", fn=fn)
        before = sys.getrefcount(fn)
        assert failure_of(lambda: engine.run(items(3))) is RuntimeError
        assert sys.getrefcount(fn) == before

    def test_iterable_and_iterator_are_released(self):
        candidates = items(10)
        before = sys.getrefcount(candidates)
        outcome = base_engine().run(candidates)
        assert sys.getrefcount(candidates) == before
        generator = (c for c in candidates)
        before = sys.getrefcount(generator)
        outcome = base_engine().run(generator)
        assert sys.getrefcount(generator) == before
        del outcome

    def test_engine_is_released(self):
        engine = base_engine()
        before = sys.getrefcount(engine)
        outcome = engine.run(items(5))
        assert sys.getrefcount(engine) == before
        del outcome
        assert failure_of(lambda: engine.run([1])) is ValueError
        assert sys.getrefcount(engine) == before


good_item = st.builds(lambda i, s: {"id": i, "scores": [s], "groups": {"g": i % 3}},
                      st.integers(0, 50), st.floats(-1, 1, width=32))
# Fresh objects each time, so that their counts are theirs alone.
bad_item = st.sampled_from([
    lambda: [5], lambda: {"scores": [1.0]}, lambda: {"id": 1, "scores": "x"},
    lambda: {"id": 1, "scores": None}, lambda: {"id": 2, "groups": 3},
]).map(lambda make: make())


@settings(max_examples=50, deadline=None)
@given(st.lists(st.one_of(good_item, good_item, good_item, bad_item), max_size=25),
       st.sampled_from(RETENTIONS), st.integers(1, 4))
def test_any_mix_of_items_releases_everything(candidates, retention, k):
    policy, options = retention
    engine = base_engine(k=k)
    engine.rejections(policy, **options)
    engine.max_per_group("g", 1)
    before = counts_of(candidates)
    try:
        outcome = engine.run(candidates)
    except (TypeError, ValueError):
        outcome = None
    gc.collect()
    if outcome is not None:
        held = held_by(outcome)
        assert counts_of(candidates) == [b + (id(c) in held) for c, b in zip(candidates, before)]
        del outcome
    assert counts_of(candidates) == before
