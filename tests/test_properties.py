"""Whole runs over random configurations and random candidate streams.

A run either returns an outcome that accounts for every candidate and keeps every rule it
was given, or raises the one exception its inputs call for. Either way every object it
touched is back at its reference count, and the same inputs give the same result twice.
HYPOTHESIS_PROFILE=soak runs many more examples."""

import collections
import gc
import math
import struct
import sys
from types import SimpleNamespace

from hypothesis import HealthCheck, event, given, settings, strategies as st

import korvane
from conftest import f32

AXIS_NAMES = ["a", "b", "c"]
GROUP_KEYS = ["lang", "src"]
# 0 and "0" are the same group value: intake keeps str() of it.
GROUP_VALUES = [0, "0", "en", "ko", 1, None]
COVER_ITEMS = ["x", "y", "z", "xy"]

IDS = st.one_of(
    st.integers(0, 6),
    st.sampled_from(["a", "b", "ab", "", "\u00e9", -1, None, True, 2**64 - 1, 2**64, 1.5]),
)
SCORES = st.one_of(
    st.sampled_from([None, 0.0, -0.0, 0.5, 1.0, math.nan, math.inf, -math.inf]),
    st.sampled_from([1e300, -1e300, 3.5e38, 1e-50, 2, -3]),
    st.floats(width=32),
)
# Each callback kind says what the callback returns for a pool of n records.
CALLBACK_KINDS = ["values", "values", "tuple", "none", "raise", "not_list", "short", "long"]


class Boom(Exception):
    """Raised by the test's own callbacks and iterators."""


# ---------------------------------------------------------------------------------------
# Configurations


def rarely(draw, one_in):
    return draw(st.sampled_from([False] * (one_in - 1) + [True]))


FLAWS = ["unknown unary axis", "duplicate axis", "scale", "unknown weight", "unknown admission",
         "expensive admission", "rrf without cheap axis", "pool multiplier", "top_k", "epsilon"]


@st.composite
def configs(draw):
    """A configuration that runs, or now and then one with a flaw that refuses it."""
    names = draw(st.lists(st.sampled_from(AXIS_NAMES), min_size=1, max_size=3, unique=True))
    axes = []
    for name in names:
        expensive = rarely(draw, 3)
        callback = None
        if expensive and not rarely(draw, 3):
            callback = "values" if not rarely(draw, 4) else draw(st.sampled_from(CALLBACK_KINDS))
        normalize = draw(st.sampled_from([None, None, None, "sigmoid", "clamp01", "minmax"]))
        axes.append(SimpleNamespace(
            name=name,
            scale=draw(st.sampled_from(["unit", "unbounded", "rank"])) if normalize else "unit",
            expensive=expensive,
            normalize=normalize,
            range=draw(st.sampled_from([(0.0, 1.0), (-1.0, 3.0), (2.0, 2.0), (1.0, 0.0)])),
            callback=callback,
            returns=draw(st.lists(SCORES, min_size=1, max_size=5)),
        ))
    method = draw(st.sampled_from(["rrf", "weighted_sum", "max"]))
    if method == "rrf":
        for axis in axes:  # scales other than unit go with rank fusion
            axis.scale = draw(st.sampled_from(["unit", "unbounded", "rank"]))
        if all(axis.expensive for axis in axes):
            axes[0].expensive, axes[0].callback = False, None
    weights = None
    if method == "weighted_sum" and draw(st.booleans()):
        weighted = draw(st.lists(st.sampled_from(names), max_size=3, unique=True))
        weights = {name: draw(st.sampled_from([1.0, 0.5, 0.0, -1.0, 2.0])) for name in weighted}
    cheap = [axis.name for axis in axes if not axis.expensive]
    keys = st.sampled_from(GROUP_KEYS)
    texts = st.sampled_from(["0", "en", "ko", "1"])
    ids = st.one_of(st.none(), st.sampled_from(["g1", "g2", "lang"]))
    cfg = SimpleNamespace(
        axes=axes,
        fusion=method,
        rrf_k=draw(st.sampled_from([None, 1.0, 60.0, 0.5])),
        weights=weights,
        missing=draw(st.sampled_from(["skip", "skip", "impute", "impute", "reject"])),
        impute=draw(st.sampled_from([0.0, 0.25, -1.0])),
        retention=draw(st.sampled_from(["keep", "count", "sample"])),
        sample_n=draw(st.integers(0, 6)),
        group_maxima=draw(st.lists(
            st.tuples(keys, st.integers(0 if rarely(draw, 4) else 1, 3), ids), max_size=2)),
        max_total=draw(st.one_of(st.none(), st.tuples(st.integers(0, 6), ids))),
        requirements=draw(st.lists(st.tuples(keys, texts, st.sampled_from([0, 1, 1, 2]), ids),
                                   max_size=0 if draw(st.booleans()) else 2)),
        unary=draw(st.lists(st.tuples(st.sampled_from(names), st.sampled_from([-1.0, 0.0, 0.25]),
                                      ids), max_size=0 if draw(st.booleans()) else 2)),
        coverage=draw(st.booleans()),
        budget=draw(st.sampled_from(["top_k", "top_k", "tail_mass", "tokens"])),
        top_k=draw(st.integers(1, 8)),
        epsilon=draw(st.sampled_from([0.0, 0.05, 0.2, 0.999])),
        fallback_k=draw(st.integers(0, 6)),
        token_max=draw(st.integers(0, 20)),
        admission=draw(st.sampled_from(cheap)) if cheap and draw(st.booleans()) else None,
        multiplier=draw(st.integers(1, 4)),
        threshold=draw(st.one_of(st.none(), st.none(), st.sampled_from([-1.0, 0.0, 0.01, 0.5]))),
        min_fit=draw(st.sampled_from([0.9, 0.0, 1.5])),
    )
    if rarely(draw, 4):
        add_flaw(cfg, draw(st.sampled_from(FLAWS)), draw)
    return cfg


