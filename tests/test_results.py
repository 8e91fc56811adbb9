import gc
import json
import math
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane
from conftest import f32

WORKED_JSON = (
    '{"candidate":"doc-7","rank":1,"fused":0.8,"scores":{"bm25":0.8,"fresh":null},'
    '"missing_policy":"skip","fusion":{"method":"weighted_sum","terms":[{"scorer":"bm25",'
    '"input":{"kind":"value","value":0.8},"weight":1.0,"contribution":0.8},{"scorer":"fresh",'
    '"input":{"kind":"skipped"},"weight":0.0,"contribution":0.0}]},'
    '"constraints":{"per_site":"pass"}}')

COUNT_KEYS = ["not_scored", "unary_constraint", "set_constraint", "below_threshold", "outranked",
              "out_of_pool"]


def run(candidates, *axes, setup=None):
    engine = korvane.Engine()
    for axis in axes or ("a",):
        engine.scorer(axis)
    if setup is not None:
        setup(engine)
    return engine.run(candidates)


def worked_example(candidate):
    """weighted_sum, empty weights, skip, bm25 = 0.8 and fresh missing, one group maximum."""
    def setup(engine):
        engine.fuse("weighted_sum")
        engine.max_per_group("site", 3, id="per_site")
    return run([candidate], "bm25", "fresh", setup=setup)


DOC_7 = {"id": "doc-7", "scores": {"bm25": 0.8}, "groups": {"site": "s"}}


def one_of_each_drop():
    """A run that drops candidates for each of the six reasons, keeping them all."""
    def setup(engine):
        engine.fuse("weighted_sum")
        engine.missing("reject")
        engine.unary_min("a", 0.2, id="floor")
        engine.max_per_group("site", 1, id="per_site")
        engine.threshold(0.3)
        engine.budget_top_k(2)
        engine.pool_multiplier(3)
    candidates = [
        {"id": 1, "scores": [0.9, 0.9], "groups": {"site": "x"}},
        {"id": 2, "scores": [0.8, 0.8], "groups": {"site": "x"}},  # set_constraint
        {"id": 3, "scores": [0.7, 0.7], "groups": {"site": "y"}},
        {"id": 4, "scores": [0.6, 0.6], "groups": {"site": "z"}},  # outranked
        {"id": 5, "scores": [0.1, 0.9]},                            # unary_constraint
        {"id": 6, "scores": [0.5, None]},                           # not_scored
        {"id": 7, "scores": [0.25, 0.25]},                          # below_threshold
        {"id": 8, "scores": [0.2, 0.0]},                            # out_of_pool
        {"id": 9, "scores": [0.2, 0.01]},                           # below_threshold
    ]
    return run(candidates, "a", "b", setup=setup), candidates


def from_json_float(value):
    """A JSON number as the 32-bit float it was written from; null stands for non-finite."""
    return None if value is None else f32(value)


def widened_or_none(value):
    return None if value is None or not math.isfinite(value) else value


SCORES = st.one_of(st.none(), st.floats(width=32, allow_nan=False))


