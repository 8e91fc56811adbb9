"""Fusing ranked lists for a batch of queries: korvane against numpy and a fusion library.

1,000 queries, each with two lists of 1,000 (int64 ids drawn per query from 3,000, float32
scores, sorted best first with equal scores by smaller id), fused with rrf k 60, top 10,
axes "bm25" and "dense", a pool that holds every doc. The alternatives:

- numpy over all queries at once: the ids of both lists sorted per query (stable, so an id
  in both lists has its list-1 entry first) give each id a dense position; 1/(rank + 60) in
  float32 is summed per id in axis order; one partition per query of an int64 key (fused
  score above position) gives the top 10, ties by smaller id;
- a loop over the queries of a Python join into candidate dicts plus Engine.run (the join
  is that of bench/lists_bench.py);
- ranx's rrf (a numba-based library from PyPI), when installed: its first call (JIT compile,
  or loading its on-disk cache) is shown apart, then its time from the arrays (building its
  input dicts and Runs) and its fuse alone. It runs threads, so its CPU time sums them; its
  wall time is shown too. Its ranks come from its own sort and its sums are in float64, so
  only ids are compared with it, and any query where it differs is checked to differ only
  among ids tied on the fused score.

numpy's top 10 per query equals the loop's on a sample of queries (ids and fused bits) before
any figure is printed. When Engine.run_lists takes 2-D input ({"bm25": (ids2d, s2d), ...}
returning one outcome per query) it is checked and timed as well. Drops are counted, not
kept. CPU time of the process, best of 5 (best of 3 for the slow loops).

    PYTHONPATH=build/ext python bench/batch_bench.py [--queries 1000] [--length 1000]
    PYTHONPATH=build/ext python bench/batch_bench.py --quick

ranx lives outside the project: `pip install ranx` into a venv of your own to include it.
"""

import argparse
import os
import time
import warnings

import numpy as np

import korvane

from common import K, cpu_ns, describe_build, faster, markdown_table, show_ns, wall_ns
from lists_bench import AXES, join, lists_engine
from np_common import float_bits, order_key, rrf_terms


def make_batch(queries, length, seed):
    """Per list: (ids, scores), each (queries, length), rows best first, ties by smaller id."""
    rng = np.random.default_rng(seed)
    lists = []
    for scale in (30.0, 1.0):
        ids = np.argsort(rng.random((queries, 3 * length)), axis=1)[:, :length].astype(np.int64)
        scores = rng.random((queries, length), dtype=np.float32) * np.float32(scale)
        order = np.lexsort((ids, -scores), axis=-1)
        lists.append((np.take_along_axis(ids, order, 1), np.take_along_axis(scores, order, 1)))
    return lists


def numpy_batch(lists, k=K):
    """(ids, fused), each (queries, k): rrf of the two lists, vectorised over queries."""
    (ids1, _), (ids2, _) = lists
    all_ids = np.concatenate([ids1, ids2], axis=1)
    by_id = np.argsort(all_ids, axis=1, kind="stable")
    ids = np.take_along_axis(all_ids, by_id, 1)  # dense position = place in id order
    terms = np.concatenate([rrf_terms(ids1.shape[1]), rrf_terms(ids2.shape[1])])[by_id]
    repeat = ids[:, 1:] == ids[:, :-1]
    fused = terms.copy()  # -0.0 + t is t; a pair adds its list-2 term second, in float32
    fused[:, :-1][repeat] += terms[:, 1:][repeat]
    key = (~order_key(fused)).astype(np.int64) << 32
    key |= np.arange(ids.shape[1])
    key[:, 1:][repeat] = np.iinfo(np.int64).max  # an id's second entry is never picked
    top = np.partition(key, k - 1, axis=1)[:, :k]
    top.sort(axis=1)
    top &= 0xFFFFFFFF
    return np.take_along_axis(ids, top, 1), np.take_along_axis(fused, top, 1)


def query(lists, q):
    return [(ids[q], scores[q]) for ids, scores in lists]


def loop_of_runs(engine, lists):
    return [engine.run(join(query(lists, q))) for q in range(lists[0][0].shape[0])]


def result(outcome):
    return [r.id for r in outcome.ranked], float_bits([r.fused for r in outcome.ranked])


def numpy_result(top, q):
    ids, fused = top
    return [str(i) for i in ids[q].tolist()], float_bits(fused[q])


def check(got, expected, what):
    if got != expected:
        raise SystemExit(f"{what} differs from numpy:\n  korvane {got}\n  numpy   {expected}")