def add_flaw(cfg, flaw, draw):
    axis = draw(st.sampled_from(cfg.axes))
    if flaw == "unknown unary axis":
        cfg.unary.append(("zz", 0.0, None))
    elif flaw == "duplicate axis":
        cfg.axes.append(SimpleNamespace(**{**vars(axis), "scale": "rank", "normalize": None}))
    elif flaw == "scale":
        axis.scale, axis.normalize = draw(st.sampled_from(["unbounded", "rank"])), None
        cfg.fusion = draw(st.sampled_from(["weighted_sum", "max"]))
    elif flaw == "unknown weight":
        cfg.fusion, cfg.weights = "weighted_sum", {**(cfg.weights or {}), "zz": 1.0}
    elif flaw == "unknown admission":
        cfg.admission = "zz"
    elif flaw == "expensive admission":
        axis.expensive, cfg.admission = True, axis.name
    elif flaw == "rrf without cheap axis":
        for each in cfg.axes:
            each.expensive = True
        cfg.fusion, cfg.admission = "rrf", None
    elif flaw == "pool multiplier":
        cfg.multiplier = 0
    elif flaw == "top_k":
        cfg.budget, cfg.top_k = "top_k", 0
    else:
        cfg.budget, cfg.epsilon = "tail_mass", draw(st.sampled_from([1.0, -0.1, math.nan]))


def make_callback(axis):
    def callback(pool):
        assert type(pool) is list
        n = len(pool)
        values = [axis.returns[i % len(axis.returns)] for i in range(n)]
        if axis.callback == "tuple":
            return tuple(values)
        if axis.callback == "none":
            return [None] * n
        if axis.callback == "raise":
            raise Boom(f"callback {axis.name}")
        if axis.callback == "not_list":
            return {0.5}
        if axis.callback == "short":
            return values[:-1]
        if axis.callback == "long":
            return values + [0.5]
        return values

    return callback


def build(cfg, callbacks):
    engine = korvane.Engine()
    for axis, callback in zip(cfg.axes, callbacks):
        engine.scorer(axis.name, scale=axis.scale, cost="expensive" if axis.expensive else "cheap",
                      normalize=axis.normalize, normalize_range=axis.range, fn=callback)
    if cfg.fusion == "rrf":
        engine.fuse("rrf", k=cfg.rrf_k)
    else:
        engine.fuse(cfg.fusion, weights=cfg.weights)
    if cfg.missing == "impute":
        engine.missing("impute", value=cfg.impute)
    else:
        engine.missing(cfg.missing)
    engine.rejections(cfg.retention, n=cfg.sample_n if cfg.retention == "sample" else None)
    for key, most, cid in cfg.group_maxima:
        engine.max_per_group(key, most, id=cid)
    if cfg.max_total is not None:
        engine.max_total(cfg.max_total[0], id=cfg.max_total[1])
    for key, value, n, cid in cfg.requirements:
        engine.require_at_least(key, value, n, id=cid)
    for axis, minimum, cid in cfg.unary:
        engine.unary_min(axis, minimum, id=cid)
    if cfg.coverage:
        engine.coverage_objective()
    if cfg.budget == "top_k":
        engine.budget_top_k(cfg.top_k)
    elif cfg.budget == "tail_mass":
        engine.budget_tail_mass(cfg.epsilon, cfg.fallback_k)
    else:
        engine.budget_tokens(cfg.token_max)
    if cfg.admission is not None:
        engine.admission(cfg.admission)
    engine.pool_multiplier(cfg.multiplier)
    if cfg.threshold is not None:
        engine.threshold(cfg.threshold)
    engine.min_fit(cfg.min_fit)
    return engine


