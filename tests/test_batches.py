"""Batches of queries: run_columns and run_lists over queries x depth give, query by query,
the single-query call's outcome; bad input stops the batch before any query runs."""
import pytest

import korvane

np = pytest.importorskip("numpy")


def described(outcome):
    return ([(r.id, r.fused, r.candidate, r.to_json()) for r in outcome.ranked],
            [(r.id, r.candidate, r.reason, r.detail, r.fused) for r in outcome.rejected],
            outcome.rejected_counts, outcome.selection, outcome.trace["input_count"])


def engine(calls=None):
    e = korvane.Engine()
    e.scorer("a")
    e.scorer("b", scale="unbounded")
    if calls is not None:
        # The candidates of a column run are row numbers; the score depends on them.
        e.scorer("c", cost="expensive",
                 fn=lambda pool: calls.append(list(pool)) or [(c % 7) / 7 for c in pool])
    e.max_per_group("g", 2)
    e.budget_top_k(4)
    e.pool_multiplier(3)
    e.rejections("keep")
    return e


# Even seeds have an axis with a callback (stage 2 on the calling thread), odd ones none (both
# stages on the batch's threads); one thread and three give the same outcomes.
@pytest.mark.parametrize("seed", range(12))
def test_a_batch_is_its_queries_run_one_by_one(seed):
    rng = np.random.default_rng(seed)
    queries, depth = int(rng.integers(1, 14)), int(rng.integers(0, 30))
    ids = rng.integers(0, 25, (queries, depth)).astype(np.int64)
    ids[rng.random((queries, depth)) < 0.2] = -1
    a = rng.choice(np.array([0.1, 0.5, 0.9, np.nan], np.float32), (queries, depth))
    b = rng.random((queries, depth)).astype(np.float32)
    g = rng.integers(0, 3, (queries, depth))
    calls = [] if seed % 2 == 0 else None
    e = engine(calls)

    batches = [e.run_columns(ids, {"a": a, "b": b}, groups={"g": g}, pad_id=-1, threads=threads)
               for threads in (1, 3)]
    assert [len(batch) for batch in batches] == [queries] * 2
    if calls is not None:
        assert len(calls) == 2 * queries and calls[:queries] == calls[queries:]
    for q in range(queries):
        single = e.run_columns(ids[q], {"a": a[q], "b": b[q]}, groups={"g": g[q]}, pad_id=-1)
        assert [described(batch[q]) for batch in batches] == [described(single)] * 2

    ragged = [list(row[: rng.integers(0, depth + 1)]) for row in ids.tolist()]
    by_lists = e.run_lists({"a": (ragged, [list(map(float, a[q][: len(r)]))
                                           for q, r in enumerate(ragged)]),
                            "b": (ragged, None)}, pad_id=-1)
    per_query = e.run_lists([{"a": (r, list(map(float, a[q][: len(r)]))), "b": (r, None)}
                             for q, r in enumerate(ragged)], pad_id=-1)
    for q, r in enumerate(ragged):
        single = e.run_lists({"a": (r, list(map(float, a[q][: len(r)]))), "b": (r, None)},
                             pad_id=-1)
        assert described(by_lists[q]) == described(single) == described(per_query[q])

    # Native integer ids: the queries run on the batch's threads.
    native = [e.run_lists({"a": (ids, a), "b": (ids, None)}, pad_id=-1, threads=threads)
              for threads in (1, 3)]
    for q in range(queries):
        single = e.run_lists({"a": (ids[q], a[q]), "b": (ids[q], None)}, pad_id=-1)
        assert [described(batch[q]) for batch in native] == [described(single)] * 2
        # The native ids' join against the general one, over the same ids as Python ints.
        given = ids[q].tolist()
        assert described(e.run_lists({"a": (given, a[q].tolist()), "b": (given, None)},
                                     pad_id=-1)) == described(single)


class ReversedRows(np.ndarray):
    """An array whose rows, as its indexing gives them, are copies of its buffer's reversed."""

    def __getitem__(self, index):
        row = np.asarray(self)[index]
        return row[::-1].copy() if isinstance(index, int) else row


# A batch of two-dimensional buffers reads every query's rows where they lie: in C or
# Fortran order, reversed, strided, or in other widths, each outcome is the single call's on
# that query's rows as the array's indexing gives them, even where those are not its
# buffer's rows.
@pytest.mark.parametrize("layout", ["c", "fortran", "reversed", "strided", "widths", "indexing"])
def test_a_batch_of_buffers_reads_each_query_from_its_own_rows(layout):
    rng = np.random.default_rng(len(layout))
    queries, depth = 9, 24
    ids = rng.integers(0, 40, (queries, 2 * depth)).astype(np.int64)
    ids[rng.random(ids.shape) < 0.1] = -1
    a = rng.random((queries, 2 * depth)).astype(np.float32)
    a[rng.random(a.shape) < 0.1] = np.nan
    b_ids = rng.integers(0, 40, (queries, 2 * depth)).astype(np.int64)
    if layout == "fortran":
        ids, a, b_ids = (np.asfortranarray(x) for x in (ids, a, b_ids))
    elif layout == "reversed":
        ids, a, b_ids = ids[::-1, ::-1], a[::-1, ::-1], b_ids[::-1]
    elif layout == "strided":
        ids, a, b_ids = ids[:, ::2], a[:, ::2], b_ids[::1, 1::2]
    elif layout == "widths":
        ids, a = ids.astype(np.int32), a.astype(np.float64)
    elif layout == "indexing":
        ids, a = ids.view(ReversedRows), a.view(ReversedRows)
    e = engine(None)
    for threads in (1, 2):
        batch = e.run_lists({"a": (ids, a), "b": (b_ids, None)}, pad_id=-1, threads=threads)
        assert len(batch) == queries
        for q in range(queries):
            single = e.run_lists({"a": (ids[q], a[q]), "b": (b_ids[q], None)}, pad_id=-1)
            assert described(batch[q]) == described(single)


def test_a_batch_mixing_native_and_text_ids_runs_each_query_as_alone():
    # The text ids keep the batch on the calling thread; the native query's lists, left
    # unjoined for the threads, are joined there all the same.
    e = engine(None)
    queries = [{"a": (np.array([3, 1, 2], np.int64), np.array([0.2, 0.9, 0.5], np.float32)),
                "b": (np.array([2, 7], np.int64), None)},
               {"a": (["x", "y"], [0.4, 0.1]), "b": (["y"], None)}]
    for got, query in zip(e.run_lists(queries), queries):
        assert described(got) == described(e.run_lists(query))


def test_bad_input_stops_the_batch_before_any_query_runs():
    calls = []
    e = engine(calls)
    ids = [[1, 2, 3], [4, 5], [6, 7, 8]]
    scores = [[0.1, 0.2, 0.3], [0.4, 0.5], [0.6, 0.7]]  # the last query lacks a score
    with pytest.raises(ValueError, match="길이가 다르다"):
        e.run_columns(ids, {"a": scores, "b": scores})
    assert calls == []
    with pytest.raises(ValueError, match="threads 는 1 이상"):
        e.run_columns(ids[:1], {"a": scores[:1]}, threads=0)
