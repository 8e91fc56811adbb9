"""Shortlists: stage 1 run over parts of an input, pickled, and merged by run_shortlists,
give the run of the whole input."""
import importlib.util
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import korvane


def engine_for(config):
    policy, k, multiplier, retention, callback = config
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b", scale="unbounded")
    if callback:
        engine.scorer("c", cost="expensive", fn=lambda pool: [len(str(c["id"])) for c in pool])
    engine.max_per_group("g", 2)
    engine.unary_min("b", 0.1)
    engine.missing(policy, value=0.25) if policy == "impute" else engine.missing(policy)
    engine.budget_top_k(k)
    engine.pool_multiplier(multiplier)
    engine.rejections(*retention)
    return engine


def described(outcome):
    """Everything the outcome says but the elapsed times."""
    trace = outcome.trace
    return ([(r.id, r.fused, r.to_json(), r.candidate) for r in outcome.ranked],
            outcome.rejected_counts, outcome.selection, trace["input_count"],
            [(s["scorer"], s["calls"], s["missing"]) for s in trace["scorers"]],
            sorted((r.id, r.reason, r.detail, r.fused) for r in outcome.rejected))


values = st.one_of(st.none(), st.sampled_from([0.0, 0.1, 0.5, 0.9, 2.0]))
candidates = st.lists(st.builds(
    lambda i, a, b, g: {"id": i, "scores": {"a": a, "b": b}, "groups": {"g": g}},
    st.one_of(st.integers(0, 30), st.sampled_from(["x", "y", "10"])), values, values,
    st.sampled_from(["p", "q", None])), max_size=60)
configs = st.tuples(st.sampled_from(["skip", "impute", "reject"]), st.integers(1, 4),
                    st.integers(1, 3), st.sampled_from([("keep",), ("count",)]), st.booleans())


@settings(deadline=None)
@given(configs, candidates, st.lists(st.integers(0, 60), max_size=4))
def test_merged_pickled_parts_run_as_the_whole_input(config, items, cuts):
    engine = engine_for(config)
    bounds = [0, *sorted(min(c, len(items)) for c in cuts), len(items)]
    parts = [pickle.loads(pickle.dumps(engine.shortlist(items[lo:hi])))
             for lo, hi in zip(bounds, bounds[1:])]
    assert sum(part.input_count for part in parts) == len(items)
    merged = engine.run_shortlists(parts)
    assert described(merged) == described(engine.run(items))
    assert merged.is_complete()


def test_other_settings_and_other_objects_are_refused():
    engine = engine_for(("skip", 3, 2, ("keep",), False))
    part = engine.shortlist([{"id": 1, "scores": [0.5, 0.5]}])
    other = engine_for(("skip", 4, 2, ("keep",), False))
    with pytest.raises(ValueError, match="다른 설정의 엔진이 만든 shortlist"):
        other.run_shortlists([part])
    with pytest.raises(TypeError, match="받은 값의 형식 'dict'"):
        engine.run_shortlists([part, {}])
    assert "Shortlist" not in korvane.__all__ and type(part) is korvane.Shortlist


DASK_JOB = """
import numpy as np, dask.bag as db, korvane
from dask.distributed import Client, LocalCluster

def engine():
    e = korvane.Engine()
    e.scorer("a"); e.scorer("b", scale="unbounded"); e.max_per_group("g", 2)
    return e

def part(bounds, ids, a, b, g):
    lo, hi = bounds
    return engine().shortlist_columns(ids[lo:hi], {"a": a[lo:hi], "b": b[lo:hi]},
                                      groups={"g": g[lo:hi]}, row_offset=lo)

if __name__ == "__main__":
    rng = np.random.default_rng(5)
    n = 4000
    ids = rng.permutation(n).astype(np.int64)
    a = rng.random(n).astype(np.float32); b = rng.random(n).astype(np.float32)
    g = rng.integers(0, 30, n)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        bounds = [(0, 1000), (1000, 2100), (2100, 2101), (2101, n)]
        parts = db.from_sequence(bounds, npartitions=4).map(part, ids, a, b, g).compute()
    merged = engine().run_shortlists(parts)
    whole = engine().run_columns(ids, {"a": a, "b": b}, groups={"g": g})
    same = lambda o: ([(r.id, r.fused, r.candidate) for r in o.ranked], o.rejected_counts,
                      o.trace["input_count"])
    assert same(merged) == same(whole), (same(merged), same(whole))
    print("merged", len(parts), "partitions")
"""


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None
                    or importlib.util.find_spec("numpy") is None,
                    reason="needs dask[distributed] and numpy")
def test_partitions_on_a_dask_cluster_merge_into_one_run(tmp_path):
    script = tmp_path / "job.py"
    script.write_text(textwrap.dedent(DASK_JOB))
    # The workers are other processes: they must import this very build of korvane.
    here = str(pathlib.Path(korvane.__file__).resolve().parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [here, *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))])}
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            timeout=240, cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "merged 4 partitions" in result.stdout
