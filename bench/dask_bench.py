"""Partitions on a Dask cluster against one run: 10^7 rows (10^5 with --quick) in 8
partitions, shortlisted by shortlist_columns on a 2-worker LocalCluster of worker processes
and merged by run_shortlists, against one run_columns over all rows. Both give the same
ranked ids and candidates (asserted). Prints wall times, and what the merge itself costs.

    PYTHONPATH=$PWD/build/ext python bench/dask_bench.py [--rows N] [--partitions P] [--quick]
"""
import argparse
import os
import pathlib
import pickle
import time

import numpy as np

import korvane


def make_engine():
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b", scale="unbounded")
    engine.max_per_group("g", 2)
    engine.rejections("count")
    return engine


def shortlist_part(bounds, ids, a, b, g):
    lo, hi = bounds
    part = make_engine().shortlist_columns(ids[lo:hi], {"a": a[lo:hi], "b": b[lo:hi]},
                                           groups={"g": g[lo:hi]}, row_offset=lo)
    return pickle.dumps(part)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rows = 100_000 if args.quick else args.rows

    import dask.bag as db
    from dask.distributed import Client, LocalCluster

    # Worker processes import the same korvane as this one.
    here = str(pathlib.Path(korvane.__file__).resolve().parent)
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [here, *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))])

    rng = np.random.default_rng(1)
    ids = rng.permutation(rows).astype(np.int64)
    a = rng.random(rows).astype(np.float32)
    b = (rng.random(rows) * 20).astype(np.float32)
    g = rng.integers(0, 1000, rows)

    start = time.perf_counter()
    whole = make_engine().run_columns(ids, {"a": a, "b": b}, groups={"g": g})
    one_run = time.perf_counter() - start

    cuts = np.linspace(0, rows, args.partitions + 1).astype(int)
    bounds = list(zip(cuts[:-1].tolist(), cuts[1:].tolist()))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        scattered = client.scatter([ids, a, b, g], broadcast=True)
        client.run(lambda: None)  # workers up before the clock starts
        start = time.perf_counter()
        parts = db.from_sequence(bounds, npartitions=len(bounds)).map(
            shortlist_part, *scattered).compute()
        shortlisted = time.perf_counter() - start
    start = time.perf_counter()
    merged = make_engine().run_shortlists(pickle.loads(p) for p in parts)
    merge = time.perf_counter() - start

    same = [(r.id, r.candidate) for r in merged.ranked] == [(r.id, r.candidate)
                                                            for r in whole.ranked]
    assert same and merged.trace["input_count"] == rows
    size = sum(len(p) for p in parts)
    print(f"{rows:,} rows, {len(parts)} partitions on 2 worker processes; same outcome: {same}")
    print(f"| one run_columns over all rows | {one_run:.3f} s |")
    print(f"| shortlists on the cluster (wall) | {shortlisted:.3f} s |")
    print(f"| unpickling and merging {len(parts)} shortlists ({size:,} bytes) | "
          f"{merge * 1e3:.1f} ms |")


if __name__ == "__main__":
    main()