def configuration_error(cfg):
    """The message of the first refusal before any candidate is pulled, or None."""
    names = [axis.name for axis in cfg.axes]
    for axis, _, _ in cfg.unary:
        if axis not in names:
            return f"등록되지 않은 축 '{axis}'"
    seen = set()
    for axis in cfg.axes:
        if axis.name in seen:
            return f"채점기 식별자 '{axis.name}' 가 중복 등록됐다"
        seen.add(axis.name)
        if cfg.fusion != "rrf" and axis.normalize is None and axis.scale != "unit":
            return (f"채점기 '{axis.name}' 의 척도 {axis.scale.capitalize()} 는 융합 방식 "
                    f"{cfg.fusion} 과 함께 쓸 수 없다. 정규화기를 끼우거나(Scorer::normalized) "
                    "순위 융합(Fusion::Rrf)으로 바꿔야 한다")
    if cfg.fusion == "weighted_sum":
        for name in cfg.weights or ():
            if name not in names:
                return f"가중치가 가리키는 채점기 '{name}' 가 등록돼 있지 않다"
    if cfg.admission is not None:
        if cfg.admission not in names:
            return f"승인 채점기 '{cfg.admission}' 가 등록돼 있지 않다"
        if cfg.axes[names.index(cfg.admission)].expensive:
            return (f"승인 채점기 '{cfg.admission}' 가 비싼 축이다. 1단계는 후보 전부를 훑으므로 "
                    "싼 축이어야 한다")
    elif cfg.fusion == "rrf" and all(axis.expensive for axis in cfg.axes):
        return ("순위 융합(Fusion::Rrf)은 1단계 절단 기준을 스스로 만들지 못한다. 싼 채점기를 "
                "하나 이상 등록하거나 Engine::admission 으로 승인 채점기를 지정해야 한다")
    if cfg.multiplier == 0:
        return "풀 배수는 1 이상이어야 한다"
    if cfg.budget == "top_k" and cfg.top_k == 0:
        return "예산 설정이 올바르지 않다: TopK 는 1 이상이어야 한다"
    if cfg.budget == "tail_mass" and not 0.0 <= f32(cfg.epsilon) < 1.0:
        return "예산 설정이 올바르지 않다: epsilon 은 0 이상 1 미만이어야 한다"
    return None


# ---------------------------------------------------------------------------------------
# Candidate streams

NOT_A_DICT = "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다"

# Bad items: (kind, item factory, when intake reads the bad entry, exception type, message).
BAD_ITEMS = {
    "not_dict": (lambda: ["id", 1], "always", ValueError, NOT_A_DICT),
    "no_id": (lambda: {"scores": [0.1]}, "always", ValueError, "후보에 'id' 가 없다"),
    "scores_none": (lambda: {"id": 1, "scores": None}, "always", ValueError,
                    "'scores' 는 사전이거나 순서열이어야 한다"),
    "scores_text": (lambda: {"id": 1, "scores": "x"}, "always", TypeError,
                    "must be real number, not str"),
    "score_huge_int": (lambda: {"id": 1, "scores": [10**400]}, "always", OverflowError,
                       "int too large to convert to float"),
    "groups_int": (lambda: {"id": 2, "groups": 5}, "groups", ValueError,
                   "'groups' 는 사전이어야 한다"),
    "cost_float": (lambda: {"id": 3, "cost": 2.5}, "cost", TypeError, None),
    "cost_negative": (lambda: {"id": 3, "cost": -1}, "cost", OverflowError, None),
    "cover_set": (lambda: {"id": 4, "cover": {"x"}}, "cover", ValueError,
                  "'cover' 는 순서열이어야 한다"),
}


