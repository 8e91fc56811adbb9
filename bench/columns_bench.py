"""The run over columns: the strongest numpy version of the job against korvane.

The job: rows given as columns (int64 ids, float32 scores a and b with NaN for a missing
value, an int64 group g), axes a (unit, the admission axis) and b (unbounded), rrf k 60,
at most 2 per group, top 10, pool multiplier 32. The numpy version does what the engine does:
keep the 320 best rows by a (NaN counts as -inf; ties by smaller id) with argpartition, rank
the pool per axis (rows without a value get no term), fuse in float32 from -0.0 in axis
order, rank by fused score (ties by smaller id) and take at most 2 per group until 10.

It is first checked against Engine.run over the equivalent dicts at 10^4-10^5 rows, on random
data and on data built to put ties, signed zeros and missing values at the pool's edge (same
ranked ids, same fused bits). Then it is timed alone at 10^7 rows, and Engine.run over dicts
at 10^6 rows gives the dict path's cost per row. When the module has Engine.run_columns, that
is checked against numpy at full size and timed too, with its ratio to numpy and its per-row
ratio to the dict path.

Drops are counted, not kept (rejections("count")), since numpy keeps none; --retention keep
measures the default instead. CPU time of the process, best of 5.

    PYTHONPATH=build/ext python bench/columns_bench.py [--rows 10000000] [--dict-rows 1000000]
    PYTHONPATH=build/ext python bench/columns_bench.py --quick
"""

import argparse

import numpy as np

import korvane

from common import GROUP_MAX, K, MULTIPLIER, cpu_ns, describe_build, faster, job_engine
from common import markdown_table, show_ns
from np_common import best_first, first_per_group, float_bits, order_key, pool_rows, rrf_terms


def numpy_run(ids, a, b, g, k=K, pool=K * MULTIPLIER, cap=GROUP_MAX, sampled=True):
    """The job in numpy: (ranked ids, their fused scores). `sampled` narrows the rows by a cut
    taken from a sample before argpartition; without it argpartition sees every row."""
    chosen = pool_rows(a, ids, pool, sampled=sampled)
    pool_ids = ids[chosen]
    fused = np.full(len(chosen), -0.0, np.float32)
    terms = rrf_terms(len(chosen))
    for values in (a[chosen], b[chosen]):
        present = np.flatnonzero(~np.isnan(values))
        ranked = present[best_first(order_key(values[present]), pool_ids[present])]
        fused[ranked] += terms[:len(ranked)]
    ranking = best_first(order_key(fused), pool_ids)
    picked = ranking[first_per_group(g[chosen][ranking], k, cap)]
    return pool_ids[picked], fused[picked]


def make_columns(n, seed, kind="random"):
    rng = np.random.default_rng(seed)
    ids = rng.permutation(n).astype(np.int64) * 3 + 5  # not in row order, not contiguous
    a = rng.random(n, dtype=np.float32)
    b = rng.random(n, dtype=np.float32) * np.float32(20.0)
    if kind == "ties":  # coarse values: the pool's edge and the ranks fall inside ties
        a = np.floor(a * 64) / np.float32(64)
        b = np.floor(b * 4) / np.float32(4)
    elif kind == "zeros":  # the edge falls among 0.0 and -0.0, which the total order splits
        a = rng.choice(np.array([0.0, -0.0, 1.0, -1.0], np.float32), n, p=[.3, .3, .01, .39])
    elif kind == "sparse":  # fewer present admission values than the pool holds
        a[rng.random(n) < 0.99] = np.nan
    a[rng.random(n) < 0.01] = np.nan
    b[rng.random(n) < 0.05] = np.nan
    g = rng.integers(0, 20, n, dtype=np.int64)
    return ids, a.astype(np.float32), b.astype(np.float32), g


def as_dicts(ids, a, b, g):
    return [{"id": i, "scores": {"a": x, "b": y}, "groups": {"g": z}}
            for i, x, y, z in zip(ids.tolist(), a.tolist(), b.tolist(), g.tolist())]