class TestRanked:
    def test_attributes_of_the_worked_example(self):
        candidate = dict(DOC_7)
        [ranked] = worked_example(candidate).ranked
        assert type(ranked) is korvane.Ranked
        assert (ranked.id, ranked.rank, ranked.fused) == ("doc-7", 1, f32(0.8))
        assert type(ranked.rank) is int and type(ranked.fused) is float
        assert ranked.candidate is candidate
        assert ranked.constraints == ["per_site"]
        assert list(ranked.scores.items()) == [("bm25", 0.800000011920929), ("fresh", None)]
        fusion = ranked.fusion
        assert list(fusion) == ["method", "missing_policy", "terms"]
        assert (fusion["method"], fusion["missing_policy"]) == ("weighted_sum", "skip")
        assert fusion["terms"] == [
            {"scorer": "bm25", "input": "value", "value": f32(0.8), "weight": 1.0,
             "contribution": f32(0.8)},
            {"scorer": "fresh", "input": "skipped", "value": None, "weight": 0.0,
             "contribution": 0.0}]
        assert [list(term) for term in fusion["terms"]] == [
            ["scorer", "input", "value", "weight", "contribution"]] * 2
        assert ranked.to_json() == WORKED_JSON

    def test_rank_terms_under_rrf(self):
        candidates = [{"id": 40 + i, "scores": [0.9 - i / 10, i / 10]} for i in range(3)]
        outcome = run(candidates, "bm25", "dense")
        [third] = [r for r in outcome.ranked if r.id == "42"]
        assert list(third.fusion) == ["method", "k", "missing_policy", "terms"]
        assert third.fusion["k"] == 60.0
        term = third.fusion["terms"][0]
        assert (term["input"], term["value"], term["contribution"]) == ("rank", 3.0, f32(1 / 63))
        assert type(term["value"]) is float
        text = third.to_json()
        assert text.startswith('{"candidate":"42","rank":')
        assert ('"fusion":{"method":"rrf","k":60.0,"terms":[{"scorer":"bm25","input":'
                '{"kind":"rank","rank":3},"weight":1.0,"contribution":0.015873017},') in text

    def test_widening_and_ids(self):
        outcome = run([{"id": 7, "scores": [0.1]}, {"id": "7", "scores": [0.05]}])
        assert [r.id for r in outcome.ranked] == ["7", "7"]
        assert outcome.ranked[0].scores == {"a": 0.10000000149011612}
        assert outcome.ranked[0].constraints == []

    def test_json_is_fixed_when_the_object_is_made(self):
        [ranked] = worked_example(DOC_7).ranked
        ranked.scores["bm25"] = 5.0
        ranked.fusion["terms"].clear()
        ranked.fusion["method"] = "max"
        assert ranked.to_json() == WORKED_JSON
        assert ranked.to_json() is not ranked.to_json()


class TestJsonAgreesWithTheDicts:
    @settings(max_examples=60, deadline=None)
    @given(rows=st.lists(st.tuples(SCORES, SCORES), max_size=12),
           method=st.sampled_from(["rrf", "weighted_sum", "max"]),
           policy=st.sampled_from(["skip", "impute"]))
    def test_every_ranked_entry(self, rows, method, policy):
        def setup(engine):
            engine.fuse(method)
            engine.missing(policy, value=0.5)
            engine.max_per_group("g", 100, id="cap \"quoted\"")
            engine.budget_top_k(5)
        candidates = [{"id": i if i % 2 else f"t{i}", "scores": list(row)}
                      for i, row in enumerate(rows)]
        outcome = run(candidates, "a", "é\t", setup=setup)
        assert outcome.is_complete()
        assert [r.rank for r in outcome.ranked] == list(range(1, len(outcome.ranked) + 1))
        for ranked in outcome.ranked:
            data = json.loads(ranked.to_json())
            assert list(data) == ["candidate", "rank", "fused", "scores", "missing_policy",
                                  "fusion", "constraints"]
            assert (data["candidate"], data["rank"]) == (ranked.id, ranked.rank)
            assert from_json_float(data["fused"]) == widened_or_none(ranked.fused)
            assert {k: from_json_float(v) for k, v in data["scores"].items()} == {
                k: widened_or_none(v) for k, v in ranked.scores.items()}
            assert data["missing_policy"] == ranked.fusion["missing_policy"] == policy
            assert data["constraints"] == dict.fromkeys(ranked.constraints, "pass")
            fusion = data["fusion"]
            assert fusion["method"] == ranked.fusion["method"] == method
            assert from_json_float(fusion.get("k")) == ranked.fusion.get("k")
            for written, term in zip(fusion["terms"], ranked.fusion["terms"], strict=True):
                assert written["scorer"] == term["scorer"]
                assert written["input"]["kind"] == term["input"]
                if term["input"] == "rank":
                    assert float(written["input"]["rank"]) == term["value"]
                elif term["input"] == "skipped":
                    assert term["value"] is None and list(written["input"]) == ["kind"]
                else:
                    assert from_json_float(written["input"]["value"]) == widened_or_none(
                        term["value"])
                for key in ["weight", "contribution"]:
                    assert from_json_float(written[key]) == widened_or_none(term[key])


