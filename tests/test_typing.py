"""The stubs as a type checker sees them: a strict mypy run over a script that uses korvane.

Positive uses are pinned with assert_type; uses that must be refused carry a
`# type: ignore[code]`, which --strict reports when no error needs ignoring.
"""

import importlib.util
import os
import pathlib
import site
import subprocess
import sys

import pytest

import korvane

ROOT = pathlib.Path(__file__).resolve().parent.parent

SCRIPT = '''
from collections.abc import Sequence
from typing import NotRequired, TypedDict, assert_type
import array
import pickle

import korvane


class Passage(TypedDict):
    id: str
    scores: dict[str, float]
    groups: dict[str, str]
    text: str
    cost: NotRequired[int]


def rerank(pool: list[Passage]) -> Sequence[float | None]:
    return [float(len(p["text"])) for p in pool]


passages: list[Passage] = [
    {"id": "a", "scores": {"bm25": 2.5}, "groups": {"site": "x"}, "text": "alpha"},
    {"id": "b", "scores": {"bm25": 1.5}, "groups": {"site": "y"}, "text": "beta", "cost": 3},
]
engine = korvane.Engine()
engine.scorer("bm25", scale="unbounded")
engine.scorer("rerank", cost="expensive", normalize="sigmoid", fn=rerank)
engine.fuse("weighted_sum", weights={"bm25": 1.0, "rerank": 0.5})
engine.missing("impute", value=0.0)
engine.rejections("sample", n=5)
engine.max_per_group("site", 1, id="one_per_site")
engine.budget_tail_mass(0.05, 10)
outcome = engine.run(passages)
assert_type(outcome, korvane.Outcome)
outcome = engine.run(iter([{"id": 7, "scores": [0.5, None]}]))
for r in outcome.ranked:
    assert_type(r.fused, float)
    assert_type(r.scores, dict[str, float | None])
    assert_type(r.fusion["terms"][0]["contribution"], float)
for d in outcome.rejected:
    assert_type(d.fused, float | None)
assert_type(outcome.rejected_counts["out_of_pool"], int)
assert_type(sum(outcome.rejected_counts.values()), int)
assert_type(outcome.selection["guarantee"], float | None)
evidence = outcome.trace["budget"]
if evidence is not None:
    assert_type(evidence["derived_k"], int)
assert_type(korvane.tail_mass(1.0, 10, 1000), float)

# Columns: one-dimensional gives one outcome, queries x depth gives one per query.
assert_type(engine.run_columns(["a", "b"], {"bm25": [2.5, 1.5]}), korvane.Outcome)
assert_type(engine.run_columns([[1, 2], [3, 0]], {"bm25": [[0.9, 0.5], [0.7, None]]}, pad_id=0,
                               threads=2), list[korvane.Outcome])
assert_type(engine.run_columns(array.array("Q", [1, 2]), {"bm25": array.array("f", [1, 0])},
                               groups={"site": ["x", "y"]}, cost=[3, 4], row_offset=10),
            korvane.Outcome)


class ArrowColumn:  # an Arrow stream may hold one column or a list column: either shape
    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return None


assert_type(engine.run_columns(ArrowColumn(), {"bm25": ArrowColumn()}),
            korvane.Outcome | list[korvane.Outcome])
lists = {"bm25": (["a", "b"], [2.5, 1.5]), "dense": (["b", "c"], None)}
assert_type(engine.run_lists(lists, groups={"site": {"a": "x"}}, cost={"a": 3},
                             cover={"a": ["t1"]}), korvane.Outcome)
assert_type(engine.run_lists([lists, lists], threads=2), list[korvane.Outcome])
assert_type(engine.run_lists({"bm25": ([[1, 2], [3, 0]], [[0.9, 0.5], [0.7, None]]),
                              "dense": ([[2, 1], [3, 0]], None)}, pad_id=0),
            list[korvane.Outcome])
parts = [engine.shortlist(passages),
         engine.shortlist_columns([1, 2], {"bm25": [0.5, 0.25]}, row_offset=2)]
total: int = sum(s.input_count + s.pool_size for s in parts)
parts = [pickle.loads(pickle.dumps(s)) for s in parts]
assert_type(engine.run_shortlists(parts), korvane.Outcome)

# Refused.
engine.scorer("x", scale="log")  # type: ignore[arg-type]
engine.fuse("mean")  # type: ignore[arg-type]
engine.run(["a", "b"])  # type: ignore[list-item]
engine.run_lists({"bm25": ["a", "b"]})  # type: ignore[dict-item]
outcome.ranked[0].rank = 2  # type: ignore[misc]
outcome.rejected_counts["out_of_poll"]  # type: ignore[index]
parts[0].pool_size = 0  # type: ignore[misc]
'''

NUMPY = '''
import numpy as np

ids = np.arange(6, dtype=np.uint64)
assert_type(engine.run_columns(ids, {"bm25": np.ones(6, dtype=np.float32)}), korvane.Outcome)
matrix = ids.reshape(2, 3)
assert_type(engine.run_columns(matrix, {"bm25": np.ones((2, 3), dtype=np.float32)}),
            list[korvane.Outcome])
assert_type(engine.run_lists({"dense": (matrix, np.ones((2, 3)))}), list[korvane.Outcome])
assert_type(engine.run_lists({"dense": (ids, np.ones(6))}), korvane.Outcome)
'''


def stub_environment():
    """Where mypy should find the stubs: for an installed korvane, the stub package installed
    beside it (proving the wheel's layout); for a build tree, the source tree's stub text."""
    home = pathlib.Path(korvane.__file__).resolve().parent
    installed = {pathlib.Path(p).resolve() for p in site.getsitepackages()}
    if home in installed:
        assert (home / "korvane-stubs" / "__init__.pyi").is_file()
        return {}
    return {"MYPYPATH": str(ROOT / "src" / "python")}


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                    reason="mypy is not installed (pip install '.[typing]')")
def test_strict_mypy_accepts_typed_uses_and_refuses_wrong_ones(tmp_path):
    script = SCRIPT + (NUMPY if importlib.util.find_spec("numpy") else "")
    (tmp_path / "use_korvane.py").write_text(script)
    env = {k: v for k, v in os.environ.items()
           if k not in ("MYPYPATH", "PYTHONPATH", "LD_PRELOAD")}
    env.update(stub_environment())
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", "3.11",
         "--cache-dir", str(tmp_path / "cache"), "use_korvane.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout
