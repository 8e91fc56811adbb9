"""Every script in examples/ runs on small data and says what it promises.

Scripts that need the examples extra skip without it; scripts for the column, ranked-list
and shortlist methods skip until the module has them."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import korvane

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def needs(*modules):
    missing = [m for m in modules if importlib.util.find_spec(m) is None]
    return pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)} "
                              "(pip install '.[examples]')")


def needs_method(name, keyword=None):
    method = getattr(korvane.Engine, name, None)
    built = method is not None and (
        keyword is None or f"{keyword}=" in (method.__text_signature__ or ""))
    what = name if keyword is None else f"{name}({keyword}=...)"
    return pytest.mark.skipif(not built, reason=f"korvane.Engine.{what} is not built yet")


def run(script, *args, cwd):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                            cwd=cwd, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def test_hybrid_search_answers_its_headline_query(tmp_path):
    out = run("hybrid_search.py", cwd=tmp_path).stdout
    table = [line.split()[1] for line in out.splitlines() if re.match(r" ?\d+ \S", line)]
    assert "csv.reader" in table[:3], out
    assert "complete:  True" in out


def test_quickstart(tmp_path):
    assert run("quickstart.py", cwd=tmp_path).stdout.startswith("1 csv.reader ")


def test_rag_context_calls_the_reranker_once_and_keeps_to_the_budget(tmp_path):
    out = run("rag_context.py", "how do I compare two sequences", 200, cwd=tmp_path).stdout
    assert "reranker calls: 1 " in out
    used = int(re.search(r"packed \d+ passages, (\d+) of 200 tokens", out).group(1))
    assert 0 < used <= 200
    assert "difflib" in out


def test_diversity_covers_more_topics_than_the_plain_top_ten(tmp_path):
    out = run("diversity.py", 5000, cwd=tmp_path).stdout
    plain = int(re.search(r"top 10 by relevance: (\d+) topics", out).group(1))
    diverse, most = map(int, re.search(r"diverse top 10: (\d+) topics, \d+ sources, at most "
                                       r"(\d+) from one source", out).groups())
    assert diverse > plain and most <= 2


@needs("tqdm")
def test_progress_bar_wraps_the_stream(tmp_path):
    result = run("progress.py", 20000, cwd=tmp_path)
    assert "read 20000, kept 10, dropped 19990, complete: True" in result.stdout
    assert "100%" in result.stderr


@needs("matplotlib")
def test_tail_mass_picture(tmp_path):
    png = tmp_path / "tail_mass.png"
    out = run("tail_mass_plot.py", png, 5000, cwd=tmp_path).stdout
    assert "fallback=False" in out
    assert png.read_bytes().startswith(b"\x89PNG")


@needs_method("run_lists", "threads")
@needs("numpy", "rank_bm25", "sklearn")
def test_hybrid_lists(tmp_path):
    out = run("hybrid_lists.py", "compress data with gzip", cwd=tmp_path).stdout
    assert "1. gzip." in out and "complete: True" in out


@needs_method("run_columns", "threads")
@needs("numpy", "pandas", "polars", "pyarrow")
def test_columns(tmp_path):
    out = run("columns.py", 20000, cwd=tmp_path).stdout
    assert "the same top 10 from numpy, pandas and polars columns" in out
    assert "query 3: 20 candidates" in out


@needs_method("run_shortlists")
@needs("numpy", "pandas", "dask", "distributed")
def test_dask_shortlists(tmp_path):
    out = run("dask_shortlists.py", 20000, 4, cwd=tmp_path).stdout
    assert "rows read: 20000; complete: True; same as one run over all rows: True" in out
