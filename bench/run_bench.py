"""Throughput of Engine.run against a straightforward pure-Python version of the same run.

Both sides get the same candidates, in random order of score (most are refused at once by
the full stage-1 pool) and in ascending order (every newcomer evicts a pool member): two
cheap axes (a unit axis "a" and an unbounded "b")
given as a dict or a list, with or without a group label, under the default configuration
of a new Engine (rrf with k 60, top 10, pool multiplier 32, so a stage-1 pool of 320) and,
with groups, at most 2 per group. The Python version streams the input through a bounded
heap, ranks the pool per axis, fuses in 32-bit floats and selects greedily; its ranked ids
are checked against the engine's before any figure is printed.

    PYTHONPATH=build/ext python bench/run_bench.py [--sizes 100000 1000000] [--repeat 3]

Inputs of up to --list-limit candidates are built as a list first; larger ones are streamed
from a generator, whose own cost is measured alone and shown, with the ratio of the times
net of it.
"""

import argparse
import gc
import heapq
import math
import random
import struct
import time

import korvane

K, MULTIPLIER, GROUP_MAX, RRF_K = 10, 32, 2, 60.0
_F32 = struct.Struct("f")


def f32(x):
    return _F32.unpack(_F32.pack(x))[0]


# 1 / (r + 60) in 32-bit floats for every rank the pool can hand out.
RRF_TERM = [0.0] + [f32(1.0 / f32(r + RRF_K)) for r in range(1, K * MULTIPLIER + 1)]


def make_rows(n, seed, order):
    """n rows (id, a, b, group) with values already exact 32-bit floats."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        a = f32(rng.random())
        b = f32(rng.random() * 20.0)
        rows.append((i, a, b, f"g{rng.randrange(50)}"))
    if order == "ascending":
        rows.sort(key=lambda row: (row[1], -row[0]))
    return rows


def candidate(row, shape, groups):
    i, a, b, g = row
    item = {"id": i, "scores": {"a": a, "b": b} if shape == "dict" else [a, b]}
    if groups:
        item["groups"] = {"g": g}
    return item


def python_run(candidates, groups):
    """The run written plainly in Python: returns the ranked ids as display texts."""
    capacity = K * MULTIPLIER
    heap = []  # (admission, -id, a, b, group): the weakest entry on top
    for item in candidates:
        scores = item["scores"]
        if isinstance(scores, dict):
            a, b = scores.get("a"), scores.get("b")
        else:
            a = scores[0] if len(scores) > 0 else None
            b = scores[1] if len(scores) > 1 else None
        group = item["groups"].get("g") if groups else None
        admission = a if a is not None else -math.inf
        entry = (admission, -item["id"], a, b, group)
        if len(heap) < capacity:
            heapq.heappush(heap, entry)
        elif entry[:2] > heap[0][:2]:
            heapq.heapreplace(heap, entry)

    pool = sorted(heap, key=lambda e: (-e[0], -e[1]))
    fused = {}
    for axis in (2, 3):  # per-axis rrf ranks over the pool, ties by smaller id
        present = sorted((e for e in pool if e[axis] is not None), key=lambda e: (-e[axis], -e[1]))
        for rank, entry in enumerate(present, 1):
            key = -entry[1]
            fused[key] = f32(fused.get(key, -0.0) + RRF_TERM[rank])
    ranked = sorted(pool, key=lambda e: (-fused.get(-e[1], -0.0), -e[1]))

    chosen, per_group = [], {}
    for entry in ranked:  # group maxima only tighten as members join: one pass suffices
        if len(chosen) == K:
            break
        group = entry[4]
        if group is not None:  # a record without a group value is never refused
            if per_group.get(group, 0) >= GROUP_MAX:
                continue
            per_group[group] = per_group.get(group, 0) + 1
        chosen.append(str(-entry[1]))
    return chosen


def engine_for(groups):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b", scale="unbounded")
    if groups:
        engine.max_per_group("g", GROUP_MAX)
    engine.rejections("count")
    return engine


def best_of(repeat, make_input, run):
    best, result = math.inf, None
    for _ in range(repeat):
        data = make_input()
        gc.collect()
        start = time.perf_counter()
        result = run(data)
        best = min(best, time.perf_counter() - start)
    return best, result


def measure(n, order, shape, groups, repeat, streamed):
    """One line of the table: both runs over the same input, ids checked, times printed."""
    rows = make_rows(n, n, order)

    def make_input():
        items = (candidate(row, shape, groups) for row in rows)
        return items if streamed else list(items)

    engine = engine_for(groups)
    engine_time, outcome = best_of(repeat, make_input, engine.run)
    python_time, expected = best_of(repeat, make_input, lambda c: python_run(c, groups))
    got = [r.id for r in outcome.ranked]
    if got != expected:
        raise SystemExit(f"ranked ids differ for n={n} {order} {shape} groups={groups}:\n"
                         f"  engine {got}\n  python {expected}")
    assert outcome.trace["input_count"] == n and outcome.is_complete()
    source = "generator" if streamed else "list"
    line = (f"{n:>9} {order:>9} {shape:>6} {str(groups):>6} {source:>9} {engine_time:>8.3f} "
            f"{python_time:>8.3f} {python_time / engine_time:>5.1f}x {n / engine_time:>11,.0f}")
    if streamed:
        gen_time, _ = best_of(repeat, make_input, lambda c: sum(1 for _ in c))
        net = (python_time - gen_time) / max(engine_time - gen_time, 1e-9)
        line += f" {gen_time:>7.3f} {net:>8.1f}x"
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--list-limit", type=int, default=200_000)
    args = parser.parse_args()

    print(f"korvane {korvane.__version__}; best of {args.repeat}; times in seconds")
    print(f"{'n':>9} {'order':>9} {'scores':>6} {'groups':>6} {'input':>9} {'engine':>8} "
          f"{'python':>8} {'ratio':>6} {'engine/s':>11} {'gen':>7} {'net ratio':>9}")
    for n in args.sizes:
        for order in ("random", "ascending"):
            for shape in ("dict", "list"):
                for groups in (False, True):
                    measure(n, order, shape, groups, args.repeat, n > args.list_limit)
    print("ranked ids agreed with the pure-Python run in every configuration")


if __name__ == "__main__":
    main()