@st.composite
def good_items(draw):
    item = {"id": draw(IDS)}
    values = draw(st.lists(SCORES, max_size=4))
    shape = draw(st.sampled_from(["dict", "list", "tuple", "absent"]))
    if shape == "dict":
        item["scores"] = dict(zip(AXIS_NAMES + ["zz"], values))
    elif shape != "absent":
        item["scores"] = values if shape == "list" else tuple(values)
    if draw(st.booleans()):
        item["groups"] = {key: draw(st.sampled_from(GROUP_VALUES))
                          for key in draw(st.lists(st.sampled_from(GROUP_KEYS), unique=True))}
    if draw(st.booleans()):
        item["cost"] = draw(st.one_of(st.none(), st.integers(0, 12)))
    if draw(st.booleans()):
        item["cover"] = draw(st.one_of(
            st.none(), st.just("xy"), st.lists(st.sampled_from(COVER_ITEMS), max_size=4),
            st.lists(st.sampled_from(COVER_ITEMS), max_size=3).map(tuple)))
    return item


@st.composite
def streams(draw):
    """(item list, kind of iterable, position at which the iterator raises or None)."""
    entries = draw(st.lists(good_items(), min_size=draw(st.sampled_from([0, 1, 4, 10, 20])),
                            max_size=30))
    if rarely(draw, 4):
        entries.insert(draw(st.integers(0, len(entries))), draw(st.sampled_from(sorted(BAD_ITEMS))))
    items = [BAD_ITEMS[e][0]() if isinstance(e, str) else e for e in entries]
    kinds = [e if isinstance(e, str) else None for e in entries]
    shape = "raising" if rarely(draw, 10) else draw(st.sampled_from(["list", "generator"]))
    raise_at = draw(st.integers(0, len(items))) if shape == "raising" else None
    return SimpleNamespace(items=items, bad=kinds, shape=shape, raise_at=raise_at)


class Iterable:
    """A fresh iterator over the stream each time; records whether it was started."""

    def __init__(self, stream):
        self.stream = stream
        self.started = False

    def __iter__(self):
        self.started = True
        return self.generate()

    def generate(self):
        for position, item in enumerate(self.stream.items):
            if position == self.stream.raise_at:
                raise Boom("stream")
            yield item
        if self.stream.raise_at == len(self.stream.items):
            raise Boom("stream")


def pulled(cfg, stream):
    """The items the run pulls, and the first failure of intake or of the iterator."""
    reads = {"always": True, "groups": bool(cfg.group_maxima or cfg.requirements),
             "cost": cfg.budget == "tokens", "cover": cfg.coverage}
    good = []
    for position, (item, kind) in enumerate(zip(stream.items, stream.bad)):
        if position == stream.raise_at:
            return good, (Boom, "stream")
        if kind is not None and reads[BAD_ITEMS[kind][1]]:
            _, _, error, message = BAD_ITEMS[kind]
            return good, (error, message)
        good.append(item)
    if stream.raise_at == len(stream.items):
        return good, (Boom, "stream")
    return good, None


# ---------------------------------------------------------------------------------------
# Checking an outcome