class TestRejected:
    def test_every_reason(self):
        outcome, candidates = one_of_each_drop()
        assert [r.id for r in outcome.ranked] == ["1", "3"]
        assert list(outcome.rejected_counts.values()) == [1, 1, 1, 2, 1, 1]
        rejected = sorted(outcome.rejected, key=lambda r: int(r.id))
        assert type(rejected[-1].fused) is float and rejected[-1].fused < 0.3
        assert [(r.id, r.reason, r.detail, r.fused) for r in rejected[:-1]] == [
            ("2", "set_constraint", "per_site", f32(0.8)),
            ("4", "outranked", None, f32(0.6)),
            ("5", "unary_constraint", "floor", None),
            ("6", "not_scored", "b", None),
            ("7", "below_threshold", None, f32(0.25)),
            ("8", "out_of_pool", None, None),
        ]
        assert (rejected[-1].id, rejected[-1].reason) == ("9", "below_threshold")
        for entry in rejected:
            assert type(entry) is korvane.Rejected
            assert entry.candidate is candidates[int(entry.id) - 1]
            assert repr(entry) == f"Rejected(id={entry.id}, reason={entry.reason})"

    def test_count_retention_keeps_no_entries(self):
        outcome = run([{"id": i, "scores": [i / 10]} for i in range(5)],
                      setup=lambda e: (e.rejections("count"), e.budget_top_k(2)))
        assert outcome.rejected == []
        assert outcome.rejected_counts["outranked"] == 3
        assert outcome.is_complete()


class TestDicts:
    def test_counts_selection_and_trace_shapes(self):
        def setup(engine):
            engine.scorer("slow", cost="expensive")
            engine.admission("a")
        outcome = run([{"id": i, "scores": [i / 10, 0.5]} for i in range(3)], setup=setup)
        assert list(outcome.rejected_counts) == COUNT_KEYS
        assert all(type(v) is int for v in outcome.rejected_counts.values())
        selection = outcome.selection
        assert list(selection) == ["exact", "guarantee", "pool_size", "pool_exhausted",
                                   "cut_margin"]
        assert selection["exact"] is True and selection["pool_exhausted"] is True
        assert type(selection["pool_size"]) is int
        trace = outcome.trace
        assert list(trace) == ["input_count", "pool_capacity", "admission_scorer", "scorers",
                               "budget"]
        assert (trace["input_count"], trace["pool_capacity"]) == (3, 320)
        assert (trace["admission_scorer"], trace["budget"]) == ("a", None)
        assert [list(s) for s in trace["scorers"]] == [
            ["scorer", "calls", "missing", "elapsed_nanos", "cost"]] * 2
        assert [(s["scorer"], s["calls"], s["missing"], s["cost"]) for s in trace["scorers"]] == [
            ("a", 3, 0, "cheap"), ("slow", 3, 0, "expensive")]
        assert all(type(s["elapsed_nanos"]) is int and s["elapsed_nanos"] >= 0
                   for s in trace["scorers"])

    @pytest.mark.parametrize("budget, has_evidence", [
        (lambda e: e.budget_top_k(3), False),
        (lambda e: e.budget_tokens(10), False),
        (lambda e: e.budget_tail_mass(0.1, 3), True),
    ])
    def test_budget_evidence_only_under_tail_mass(self, budget, has_evidence):
        outcome = run([{"id": i, "scores": [1 / (i + 1)], "cost": 1} for i in range(40)],
                      setup=budget)
        evidence = outcome.trace["budget"]
        if not has_evidence:
            assert evidence is None
            return
        assert list(evidence) == ["s", "fit_quality", "fallback", "reason", "derived_k"]
        assert type(evidence["s"]) is float and type(evidence["fit_quality"]) is float
        assert evidence["fallback"] is (evidence["reason"] is not None)
        assert evidence["derived_k"] == len(outcome.ranked)

    def test_fallback_reason_is_named(self):
        outcome = run([{"id": 1, "scores": [0.5]}], setup=lambda e: e.budget_tail_mass(0.1, 4))
        evidence = outcome.trace["budget"]
        assert (evidence["fallback"], evidence["reason"]) == (True, "too_few_samples")

    def test_empty_input(self):
        outcome = run([])
        assert (outcome.ranked, outcome.rejected) == ([], [])
        assert outcome.rejected_counts == dict.fromkeys(COUNT_KEYS, 0)
        assert outcome.trace["input_count"] == 0
        assert outcome.trace["scorers"] == [
            {"scorer": "a", "calls": 0, "missing": 0, "elapsed_nanos": 0, "cost": "cheap"}]
        assert outcome.is_complete() is True
        assert repr(outcome).startswith("Outcome(ranked=0, rejected=0, exact=")