def same(outcome, expected, what):
    want_ids, want_fused = expected
    got = ([r.id for r in outcome.ranked], float_bits([r.fused for r in outcome.ranked]))
    want = ([str(i) for i in want_ids.tolist()], float_bits(want_fused))
    if got != want:
        raise SystemExit(f"{what} differs from numpy:\n  korvane {got}\n  numpy   {want}")
    assert outcome.is_complete()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--dict-rows", type=int, default=1_000_000)
    parser.add_argument("--retention", choices=["count", "keep"], default="count")
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke test")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.dict_rows = 100_000, 20_000
    check_rows = [10_000, 100_000] if not args.quick else [10_000]
    engine = job_engine(korvane, retention=args.retention)
    columnar = hasattr(korvane.Engine, "run_columns")

    for n in check_rows:
        for seed, kind in enumerate(["random", "ties", "zeros", "sparse"]):
            ids, a, b, g = make_columns(n, seed, kind)
            expected = numpy_run(ids, a, b, g)
            plain = numpy_run(ids, a, b, g, sampled=False)
            assert float_bits(expected[1]) == float_bits(plain[1])
            assert expected[0].tolist() == plain[0].tolist()
            same(engine.run(as_dicts(ids, a, b, g)), expected, f"Engine.run, {n} {kind} rows")
            if columnar:
                same(engine.run_columns(ids, {"a": a, "b": b}, groups={"g": g}), expected,
                     f"Engine.run_columns, {n} {kind} rows")

    ids, a, b, g = make_columns(args.rows, 99)
    expected = numpy_run(ids, a, b, g)
    assert expected[0].tolist() == numpy_run(ids, a, b, g, sampled=False)[0].tolist()
    numpy_ns = cpu_ns(lambda: numpy_run(ids, a, b, g))
    plain_ns = cpu_ns(lambda: numpy_run(ids, a, b, g, sampled=False))
    numpy_row = numpy_ns / args.rows
    m = args.dict_rows
    build_ns = cpu_ns(lambda: as_dicts(ids[:m], a[:m], b[:m], g[:m]), repeat=3)
    items = as_dicts(ids[:m], a[:m], b[:m], g[:m])
    same(engine.run(items), numpy_run(ids[:m], a[:m], b[:m], g[:m]), f"Engine.run, {m} rows")
    dict_ns = cpu_ns(lambda: engine.run(items))
    del items
    dict_row = dict_ns / m
    table = [
        [f"numpy, {args.rows:,} rows (sampled cut, then argpartition)", show_ns(numpy_ns),
         f"{numpy_row:.2f} ns", "—"],
        [f"numpy, {args.rows:,} rows (argpartition over every row)", show_ns(plain_ns),
         f"{plain_ns / args.rows:.2f} ns", f"{plain_ns / numpy_ns:.1f}× slower"],
        [f"`Engine.run` over {m:,} dicts (made beforehand)", show_ns(dict_ns),
         f"{dict_row:,.1f} ns", "per row: " + faster(dict_row, numpy_row, "numpy")],
        [f"making those {m:,} dicts from the columns", show_ns(build_ns),
         f"{build_ns / m:,.1f} ns", "—"],
    ]
    if columnar:
        def run_columns():
            return engine.run_columns(ids, {"a": a, "b": b}, groups={"g": g})

        same(run_columns(), expected, f"Engine.run_columns, {args.rows} rows")
        columns_ns = cpu_ns(run_columns)
        columns_row = columns_ns / args.rows
        table.append([f"`Engine.run_columns`, {args.rows:,} rows", show_ns(columns_ns),
                      f"{columns_row:,.2f} ns",
                      f"{faster(columns_ns, numpy_ns, 'numpy')}; per row, "
                      f"{faster(columns_row, dict_row, 'the dict path', 'columns')}"])
    else:
        table.append(["`Engine.run_columns`", "not in this build", "", ""])

    print(describe_build(korvane))
    print(f"CPU time, best of 5; rejections(\"{args.retention}\"); numpy {np.__version__}; results "
          f"equal to numpy's (ids and fused bits) at {', '.join(map(str, check_rows))} rows "
          f"on random, tied, signed-zero and sparse data, and at {m:,} rows\n")
    print(markdown_table(["job", "time", "per row", "against numpy"], table))


if __name__ == "__main__":
    main()
