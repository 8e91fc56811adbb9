"""Expensive axes computed by a Python callback over the whole stage-2 pool."""

import collections.abc
import threading

import pytest

import korvane
from conftest import f32
from run_helpers import counts, ids, raises_exactly


def not_a_list(name):
    return f"채점기 '{name}' 의 콜백이 목록이 아닌 것을 돌려줬다"


def batch_length(name, got, expected):
    return f"채점기 '{name}' 의 배치 결과 길이가 {got} 인데 후보는 {expected} 개다"


def candidates(n):
    return [{"id": i, "scores": [1.0 - i / 100]} for i in range(n)]


def engine_calling(fn, name="cb", **scorer):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer(name, cost="expensive", fn=fn, **scorer)
    return engine


def callback_scores(fn, n=3, **scorer):
    """The callback axis's value per ranked id."""
    outcome = engine_calling(fn, **scorer).run(candidates(n))
    return [r.scores["cb"] for r in sorted(outcome.ranked, key=lambda r: int(r.id))]


class TestProtocol:
    def test_called_once_with_the_pool_objects_in_pool_order(self):
        calls = []

        def fn(pool):
            calls.append(pool)
            return [0.5] * len(pool)

        items = [{"id": i, "scores": [s]} for i, s in enumerate([0.2, 0.9, 0.5, 0.7])]
        engine = engine_calling(fn)
        engine.budget_top_k(1)
        engine.pool_multiplier(3)
        outcome = engine.run(items)
        assert len(calls) == 1
        (pool,) = calls
        assert type(pool) is list
        # The pool keeps the three best by admission score, best first.
        assert [id(c) for c in pool] == [id(items[1]), id(items[3]), id(items[2])]
        assert outcome.trace["scorers"][1]["calls"] == 3

    def test_called_once_with_an_empty_pool(self):
        calls = []
        outcome = engine_calling(lambda pool: calls.append(list(pool)) or []).run([])
        assert calls == [[]]
        assert outcome.trace["input_count"] == 0

    def test_missing_and_present_values(self):
        assert callback_scores(lambda pool: [0.2, None, 0.9]) == [f32(0.2), None, f32(0.9)]

    def test_accepted_sequences(self):
        class Seq(collections.abc.Sequence):
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError
                return [1, True, 0.25][i]

        assert callback_scores(lambda pool: (0.1, 0.2, 0.3)) == [f32(0.1), f32(0.2), f32(0.3)]
        assert callback_scores(lambda pool: Seq()) == [1.0, 1.0, 0.25]
        assert callback_scores(lambda pool: range(3)) == [0.0, 1.0, 2.0]

    def test_nan_is_missing(self):
        outcome = engine_calling(lambda pool: [float("nan")] * len(pool)).run(candidates(2))
        assert [r.scores["cb"] for r in outcome.ranked] == [None, None]
        assert outcome.trace["scorers"][1]["missing"] == 2

    def test_carried_value_is_not_the_axis_score(self):
        engine = engine_calling(lambda pool: [None] * len(pool))
        outcome = engine.run([{"id": 1, "scores": {"a": 0.5, "cb": 0.9}}])
        assert outcome.ranked[0].scores == {"a": 0.5, "cb": None}

    def test_unary_minimum_on_a_callback_axis_reads_the_carried_value(self):
        engine = engine_calling(lambda pool: [0.0] * len(pool))
        engine.unary_min("cb", 0.5)
        outcome = engine.run([{"id": 1, "scores": {"cb": 0.7}}, {"id": 2, "scores": {"cb": 0.1}},
                              {"id": 3}])
        assert ids(outcome) == ["1"]
        assert counts(outcome) == {"unary_constraint": 2}


class TestNormalizers:
    def test_minmax(self):
        assert callback_scores(lambda pool: [15, -3, 2.5], normalize="minmax",
                               normalize_range=(0, 10)) == [1.0, 0.0, 0.25]
        assert callback_scores(lambda pool: [15, None, 5], normalize="minmax",
                               normalize_range=(5, 5)) == [0.0, None, 0.0]

    def test_sigmoid_and_clamp(self):
        assert callback_scores(lambda pool: [0, None, 100], normalize="sigmoid") == [0.5, None, 1.0]
        assert callback_scores(lambda pool: [-3, 7, 0.5], normalize="clamp01") == [0.0, 1.0, 0.5]

    def test_normalized_axis_is_unit_whatever_was_declared(self):
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("cb", cost="expensive", scale="rank", fn=lambda pool: [3.0] * len(pool))
        engine.fuse("weighted_sum")
        raises_exactly(ValueError, "채점기 'cb' 의 척도 Rank 는 융합 방식 weighted_sum 과 함께 쓸 "
                       "수 없다. 정규화기를 끼우거나(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 "
                       "바꿔야 한다", engine.run, [])
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("cb", cost="expensive", scale="rank", normalize="sigmoid",
                      fn=lambda pool: [0.0] * len(pool))
        engine.fuse("weighted_sum")
        outcome = engine.run([{"id": 1, "scores": [1.0]}])
        assert outcome.ranked[0].fused == 0.75