class TestAccess:
    def test_getters_build_new_objects_and_members_are_stored(self):
        outcome, _ = one_of_each_drop()
        assert outcome.ranked is not outcome.ranked
        assert outcome.ranked[0] is outcome.ranked[0]
        assert outcome.rejected is not outcome.rejected
        assert outcome.rejected[0] is outcome.rejected[0]
        for name in ["rejected_counts", "selection", "trace"]:
            assert getattr(outcome, name) is getattr(outcome, name)
        ranked = outcome.ranked[0]
        assert ranked.constraints is not ranked.constraints
        assert ranked.scores is ranked.scores and ranked.fusion is ranked.fusion
        ranked.scores["added"] = 1
        assert outcome.ranked[0].scores["added"] == 1

    def test_every_attribute_is_read_only(self):
        outcome, _ = one_of_each_drop()
        objects = {
            outcome: ["ranked", "rejected", "rejected_counts", "selection", "trace"],
            outcome.ranked[0]: ["id", "rank", "fused", "scores", "fusion", "constraints",
                                "candidate"],
            outcome.rejected[0]: ["id", "reason", "detail", "fused", "candidate"],
        }
        for obj, names in objects.items():
            for name in names + ["extra"]:
                with pytest.raises(AttributeError):
                    setattr(obj, name, None)
                with pytest.raises(AttributeError):
                    delattr(obj, name)
            with pytest.raises(TypeError, match=f"^cannot create 'korvane.{type(obj).__name__}'"):
                type(obj)()

    def test_identity_equality_and_repr_as_str(self):
        first, second = (run([{"id": 1, "scores": [0.5]}]) for _ in range(2))
        assert first != second and first.ranked[0] != second.ranked[0]
        assert first == first and hash(first) == hash(first)
        assert len({first.ranked[0], second.ranked[0]}) == 2
        for obj in [first, first.ranked[0]]:
            assert str(obj) == repr(obj)

    def test_docstrings(self):
        docs = {
            korvane.Ranked: {
                "id": "후보 식별자.", "rank": "1 부터 시작하는 순위.", "fused": "융합 점수.",
                "scores": "융합 전 원본 점수. 값이 없던 축은 `None` 이다.",
                "fusion": "어떻게 합쳤는가.", "constraints": "이 후보가 통과한 집합 제약들.",
                "candidate": "넘겼던 파이썬 객체 그대로.",
                "to_json": "감사 출력용 JSON 한 덩어리."},
            korvane.Rejected: {
                "id": "후보 식별자.",
                "reason": "사유의 종류. `not_scored`, `unary_constraint`, `set_constraint`,\n"
                          "`below_threshold`, `outranked`, `out_of_pool` 중 하나.",
                "detail": "사유가 가리키는 축이나 제약의 이름. 없으면 `None`.",
                "fused": "융합까지 갔다면 그 점수.", "candidate": "넘겼던 파이썬 객체 그대로."},
            korvane.Outcome: {
                "ranked": "골라진 것들. 순위 오름차순이다.",
                "rejected": "떨어진 것들. 보관 정책이 정한 만큼만 들어 있다.",
                "rejected_counts": "사유별 탈락 개수. 보관 정책과 무관하게 언제나 정확하다.",
                "selection": "선택의 성질. `exact`, `guarantee`, `pool_size`, `pool_exhausted`, "
                             "`cut_margin`.",
                "trace": "실행 기록. 입력 수, 풀 크기, 승인 채점기, 채점기별 호출 횟수, 예산 근거.",
                "is_complete": "완전성 불변식. 결과 수와 탈락 수의 합이 입력 수와 같은가."},
        }
        for cls, attributes in docs.items():
            public = {name for name in vars(cls) if not name.startswith("_")}
            assert public == set(attributes)
            for name, doc in attributes.items():
                assert getattr(cls, name).__doc__ == doc
        assert korvane.Ranked.to_json.__text_signature__ == "($self)"
        assert korvane.Outcome.is_complete.__text_signature__ == "($self)"


