"""Exact texts that the other suites reach only loosely or not at all: number forms of the
Ranked repr and the audit JSON at their edges, names shown as they are inside messages,
and the message that wins when two checks of one call could both fail."""

import re

import pytest

import korvane
from run_helpers import raises_exactly


def ranked_with_fused(setup, value):
    engine = korvane.Engine()
    engine.scorer("a")
    setup(engine)
    [ranked] = engine.run([{"id": "d", "scores": [value]}]).ranked
    return ranked


def by_max(engine):
    engine.fuse("max")


def by_infinite_weight(engine):
    # Σw is +inf, so the weight is inf/inf: the fused score is NaN.
    engine.fuse("weighted_sum", weights={"a": float("inf")})


@pytest.mark.parametrize("setup, value, shown, written", [
    (by_max, 1e-5, "0.00001", "0.00001"),
    (by_max, 1e-45, "0." + "0" * 44 + "1", "0." + "0" * 44 + "1"),
    (by_max, 16777217.0, "16777216", "16777216.0"),
    (by_max, -1.5, "-1.5", "-1.5"),
    (by_max, 1 / 3, "0.33333334", "0.33333334"),
    (by_infinite_weight, 0.5, "NaN", "null"),
])
def test_fused_in_the_repr_and_the_audit_json(setup, value, shown, written):
    ranked = ranked_with_fused(setup, value)
    assert repr(ranked) == f"Ranked(rank=1, id=d, fused={shown})"
    assert re.search(r'"fused":([^,]*),', ranked.to_json()).group(1) == written


def test_non_finite_weight_and_contribution_are_null():
    text = ranked_with_fused(by_infinite_weight, 0.5).to_json()
    assert '"input":{"kind":"value","value":0.5},"weight":null,"contribution":null}' in text


def with_axes(*axes, **fuse):
    engine = korvane.Engine()
    for name, options in axes:
        engine.scorer(name, **options)
    if fuse:
        engine.fuse(**fuse)
    return engine


def not_a_list(pool):
    return {}


@pytest.mark.parametrize("engine, exc_type, message", [
    # Names appear as they are: no repr quoting or escaping of the quote inside.
    (with_axes(("it's", {}), ("it's", {})), ValueError, "채점기 식별자 'it's' 가 중복 등록됐다"),
    (with_axes(("신선도", {"scale": "rank"}), method="max"), ValueError,
     "채점기 '신선도' 의 척도 Rank 는 융합 방식 max 과 함께 쓸 수 없다. 정규화기를 끼우거나"
     "(Scorer::normalized) 순위 융합(Fusion::Rrf)으로 바꿔야 한다"),
    (with_axes(("a", {}), ("b\"c", {"cost": "expensive", "fn": not_a_list})), ValueError,
     "채점기 'b\"c' 의 콜백이 목록이 아닌 것을 돌려줬다"),
    # A weights key that is not a str is stored, and named, as str(key).
    (with_axes(("a", {}), method="weighted_sum", weights={1: 2.0}), ValueError,
     "가중치가 가리키는 채점기 '1' 가 등록돼 있지 않다"),
    (with_axes(("a", {}), method="weighted_sum", weights={"a": 1.0, None: 0.0}), ValueError,
     "가중치가 가리키는 채점기 'None' 가 등록돼 있지 않다"),
])
def test_names_inside_run_messages(engine, exc_type, message):
    raises_exactly(exc_type, message, engine.run, [{"id": 1, "scores": [0.5]}])


def test_unrecognised_cost_wins_over_the_callback_rule():
    # Both the cost text and the cheap-axis callback rule could refuse this call; the cost
    # text is named, since only "cheap" is subject to the callback rule.
    raises_exactly(ValueError, "비용은 'cheap' 또는 'expensive' 여야 한다. 받은 값 'Cheap'",
                   korvane.Engine().scorer, "a", cost="Cheap", fn=len)


def test_intake_message_wins_over_a_failing_callback():
    engine = with_axes(("a", {}), ("cb", {"cost": "expensive", "fn": lambda pool: 1 / 0}))
    raises_exactly(ValueError, "후보에 'id' 가 없다", engine.run, [{"id": 1}, {"scores": []}])