def ranx_rows(lists, top, numpy_ns, repeat):
    """ranx timed and compared by ids, or one row saying why it is missing."""
    try:
        import ranx
        # Its own narrowing warning from numba, about query counts; not ours to act on.
        warnings.filterwarnings("ignore", message="unsafe cast from uint64 to int64")
    except ImportError:
        return [["ranx rrf", "not installed in this interpreter (`pip install ranx`)", ""]], ""
    queries = lists[0][0].shape[0]

    def as_dict(ids, scores):
        return {str(q): dict(zip(map(str, ids[q].tolist()), scores[q].tolist()))
                for q in range(queries)}

    def from_arrays():
        runs = [ranx.Run(as_dict(ids, scores), name=axis)
                for axis, (ids, scores) in zip(AXES, lists)]
        return top10(ranx.fuse(runs, norm=None, method="rrf", params={"k": 60}))

    def top10(fused):
        per_query = fused.to_dict()
        return {q: sorted(docs, key=docs.get, reverse=True)[:K] for q, docs in per_query.items()}

    start, wall = time.process_time_ns(), time.perf_counter()
    got = from_arrays()
    first_ns, first_wall = time.process_time_ns() - start, time.perf_counter() - wall
    same = tied = 0
    for q in range(queries):
        ours = [str(i) for i in top[0][q].tolist()]
        theirs = got[str(q)]
        if theirs == ours:
            same += 1
            continue
        # Allowed only where the two orders part among ids with equal fused scores.
        fused = {}
        for ids, _ in lists:
            for rank, i in enumerate(ids[q].tolist(), 1):
                fused[str(i)] = np.float32(fused.get(str(i), np.float32(-0.0)) +
                                           np.float32(1) / np.float32(rank + 60))
        if [fused[i] for i in theirs] != [fused[i] for i in ours]:
            raise SystemExit(f"ranx differs beyond ties in query {q}:\n  ranx {theirs}\n"
                             f"  ours {ours}")
        tied += 1
    runs = [ranx.Run(as_dict(ids, scores), name=axis) for axis, (ids, scores) in zip(AXES, lists)]
    total_ns = cpu_ns(from_arrays, repeat=repeat)
    fuse_ns = cpu_ns(lambda: ranx.fuse(runs, norm=None, method="rrf", params={"k": 60}),
                     repeat=repeat)
    wall = time.perf_counter()
    from_arrays()
    wall = time.perf_counter() - wall
    agreement = (f"ranx's top-10 ids equal numpy's in {same} of {queries} queries"
                 + (f"; in the other {tied} they differ only among ids tied on the fused score"
                    if tied else ""))
    return [
        ["ranx rrf, first call (JIT or its cache)", show_ns(first_ns),
         f"wall {first_wall:.2f} s"],
        ["ranx rrf from the arrays (its dicts and Runs included)", show_ns(total_ns),
         faster(total_ns, numpy_ns, "numpy", "ranx")],
        ["ranx `fuse` alone, Runs built beforehand", show_ns(fuse_ns),
         faster(fuse_ns, numpy_ns, "numpy", "ranx")],
    ], agreement + f"; one ranx call from the arrays took {wall:.2f} s of wall time"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--length", type=int, default=1_000)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke test")
    args = parser.parse_args()
    if args.quick:
        args.queries, args.length = 20, 100
    min_sample_ns = 1_000_000 if args.quick else 20_000_000
    lists = make_batch(args.queries, args.length, 11)
    engine = lists_engine("count")
    engine.pool_multiplier(-(-2 * args.length // K))  # a pool that holds every doc

    top = numpy_batch(lists)
    sample = range(0, args.queries, max(1, args.queries // 50))
    for q in sample:
        check(result(engine.run(join(query(lists, q)))), numpy_result(top, q), f"query {q}")

    mapping = {axis: pair for axis, pair in zip(AXES, lists)}
    run_lists_note = "`Engine.run_lists` is not in this build"
    batched = None
    if hasattr(korvane.Engine, "run_lists"):
        try:
            batched = engine.run_lists(mapping)
        except (TypeError, ValueError) as error:
            run_lists_note = f"`Engine.run_lists` does not take 2-D input: {error}"
        else:
            if not isinstance(batched, list) or len(batched) != args.queries:
                raise SystemExit("run_lists over 2-D input did not return one outcome per query")
            for q in range(args.queries):
                check(result(batched[q]), numpy_result(top, q), f"run_lists, query {q}")

    numpy_ns = cpu_ns(lambda: numpy_batch(lists), min_sample_ns=min_sample_ns)
    loop_ns = cpu_ns(lambda: loop_of_runs(engine, lists), repeat=3)
    table = [
        [f"numpy, all {args.queries:,} queries at once", show_ns(numpy_ns), "—"],
        ["loop of Python join + `Engine.run`", show_ns(loop_ns),
         faster(loop_ns, numpy_ns, "numpy")],
    ]
    if batched is not None:
        batch_ns = cpu_ns(lambda: engine.run_lists(mapping), min_sample_ns=min_sample_ns)
        table.append(["`Engine.run_lists`, 2-D input", show_ns(batch_ns),
                      f"{faster(batch_ns, numpy_ns, 'numpy')}; against the loop, "
                      f"{faster(batch_ns, loop_ns, 'the loop', 'run_lists')}"])
        # The batch spreads its queries over every core: its wall time is what a caller waits.
        cores = os.cpu_count() or 1
        numpy_wall = wall_ns(lambda: numpy_batch(lists))
        batch_wall = wall_ns(lambda: engine.run_lists(mapping))
        table.append([f"wall time: numpy / `Engine.run_lists` on {cores} cores",
                      f"{show_ns(numpy_wall)} / {show_ns(batch_wall)}",
                      faster(batch_wall, numpy_wall, "numpy", "run_lists")])
    else:
        table.append([run_lists_note, "", ""])
    rows, agreement = ranx_rows(lists, top, numpy_ns, 3)
    table += rows

    print(describe_build(korvane))
    print(f"{args.queries:,} queries × 2 lists × {args.length:,} docs, rrf k 60, top {K}; "
          f"CPU time, best of 5 (loops best of 3); numpy's top 10 equal to korvane's on "
          f"{len(sample)} sampled queries\n")
    print(markdown_table(["batch", "time", "against numpy"], table))
    if agreement:
        print(f"\n{agreement}.")


if __name__ == "__main__":
    main()