def canonical(value):
    """Floats by their bits, so that NaN equals NaN when two outcomes are compared."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return tuple((k, canonical(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return tuple(canonical(v) for v in value)
    return value


def fingerprint(outcome, drops=True):
    trace = dict(outcome.trace)
    trace["scorers"] = [{k: v for k, v in s.items() if k != "elapsed_nanos"}
                        for s in trace["scorers"]]
    return canonical((
        [(r.id, r.rank, r.fused, r.scores, r.fusion, r.constraints, r.to_json(), id(r.candidate))
         for r in outcome.ranked],
        [(r.id, r.reason, r.detail, r.fused, id(r.candidate)) for r in outcome.rejected]
        if drops else None,
        outcome.rejected_counts, outcome.selection, trace, outcome.is_complete(),
    ))


def folded(fusion):
    """The fused score as the fusion evidence makes it: a float32 fold over the terms that
    took part, the largest contribution under max, else their sum from -0.0."""
    parts = [t["contribution"] for t in fusion["terms"] if t["input"] != "skipped"]
    if fusion["method"] == "max":
        best = None
        for part in parts:
            if best is None or part > best:
                best = part
        return 0.0 if best is None else best
    total = -0.0
    for part in parts:
        total = f32(total + part)
    return total


def own_value(item, position, name):
    scores = item.get("scores")
    if isinstance(scores, dict):
        value = scores.get(name)
    elif scores is not None and position < len(scores):
        value = scores[position]
    else:
        value = None
    return None if value is None else f32(float(value))


def group_value(item, key):
    groups = item.get("groups")
    if not isinstance(groups, dict) or groups.get(key) is None:
        return None
    return str(groups[key])


def check_outcome(cfg, items, outcome):
    ranked, rejected, counts = outcome.ranked, outcome.rejected, outcome.rejected_counts
    trace, selection = outcome.trace, outcome.selection
    names = [axis.name for axis in cfg.axes]
    assert outcome.is_complete()
    assert [r.rank for r in ranked] == list(range(1, len(ranked) + 1))
    assert trace["input_count"] == len(items) == len(ranked) + sum(counts.values())

    # Every candidate object is one the iterable produced, and sits in at most one place.
    produced = {id(item) for item in items}
    placed = [id(r.candidate) for r in ranked] + [id(r.candidate) for r in rejected]
    assert set(placed) <= produced and len(set(placed)) == len(placed)
    retained = collections.Counter(r.reason for r in rejected)
    assert all(retained[reason] <= counts[reason] for reason in retained)
    if cfg.retention == "keep":
        assert retained == +collections.Counter(counts) and len(placed) == len(items)
    elif cfg.retention == "count":
        assert rejected == []
    else:
        assert len(rejected) == min(cfg.sample_n, sum(counts.values()))

    set_ids = [cid or key for key, _, cid in cfg.group_maxima]
    if cfg.max_total is not None:
        set_ids.append(cfg.max_total[1] or "max_total")
    unary_ids = [cid or axis for axis, _, cid in cfg.unary]
    for r in rejected:
        expected_detail = {"unary_constraint": unary_ids, "not_scored": names,
                           "set_constraint": set_ids}.get(r.reason, [None])
        assert r.detail in expected_detail
        has_fused = r.reason in ("below_threshold", "set_constraint", "outranked")
        assert (r.fused is not None) == has_fused
        if r.reason == "below_threshold":
            assert f32(cfg.threshold) > r.fused
        if r.reason == "not_scored":
            assert cfg.missing == "reject"

    members = [r.candidate for r in ranked]
    for r in ranked:
        # The fused score is the float32 fold of the terms its evidence shows.
        assert canonical(r.fused) == canonical(folded(r.fusion))
        assert r.constraints == set_ids
        if cfg.threshold is not None:
            assert not f32(cfg.threshold) > r.fused
        if cfg.missing == "reject":
            assert None not in r.scores.values()
    for axis, minimum, _ in cfg.unary:
        for member in members:
            value = own_value(member, names.index(axis), axis)
            assert value is not None and value >= f32(minimum)
    for key, most, _ in cfg.group_maxima:
        if most == 0:
            assert members == []
        shared = collections.Counter(group_value(m, key) for m in members)
        shared.pop(None, None)
        assert all(n <= most for n in shared.values())
    if cfg.max_total is not None:
        assert len(members) <= cfg.max_total[0]
    for key, value, n, _ in cfg.requirements:
        assert sum(group_value(m, key) == value for m in members) >= n

    if cfg.budget == "top_k":
        assert len(members) <= cfg.top_k
        planned = cfg.top_k
    elif cfg.budget == "tail_mass":
        assert len(members) <= trace["budget"]["derived_k"]
        planned = max(cfg.fallback_k, 1)
    else:
        assert sum(m.get("cost") or 0 for m in members) <= cfg.token_max
        assert selection["exact"] is False
        planned = cfg.token_max
    assert (trace["budget"] is not None) == (cfg.budget == "tail_mass")
    assert trace["pool_capacity"] == max(planned * cfg.multiplier, 1)
    assert selection["pool_size"] <= trace["pool_capacity"]
    if cfg.admission is not None:
        assert trace["admission_scorer"] == cfg.admission
    elif cfg.fusion == "rrf":
        assert trace["admission_scorer"] == next(a.name for a in cfg.axes if not a.expensive)
    else:
        assert trace["admission_scorer"] is None
    assert [s["scorer"] for s in trace["scorers"]] == names
    for axis, scorer in zip(cfg.axes, trace["scorers"]):
        assert scorer["cost"] == ("expensive" if axis.expensive else "cheap")
        if axis.expensive:
            assert scorer["calls"] == selection["pool_size"]
        else:
            assert scorer["calls"] <= len(items)


def check_failure(cfg, stream, pool_size_hint, error, items_failure):
    """The exception raised must be the one that wins by the run's precedence."""
    kind, message = error
    callback_kinds = [axis.callback if axis.expensive else None for axis in cfg.axes]
    if "long" in callback_kinds:
        assert kind is korvane.EngineError and "배치 결과 길이" in message
        return
    if kind is korvane.EngineError:
        if "배치 결과 길이" in message:
            name = next(a.name for a in cfg.axes if a.expensive and a.callback in ("short", "long"))
            assert message.startswith(f"채점기 '{name}' 의 배치 결과 길이가 ")
        else:
            ids = [cid or key for key, _, _, cid in cfg.requirements]
            assert any(message.startswith(f"요구 조건 '{i}' 의 교체에 실패했다") for i in ids)
        return
    if items_failure is not None:
        assert kind is items_failure[0]
        if items_failure[1] is not None:
            assert message == items_failure[1]
        return
    for axis in cfg.axes:
        if axis.expensive and axis.callback == "raise":
            assert (kind, message) == (Boom, f"callback {axis.name}")
            return
        if axis.expensive and axis.callback == "not_list":
            assert (kind, message) == (
                ValueError, f"채점기 '{axis.name}' 의 콜백이 목록이 아닌 것을 돌려줬다")
            return
    raise AssertionError(f"unexpected {kind.__name__}: {message}")


