"""Partitions on Dask: shortlist each partition where it lives, fuse the shortlists once.

Stage 1 of a run (the pool of the best candidates by the admission axis) works on any part
of the input by itself, and its result, a Shortlist, pickles. So each Dask partition is
shortlisted by shortlist_columns on a worker process, only the pickled shortlists travel,
and run_shortlists runs stage 2 (fusion, constraints, selection) once over their union. The
answer is the one a single run over all rows gives, and the counts cover every row.

    python examples/dask_shortlists.py [rows] [partitions]
"""

import pickle
import sys

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster

import korvane


def table(n, seed=11):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "id": np.arange(n, dtype=np.uint64),
        "bm25": rng.gamma(2.0, 2.0, n).astype(np.float32),
        "dense": rng.beta(2.0, 5.0, n).astype(np.float32),
        "site": rng.choice([f"site-{i}" for i in range(20)], n),
    })


def make_engine():
    """Built the same way on every worker and on the client: the configuration must match."""
    engine = korvane.Engine()
    engine.scorer("bm25", scale="unbounded")
    engine.scorer("dense")
    engine.max_per_group("site", 2)
    engine.rejections("count")
    return engine


def columns(frame):
    return (frame["id"].to_numpy(),
            {"bm25": frame["bm25"].to_numpy(), "dense": frame["dense"].to_numpy()})


def shortlist_partition(frame):
    """One partition -> one pickled Shortlist, as a one-row Series of bytes."""
    ids, scores = columns(frame)
    offset = int(frame.index[0]) if len(frame) else 0   # global row number of the first row
    shortlist = make_engine().shortlist_columns(
        ids, scores, groups={"site": frame["site"].to_numpy()}, row_offset=offset)
    return pd.Series([pickle.dumps(shortlist)], dtype=object)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
    partitions = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    frame = table(n)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster):
        blobs = (dd.from_pandas(frame, npartitions=partitions)
                 .map_partitions(shortlist_partition, meta=(None, object))
                 .compute())
    shortlists = [pickle.loads(blob) for blob in blobs]
    outcome = make_engine().run_shortlists(shortlists)

    ids, scores = columns(frame)
    single = make_engine().run_columns(ids, scores, groups={"site": frame["site"].to_numpy()})
    same = [r.id for r in outcome.ranked] == [r.id for r in single.ranked]

    print(f"{n} rows in {len(shortlists)} partitions; shortlists of "
          f"{[s.pool_size for s in shortlists]} rows, {sum(len(b) for b in blobs)} bytes pickled")
    print(f"rows read: {sum(s.input_count for s in shortlists)}; "
          f"complete: {outcome.is_complete()}; same as one run over all rows: {same}")
    for r in outcome.ranked:
        values = "  ".join(f"{axis}={value:.3f}" for axis, value in r.scores.items())
        print(f"  {r.rank:>2}. id={r.id:<8} fused={r.fused:.5f}  {values}")


if __name__ == "__main__":
    main()
