"""Fusing two retrievers' ranked lists for one query: korvane against a numpy rrf.

Two lists of 1,000 (int64 ids drawn from 3,000, so they overlap partly; float32 scores; each
sorted best first, equal scores by smaller id, which is the engine's order) are fused with
rrf k 60 over axes "bm25" and "dense" (both cheap), top 10, with a pool multiplier of 200 so
that the pool holds every id. The alternatives:

(a) a plain Python join of the lists into candidate dicts (list 1's order, then list 2's new
    ids; an id missing from a list has no value on that axis) and Engine.run over them;
(b) rrf in numpy: both lists' ids sorted together (stable, so an id in both has its list-1
    entry first), 1/(position + 60) in float32 summed over each pair in axis order, and the
    top 10 by fused score, ties by smaller id, from one partition of a combined int64 key.

Both give the same ranked ids and fused bits (checked first, also on lists full of ties).
When the module has Engine.run_lists, it is checked and timed as well. Drops are counted,
not kept (rejections("count")), since numpy keeps none. CPU time of the process, best of 5.

    PYTHONPATH=build/ext python bench/lists_bench.py [--length 1000] [--quick]
"""

import argparse

import numpy as np

import korvane

from common import K, cpu_ns, describe_build, faster, markdown_table, show_ns
from np_common import float_bits, rrf_terms, top_by_position

AXES = ("bm25", "dense")


def make_list(rng, length, space, scale, tied=False):
    """One retriever's list: ids and scores, best first, equal scores by smaller id."""
    ids = rng.choice(space, length, replace=False).astype(np.int64)
    scores = rng.random(length, dtype=np.float32) * np.float32(scale)
    if tied:
        scores = np.floor(scores * 8 / scale).astype(np.float32)
    order = np.lexsort((ids, -scores))
    return ids[order], scores[order]


def lists_engine(retention):
    engine = korvane.Engine()
    engine.scorer("bm25", scale="unbounded")
    engine.scorer("dense")
    engine.pool_multiplier(200)  # 10 × 200 = 2,000: the pool holds every id of both lists
    engine.rejections(retention)
    return engine


def join(lists):
    """Candidate dicts in first-appearance order; a list's score is that axis's value."""
    candidates = {}
    for axis, (ids, scores) in zip(AXES, lists):
        for i, score in zip(ids.tolist(), scores.tolist()):
            found = candidates.get(i)
            if found is None:
                candidates[i] = {"id": i, "scores": {axis: score}}
            else:
                found["scores"][axis] = score
    return list(candidates.values())


def numpy_rrf(lists, k=K):
    """(top ids, fused scores): rrf over the two lists' positions, ties by smaller id."""
    (ids1, _), (ids2, _) = lists
    all_ids = np.concatenate([ids1, ids2])
    by_id = np.argsort(all_ids, kind="stable")  # an id in both lists: its list-1 entry first
    ids = all_ids[by_id]
    terms = np.concatenate([rrf_terms(len(ids1)), rrf_terms(len(ids2))])[by_id]
    repeat = ids[1:] == ids[:-1]
    fused = terms.copy()  # -0.0 + t is t; a pair adds its list-2 term second, in float32
    fused[:-1][repeat] += terms[1:][repeat]
    first = np.ones(len(ids), bool)
    first[1:] = ~repeat
    ids, fused = ids[first], fused[first]
    top = top_by_position(fused, k)
    return ids[top], fused[top]


def result(outcome):
    return [r.id for r in outcome.ranked], float_bits([r.fused for r in outcome.ranked])


def check(got, expected, what):
    if got != expected:
        raise SystemExit(f"{what} differs from numpy:\n  korvane {got}\n  numpy   {expected}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--length", type=int, default=1_000)
    parser.add_argument("--retention", choices=["count", "keep"], default="count")
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke test")
    args = parser.parse_args()
    min_sample_ns = 1_000_000 if args.quick else 20_000_000
    length = 100 if args.quick else args.length
    engine = lists_engine(args.retention)
    native_lists = hasattr(korvane.Engine, "run_lists")

    def as_mapping(lists):
        return dict(zip(AXES, lists))

    for seed, tied in [(1, True), (2, True), (3, False)]:
        rng = np.random.default_rng(seed)
        lists = [make_list(rng, length, 3 * length, 30.0, tied),
                 make_list(rng, length, 3 * length, 1.0, tied)]
        ids, fused = numpy_rrf(lists)
        expected = ([str(i) for i in ids.tolist()], float_bits(fused))
        check(result(engine.run(join(lists))), expected, f"join + Engine.run (seed {seed})")
        if native_lists:
            check(result(engine.run_lists(as_mapping(lists))), expected,
                  f"Engine.run_lists (seed {seed})")

    candidates = join(lists)
    union = len(candidates)

    def time(call):
        return cpu_ns(call, min_sample_ns=min_sample_ns)

    joined_ns = time(lambda: engine.run(join(lists)))
    join_ns = time(lambda: join(lists))
    run_ns = time(lambda: engine.run(candidates))
    numpy_ns = time(lambda: numpy_rrf(lists))
    table = [
        ["(a) Python join + `Engine.run`", show_ns(joined_ns),
         faster(joined_ns, numpy_ns, "numpy")],
        ["  of which the join into dicts", show_ns(join_ns), ""],
        ["  of which `Engine.run` over the dicts", show_ns(run_ns),
         faster(run_ns, numpy_ns, "numpy")],
        ["(b) numpy rrf", show_ns(numpy_ns), "—"],
    ]
    if native_lists:
        lists_ns = time(lambda: engine.run_lists(as_mapping(lists)))
        table.append(["`Engine.run_lists`", show_ns(lists_ns),
                      f"{faster(lists_ns, numpy_ns, 'numpy')}; against (a), "
                      f"{faster(lists_ns, joined_ns, '(a)', 'run_lists')}"])
    else:
        table.append(["`Engine.run_lists`", "not in this build", ""])

    print(describe_build(korvane))
    print(f"two lists of {length:,} ({union:,} distinct ids), rrf k 60, top {K}; CPU time, "
          f"best of 5; rejections(\"{args.retention}\"); same ids and fused bits as numpy\n")
    print(markdown_table(["one query", "time", "against numpy"], table))


if __name__ == "__main__":
    main()