def run_once(engine, iterable):
    """A fingerprint of the outcome, or the (type, text) of the exception, which is let go
    before returning so that its traceback holds nothing."""
    try:
        outcome = engine.run(iterable)
    except Exception as error:  # noqa: BLE001 - every exception is compared
        return None, (type(error), str(error))
    return outcome, None


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(configs(), streams())
def test_a_run_accounts_for_every_candidate_or_raises_what_wins(cfg, stream):
    callbacks = [make_callback(axis) if axis.callback else None for axis in cfg.axes]
    engine = build(cfg, callbacks)
    items, items_failure = pulled(cfg, stream)
    watched = stream.items + [c for c in callbacks if c is not None]
    # Garbage of earlier examples may still hold references to shared objects.
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]

    iterable = stream.items if stream.shape == "list" else Iterable(stream)
    outcome, error = run_once(engine, iterable)
    expected_refusal = configuration_error(cfg)
    if expected_refusal is not None:
        event("refused before the run")
        assert error == (ValueError, expected_refusal)
        assert getattr(iterable, "started", False) is False
    elif error is not None:
        event(f"raised {error[0].__name__}")
        check_failure(cfg, stream, None, error, items_failure)
    else:
        event("ran" if outcome.ranked else "ran, nothing selected")
        assert items_failure is None
        kinds = {axis.callback for axis in cfg.axes if axis.expensive}
        assert not kinds & {"raise", "not_list", "long"}
        if "short" in kinds:
            assert outcome.selection["pool_size"] == 0
        check_outcome(cfg, items, outcome)

    first = fingerprint(outcome) if outcome is not None else error
    del outcome
    again, error_again = run_once(engine, stream.items if stream.shape == "list" else Iterable(stream))
    assert (fingerprint(again) if again is not None else error_again) == first
    del again
    after = [sys.getrefcount(o) for o in watched]
    if after != before:  # a cycle may still hold an object until it is collected
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
    assert after == before


@st.composite
def plain_top_k_configs(draw):
    """A configuration whose selection is a plain top k: no set constraint, requirement or
    objective."""
    cfg = draw(configs())
    cfg.group_maxima, cfg.max_total, cfg.requirements = [], None, []
    cfg.coverage, cfg.budget = False, "top_k"
    cfg.multiplier = draw(st.integers(2, 4))
    return cfg


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(plain_top_k_configs(), streams())
def test_keeping_drops_changes_nothing_else(cfg, stream):
    # A run that keeps no drop may rank only the records that can decide its selection.
    callbacks = [make_callback(axis) if axis.callback else None for axis in cfg.axes]
    seen = []
    for retention in ("keep", "count"):
        engine = build(SimpleNamespace(**{**vars(cfg), "retention": retention}), callbacks)
        outcome, error = run_once(engine, stream.items if stream.shape == "list" else Iterable(stream))
        seen.append(fingerprint(outcome, drops=False) if outcome is not None else error)
        del outcome, engine
    assert seen[0] == seen[1]
