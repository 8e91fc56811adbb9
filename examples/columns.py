"""Scores from numpy, pandas or polars columns: run_columns reads them without a dict per row.

A table of candidates (made up here, from a fixed seed) holds an id, two score columns and a
site per row. run_columns takes the columns as they are: numpy arrays through the buffer
protocol, pandas and polars columns through the Arrow PyCapsule interface. All three give the
same outcome. Two-dimensional columns (queries x depth, as a vector index returns them) run
one query per row, as a batch; pad_id marks the empty slots of a short row.

    python examples/columns.py [rows]
"""

import sys

import numpy as np
import pandas as pd
import polars as pl

import korvane


def table(n, seed=5):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "id": np.arange(n, dtype=np.uint64),
        "bm25": rng.gamma(2.0, 2.0, n).astype(np.float32),
        "dense": rng.beta(2.0, 5.0, n).astype(np.float32),
        "site": rng.choice([f"site-{i}" for i in range(20)], n),
    })


def make_engine():
    engine = korvane.Engine()
    engine.scorer("bm25", scale="unbounded")
    engine.scorer("dense")
    engine.fuse("rrf", k=60)
    engine.max_per_group("site", 2)
    engine.rejections("count")
    return engine


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    frame = table(n)
    engine = make_engine()

    from_numpy = engine.run_columns(
        frame["id"].to_numpy(), {"bm25": frame["bm25"].to_numpy(),
                                 "dense": frame["dense"].to_numpy()},
        groups={"site": frame["site"].to_numpy()})
    from_pandas = engine.run_columns(
        frame["id"], {"bm25": frame["bm25"], "dense": frame["dense"]},
        groups={"site": frame["site"]})
    polars_frame = pl.from_pandas(frame)
    from_polars = engine.run_columns(
        polars_frame["id"], {"bm25": polars_frame["bm25"], "dense": polars_frame["dense"]},
        groups={"site": polars_frame["site"]})

    ranked = [r.id for r in from_numpy.ranked]
    assert ranked == [r.id for r in from_pandas.ranked] == [r.id for r in from_polars.ranked]
    print(f"{n} rows, the same top {len(ranked)} from numpy, pandas and polars columns:")
    for r in from_numpy.ranked:
        row = frame.iloc[int(r.id)]
        print(f"  {r.rank:>2}. id={r.id:<8} {row['site']:<8} bm25={row['bm25']:6.2f} "
              f"dense={row['dense']:.3f}  fused={r.fused:.5f}")
    print(f"  dropped: {from_numpy.rejected_counts}")

    # A vector index's answer for 4 queries, 50 deep: row q holds query q's ids and
    # similarities, best first. Query 3 found only 20; the rest of its row is padding.
    rng = np.random.default_rng(9)
    ids = rng.choice(n, size=(4, 50), replace=False).astype(np.int64)
    dense = np.sort(rng.uniform(0.3, 0.9, size=(4, 50)).astype(np.float32), axis=1)[:, ::-1]
    bm25 = frame["bm25"].to_numpy()[ids]
    ids[3, 20:] = -1
    per_query = engine.run_columns(ids, {"bm25": bm25, "dense": np.ascontiguousarray(dense)},
                                   pad_id=-1, threads=2)
    print()
    for q, outcome in enumerate(per_query):
        top = ", ".join(r.id for r in outcome.ranked[:5])
        print(f"query {q}: {outcome.trace['input_count']} candidates, top 5: {top}")


if __name__ == "__main__":
    main()