class TestReprs:
    @pytest.mark.parametrize("value, text", [
        (2.0, "2"), (0.1, "0.1"), (-0.0, "-0"), (1e20, "100000000000000000000"),
        (float("inf"), "inf"), (float("-inf"), "-inf"),
    ])
    def test_ranked_fused_is_positional(self, value, text):
        outcome = run([{"id": 7, "scores": [value]}], setup=lambda e: e.fuse("max"))
        assert repr(outcome.ranked[0]) == f"Ranked(rank=1, id=7, fused={text})"

    def test_text_id_is_bare(self):
        assert repr(worked_example(DOC_7).ranked[0]) == "Ranked(rank=1, id=doc-7, fused=0.8)"

    def test_outcome_reads_exact_live(self):
        outcome = run([{"id": 1, "scores": [0.5]}])
        assert repr(outcome) == "Outcome(ranked=1, rejected=0, exact=Some(true))"
        outcome.selection["exact"] = False
        assert repr(outcome) == "Outcome(ranked=1, rejected=0, exact=Some(false))"
        outcome.selection["exact"] = 1
        assert repr(outcome) == "Outcome(ranked=1, rejected=0, exact=None)"
        del outcome.selection["exact"]
        assert repr(outcome) == "Outcome(ranked=1, rejected=0, exact=None)"

        class Clash:
            def __hash__(self):
                return hash("exact")

            def __eq__(self, other):
                raise RuntimeError("no comparing")

        outcome.selection[Clash()] = True
        assert repr(outcome) == "Outcome(ranked=1, rejected=0, exact=None)"


class TestIsComplete:
    def test_reads_the_live_dicts(self):
        outcome, _ = one_of_each_drop()
        assert outcome.is_complete() is True
        outcome.rejected_counts["outranked"] += 1
        assert outcome.is_complete() is False
        # The total wraps around at 2**64, as the counters' unsigned sum does.
        outcome.rejected_counts["extra"] = 2**64 - 1
        assert outcome.is_complete() is True

        class Index:
            def __init__(self, n):
                self.n = n

            def __index__(self):
                return self.n
        outcome.trace["input_count"] = Index(outcome.trace["input_count"] + 1)
        assert outcome.is_complete() is False

    def test_missing_input_count(self):
        outcome = run([])
        del outcome.trace["input_count"]
        with pytest.raises(korvane.EngineError) as excinfo:
            outcome.is_complete()
        assert excinfo.value.args == ("기록에 input_count 가 없다",)

    @pytest.mark.parametrize("where, value, error", [
        ("trace", -1, OverflowError),
        ("trace", 2**64, OverflowError),
        ("trace", "0", TypeError),
        ("counts", -1, OverflowError),
        ("counts", 1.0, TypeError),
    ])
    def test_conversion_errors_are_raised_as_they_are(self, where, value, error):
        outcome = run([])
        if where == "trace":
            outcome.trace["input_count"] = value
        else:
            outcome.rejected_counts["outranked"] = value
        with pytest.raises(error):
            outcome.is_complete()