class TestFailures:
    @pytest.mark.parametrize("result", [
        lambda pool: (x for x in [0.1] * len(pool)),
        lambda pool: {i: 0.1 for i in range(len(pool))},
        lambda pool: None,
        lambda pool: 0.5,
        lambda pool: {0.1, 0.2, 0.3},
    ])
    def test_result_that_is_not_a_sequence(self, result):
        raises_exactly(ValueError, not_a_list("cb"), engine_calling(result).run, candidates(3))

    def test_item_that_is_not_a_number(self):
        with pytest.raises(TypeError, match="must be real number, not str"):
            engine_calling(lambda pool: [0.1, "high", 0.3]).run(candidates(3))

    def test_wrong_length_is_an_engine_error(self):
        raises_exactly(korvane.EngineError, batch_length("cb", 2, 3),
                       engine_calling(lambda pool: [0.1, 0.2]).run, candidates(3))
        raises_exactly(korvane.EngineError, batch_length("cb", 1, 0),
                       engine_calling(lambda pool: [0.1]).run, [])

    def test_bad_item_beats_wrong_length(self):
        # A failed batch answers with one missing value per pool record, so the length
        # check passes and the callback's own error is raised.
        with pytest.raises(TypeError):
            engine_calling(lambda pool: ["x"]).run(candidates(3))

    def test_exception_is_raised_unchanged_after_the_stream_ends(self):
        error = KeyError("model offline")
        pulled = []

        def fn(pool):
            raise error

        def stream():
            for c in candidates(4):
                pulled.append(c["id"])
                yield c

        with pytest.raises(KeyError) as excinfo:
            engine_calling(fn).run(stream())
        assert excinfo.value is error
        assert excinfo.traceback[-1].name == "fn"
        assert pulled == [0, 1, 2, 3]

    def test_failing_length_or_item_access(self):
        class BadLength(collections.abc.Sequence):
            def __len__(self):
                raise BufferError("length")

            def __getitem__(self, i):
                return 0.0

        class BadItem(collections.abc.Sequence):
            def __len__(self):
                return 3

            def __getitem__(self, i):
                raise LookupError("item")

        with pytest.raises(BufferError, match="length"):
            engine_calling(lambda pool: BadLength()).run(candidates(3))
        with pytest.raises(LookupError, match="item"):
            engine_calling(lambda pool: BadItem()).run(candidates(3))

    def test_not_callable(self):
        with pytest.raises(TypeError, match="not callable"):
            engine_calling(42).run(candidates(2))

    def test_first_failing_axis_wins(self):
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("x", cost="expensive", fn=lambda pool: [0.0] * len(pool))
        engine.scorer("y", cost="expensive", fn=lambda pool: 1 / 0)
        engine.scorer("z", cost="expensive", fn=lambda pool: {}.pop("gone"))
        with pytest.raises(ZeroDivisionError):
            engine.run(candidates(2))

    def test_wrong_length_of_a_later_axis_beats_a_callback_error(self):
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("x", cost="expensive", fn=lambda pool: 1 / 0)
        engine.scorer("y", cost="expensive", fn=lambda pool: [])
        raises_exactly(korvane.EngineError, batch_length("y", 0, 2), engine.run, candidates(2))

    def test_wrong_length_stops_later_axes(self):
        called = []
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("x", cost="expensive", fn=lambda pool: [])
        engine.scorer("y", cost="expensive", fn=lambda pool: called.append(1) or [0.0] * len(pool))
        with pytest.raises(korvane.EngineError):
            engine.run(candidates(2))
        assert called == []

    def test_intake_error_beats_a_callback_error(self):
        with pytest.raises(ValueError, match="'id'"):
            engine_calling(lambda pool: 1 / 0).run([{"id": 1}, {"scores": []}])


class TestReentry:
    def test_nested_run_and_refused_configuration(self):
        engine = korvane.Engine()
        engine.scorer("a")
        seen = {}

        def fn(pool):
            if "nested" not in seen:
                seen["nested"] = None
                seen["nested"] = ids(engine.run([{"id": "inner", "scores": [0.1]}]))
            with pytest.raises(RuntimeError) as excinfo:
                engine.threshold(0.5)
            seen["refused"] = str(excinfo.value)
            seen["repr"] = repr(engine)
            return [0.0] * len(pool)

        engine.scorer("cb", cost="expensive", fn=fn)
        outcome = engine.run(candidates(2))
        assert ids(outcome) == ["0", "1"]
        assert seen == {"nested": ["inner"], "refused": "Already borrowed",
                        "repr": "Engine(axes=2, fusion=rrf, budget=TopK(10))"}
        engine.threshold(0.5)  # every run has given its access back

    def test_another_thread_may_run_but_not_configure(self):
        engine = korvane.Engine()
        engine.scorer("a")
        seen = []

        def other_thread():
            seen.append(ids(engine.run([{"id": "t", "scores": [0.5]}])))
            try:
                engine.min_fit(0.5)
            except RuntimeError as error:
                seen.append(str(error))

        def fn(pool):
            if len(pool) == 2:  # the outer run only
                worker = threading.Thread(target=other_thread)
                worker.start()
                worker.join()
            return [0.0] * len(pool)

        engine.scorer("cb", cost="expensive", fn=fn)
        assert ids(engine.run(candidates(2))) == ["0", "1"]
        assert seen == [["t"], "Already borrowed"]

    def test_callback_dropping_the_last_reference_to_the_engine(self):
        holder = [korvane.Engine()]
        holder[0].scorer("a")

        def fn(pool):
            holder.clear()
            return [0.0] * len(pool)

        holder[0].scorer("cb", cost="expensive", fn=fn)
        run = holder[0].run
        outcome = run(candidates(3))
        del run
        assert ids(outcome) == ["0", "1", "2"]
        assert holder == []