class TestReferences:
    def test_candidates_are_released_with_the_outcome(self):
        outcome, candidates = one_of_each_drop()
        held = [sys.getrefcount(c) for c in candidates]
        del outcome
        assert [sys.getrefcount(c) for c in candidates] == [n - 1 for n in held]

    @pytest.mark.parametrize("ranked_first", [True, False])
    def test_result_objects_are_made_once_whenever_they_are_read(self, ranked_first):
        # Until first read the outcome holds the candidates itself; the collector sees every
        # one of them before and after, and the objects made are the ones every read gives.
        outcome, candidates = one_of_each_drop()
        referents = {id(o) for o in gc.get_referents(outcome)}
        assert all(id(c) in referents for c in candidates)
        reads = ("ranked", "rejected") if ranked_first else ("rejected", "ranked")
        made = {name: getattr(outcome, name) for name in reads}
        assert [r.rank for r in made["ranked"]] == [1, 2]
        for name in reads:
            again = getattr(outcome, name)
            assert again == made[name] and all(a is b for a, b in zip(again, made[name]))
        by_id = {c["id"]: c for c in candidates}
        for r in made["ranked"] + made["rejected"]:
            assert r.candidate is by_id[int(r.id)]
        referents = {id(o) for o in gc.get_referents(outcome)}
        assert all(id(r) in referents for r in made["ranked"] + made["rejected"])

    @pytest.mark.parametrize("name", ["ranked", "rejected"])
    def test_a_finalizer_reading_results_while_they_are_made(self, name):
        # A collection while the objects are made runs a finalizer that reads the same list:
        # both reads give the same objects, once each.
        engine = korvane.Engine()
        engine.scorer("a")
        engine.budget_top_k(3)
        outcome = engine.run([{"id": i, "scores": [i / 10]} for i in range(6)])
        seen = []

        class Cycle:
            def __del__(self):
                seen.append(getattr(outcome, name))

        thresholds = gc.get_threshold()
        gc.collect()
        try:
            gc.set_threshold(1)
            cycle = Cycle()
            cycle.me = cycle
            del cycle
            got = getattr(outcome, name)
        finally:
            gc.set_threshold(*thresholds)
        gc.collect()
        assert len(seen) == 1
        assert [r.id for r in got] == (["5", "4", "3"] if name == "ranked" else ["2", "1", "0"])
        assert all(a is b for a, b in zip(got, seen[0])) and len(got) == len(seen[0])
        assert all(r.candidate["id"] == int(r.id) for r in got)

    def test_a_cycle_through_a_candidate_is_collected(self):
        class Item(dict):
            pass
        item = Item(id=1, scores=[0.5])
        outcome = run([item])
        item["outcome"] = outcome
        watch = weakref.ref(item)
        del item, outcome
        gc.collect()
        assert watch() is None

    def test_a_finalizer_may_read_an_outcome_being_collected(self):
        seen = []

        class Item(dict):
            def __del__(self):
                seen.append((repr(self["outcome"]), len(self["outcome"].ranked)))

        item = Item(id=1, scores=[0.5])
        item["outcome"] = run([item, {"id": 2, "scores": [0.1]}])
        del item
        gc.collect()
        assert len(seen) == 1

    def test_allocation_failures_raise_and_release_everything(self):
        testcapi = pytest.importorskip("_testcapi")
        candidates = [{"id": i, "scores": [i / 10]} for i in range(4)]
        engine = korvane.Engine()
        engine.scorer("a")
        engine.budget_top_k(2)
        before = [sys.getrefcount(c) for c in candidates]
        set_nomemory, remove_hooks = testcapi.set_nomemory, testcapi.remove_mem_hooks

        def read_all(outcome):
            trace = outcome.trace  # read whole; its elapsed times differ from run to run
            seen = [outcome.rejected_counts, outcome.selection, trace["input_count"],
                    [(s["scorer"], s["calls"]) for s in trace["scorers"]], repr(outcome)]
            for ranked in outcome.ranked:
                seen += [ranked.id, ranked.scores, ranked.fusion, ranked.to_json(), repr(ranked)]
            for rejected in outcome.rejected:
                seen += [rejected.id, rejected.reason, rejected.candidate, repr(rejected)]
            return seen

        # Every allocation of the run, then of every first read, fails in turn: each failure
        # raises MemoryError, and what was read later is what an undisturbed outcome gives.
        expected = read_all(engine.run(candidates))
        run_failures = read_failures = 0
        for start in range(1, 2000):
            set_nomemory(start, 0)
            try:
                outcome = engine.run(candidates)
            except MemoryError:
                outcome = None
            finally:
                remove_hooks()
            if outcome is not None:
                break
            run_failures += 1
        for start in range(1, 2000):
            outcome = engine.run(candidates)
            set_nomemory(start, 0)
            try:
                read_all(outcome)
                done = True
            except MemoryError:
                done = False
                read_failures += 1
            finally:
                remove_hooks()
            assert read_all(outcome) == expected
            assert repr(outcome) == "Outcome(ranked=2, rejected=2, exact=Some(true))"
            del outcome
            if done:
                break
        assert run_failures >= 1 and read_failures > 20
        del expected
        gc.collect()
        assert [sys.getrefcount(c) for c in candidates] == before
