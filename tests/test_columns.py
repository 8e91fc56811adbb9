"""Engine.run_columns and Engine.run_lists against Engine.run over the equivalent dicts.

Over random configurations (those of test_properties) and random tables whose columns come
as numpy arrays (strided, reversed, big-endian), array.array, memoryview, Python lists and,
when pyarrow is installed, Arrow arrays (sliced, chunked, dictionary-encoded, string views,
large types), both methods must give the outcome that run gives over dicts holding the
same values, candidate objects aside: every id, fused bit, evidence term, count, selection
property and trace figure. Either way every input is back at its reference count and no
Arrow memory is left held."""

import array
import collections
import gc
import math
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import korvane
from test_properties import GROUP_KEYS, build, canonical, configs, make_callback

np = pytest.importorskip("numpy", reason="numpy is a test extra: pip install '.[test]'")
try:
    import pyarrow as pa
except ImportError:  # the properties still run over numpy and Python columns
    pa = None

needs_arrow = pytest.mark.skipif(pa is None, reason="pyarrow is a test extra: pip install '.[test]'")

TEXTS = ["a", "b", "ab", "", "\u00e9", "\u4e00\u4e8c", "a longer text than twelve bytes"]
# Texts of any length in one, two and three bytes of UTF-8 (views inline up to 12 bytes).
TEXT = st.sampled_from(TEXTS) | st.text("ab \u00e9\u4e00", max_size=14)
GROUP_TEXTS = ["0", "en", "ko", "1"]
COVER_ITEMS = ["x", "y", "z", "xy"]
REALS = st.one_of(st.sampled_from([0.0, -0.0, 0.5, 1.0, -3.0, math.nan, math.inf, -math.inf,
                                   1e300, 1e-50, 3.5e38]),
                  st.floats(width=32), st.floats(-10, 10))
INTEGERS = st.one_of(st.integers(-5, 20), st.sampled_from([2**31, -(2**40), 2**53 + 1, 2**62 + 1]))


def python_values(column):
    """The values a column holds, as Python objects (Arrow nulls as None)."""
    if isinstance(column, list):
        return column
    if isinstance(column, memoryview):
        return column.obj.tolist()
    if pa is not None and isinstance(column, (pa.Array, pa.ChunkedArray)):
        return column.to_pylist()
    return column.tolist()


def absent(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


# ---------------------------------------------------------------------------------------
# Columns in every form


def numpy_forms(draw, values, dtype):
    """A numpy column holding `values` (no None), laid out in one of several ways. Values
    past a narrow float's range become infinite, as they would in any such column."""
    with np.errstate(over="ignore"):
        return laid_out(draw, values, np.dtype(dtype))


def laid_out(draw, values, dtype):
    form = draw(st.sampled_from(["plain", "strided", "reversed", "big_endian", "memoryview"]))
    if form == "strided":
        doubled = np.empty(2 * len(values), dtype)
        doubled[::2] = values
        return doubled[::2]
    if form == "reversed":
        return np.array(values[::-1], dtype)[::-1]
    if form == "big_endian" and dtype.itemsize > 1 and dtype.kind != "b":
        return np.array(values, dtype.newbyteorder(">"))
    if form == "memoryview":
        return memoryview(np.array(values, dtype))
    return np.array(values, dtype)


def arrow_forms(draw, values, arrow_type):
    """An Arrow column holding `values` (None as null): plain, sliced, chunked or
    dictionary-encoded."""
    form = draw(st.sampled_from(["plain", "sliced", "chunked", "dictionary"]))
    if form == "sliced":
        filler = [values[0]] if values else [None]
        return pa.array(filler + values + filler, arrow_type).slice(1, len(values))
    if form == "chunked":
        cut = draw(st.integers(0, len(values)))
        return pa.chunked_array([pa.array(values[:cut], arrow_type),
                                 pa.array(values[cut:], arrow_type)], arrow_type)
    if form == "dictionary" and not pa.types.is_list(arrow_type) \
            and not pa.types.is_large_list(arrow_type):
        return pa.array(values, arrow_type).dictionary_encode()
    return pa.array(values, arrow_type)


def number_column(draw, values, kind):
    """A scores, cost or integer column; `kind` is "real", "int" or "bool"."""
    forms = ["list"] + (["arrow"] if pa is not None else [])
    if kind == "real" or None not in values:
        forms += ["numpy"]
        if kind != "bool":
            forms += ["array"]
    if pa is not None and all(v is None for v in values):
        forms += ["arrow_null"]
    form = draw(st.sampled_from(forms))
    if form == "list":
        return list(values)
    if form == "arrow_null":
        return pa.nulls(len(values))
    if kind == "real":
        if form == "arrow":
            return arrow_forms(draw, values, draw(st.sampled_from([pa.float64(), pa.float32()])))
        dense = [math.nan if v is None else v for v in values]
        if form == "array":
            return array.array(draw(st.sampled_from("df")), dense)
        return numpy_forms(draw, dense, draw(st.sampled_from(["f8", "f4", "f2"])))
    if kind == "bool":
        if form == "arrow":
            return arrow_forms(draw, values, pa.bool_())
        return numpy_forms(draw, values, "?")
    small = all(v is None or -128 <= v < 128 for v in values)
    unsigned = all(v is None or v >= 0 for v in values)
    if form == "arrow":
        types = [pa.int64()] + [pa.int8()] * small + [pa.uint64()] * unsigned
        types += [pa.uint32()] * (unsigned and all(v is None or v < 2**32 for v in values))
        return arrow_forms(draw, values, draw(st.sampled_from(types)))
    if form == "array":
        return array.array(draw(st.sampled_from("q" + "Q" * unsigned)), values)
    dtypes = ["i8", "i4" if all(abs(v) < 2**31 for v in values) else "i8"]
    dtypes += ["i1"] * small + ["u8", "u2" if all(v < 2**16 for v in values) else "u8"] * unsigned
    return numpy_forms(draw, values, draw(st.sampled_from(dtypes)))


def text_column(draw, values):
    """A column of texts (None as missing)."""
    forms = ["list"] + (["arrow"] if pa is not None else []) + ["numpy"] * (None not in values)
    form = draw(st.sampled_from(forms))
    if form == "list":
        return list(values)
    if form == "numpy":
        return numpy_forms(draw, values, f"U{max([len(v) for v in values] + [1])}")
    text_type = draw(st.sampled_from([pa.string(), pa.large_string(), pa.string_view()]))
    return arrow_forms(draw, values, text_type)


def cover_column(draw, values):
    forms = ["list"] + (["arrow"] if pa is not None else [])
    if draw(st.sampled_from(forms)) == "list":
        return [v if v is None or draw(st.booleans()) else tuple(v) for v in values]
    item = draw(st.sampled_from([pa.string(), pa.large_string(), pa.string_view(),
                                 pa.dictionary(pa.int32(), pa.string())]))
    return arrow_forms(draw, values, draw(st.sampled_from([pa.list_(item), pa.large_list(item)])))


@st.composite
def id_columns(draw, n, unique=False, joinable=False):
    """An id column of n rows: integers, texts, or a Python list mixing objects (any
    objects, unless only integers and texts are wanted)."""
    kind = draw(st.sampled_from(["int", "text", "mixed"]))
    if kind == "int":
        values = draw(st.lists(st.integers(-3, 12) | st.sampled_from([2**40, 2**63 - 1]),
                               min_size=n, max_size=n, unique=unique))
        return number_column(draw, values, "int")
    if kind == "text":
        return text_column(draw, draw(st.lists(TEXT, min_size=n, max_size=n, unique=unique)))
    mixed = st.integers(-2, 8) | TEXT | st.sampled_from([True, 2**64, 2**64 - 1]) | st.builds(
        np.int64, st.integers(-2, 8)) | st.builds(np.uint8, st.integers(0, 8))
    if not joinable:
        mixed = mixed | st.sampled_from([None, 1.5])
    return draw(st.lists(mixed, min_size=n, max_size=n,
                         unique_by=(lambda v: join_key(v)) if unique else None))


def score_column(draw, n):
    kind = draw(st.sampled_from(["real", "real", "int", "bool"]))
    element = {"real": REALS, "int": INTEGERS, "bool": st.booleans()}[kind]
    values = draw(st.lists(st.none() | element, min_size=n, max_size=n))
    return number_column(draw, values, kind)


def group_column(draw, n):
    if draw(st.booleans()):
        return text_column(draw, draw(st.lists(st.none() | st.sampled_from(GROUP_TEXTS),
                                               min_size=n, max_size=n)))
    return number_column(draw, draw(st.lists(st.none() | st.integers(-1, 2), min_size=n,
                                             max_size=n)), "int")


def cost_column(draw, n):
    return number_column(draw, draw(st.lists(st.none() | st.integers(0, 12), min_size=n,
                                             max_size=n)), "int")


def covers(draw, n):
    return draw(st.lists(st.none() | st.lists(st.sampled_from(COVER_ITEMS), max_size=3),
                         min_size=n, max_size=n))


def used_group_keys(cfg):
    return sorted({key for key, _, _ in cfg.group_maxima} | {key for key, *_ in cfg.requirements})


def join_key(value):
    """How ids match by value: integers with integers, texts with texts."""
    if isinstance(value, str):
        return ("text", value)
    if isinstance(value, (int, np.integer)):
        return ("int", int(value))
    return None


# ---------------------------------------------------------------------------------------
# Comparing outcomes


def summary(outcome, row_of):
    """Everything an outcome shows, with each candidate object replaced by its row."""
    trace = dict(outcome.trace)
    trace["scorers"] = [{k: v for k, v in s.items() if k != "elapsed_nanos"}
                        for s in trace["scorers"]]
    return canonical((
        [(row_of(r.candidate), r.id, r.rank, r.fused, r.scores, r.fusion, r.constraints,
          r.to_json()) for r in outcome.ranked],
        [(row_of(r.candidate), r.id, r.reason, r.detail, r.fused) for r in outcome.rejected],
        outcome.rejected_counts, outcome.selection, trace, outcome.is_complete(),
    ))


def run_and_summarise(call, row_of):
    try:
        outcome = call()
    except Exception as error:  # noqa: BLE001 - every exception is compared
        return (type(error), str(error))
    return summary(outcome, row_of)


def recording(callbacks, pools):
    """The callbacks, each also recording the pools it receives."""
    def wrap(callback):
        def record(pool):
            pools.append(list(pool))
            return callback(pool)
        return record
    return [None if c is None else wrap(c) for c in callbacks]


def watchable(columns):
    """The columns, and the items of Python lists that the example made (constants and
    small ints are shared with the rest of the process)."""
    watched = [c for c in columns if c is not None]
    for column in list(watched):
        if isinstance(column, (list, tuple)):
            # (the empty tuple is one object shared by the whole process)
            watched += [v for v in column if isinstance(v, (np.generic, list)) or
                        (isinstance(v, tuple) and v)]
    return watched


def arrow_bytes():
    return pa.total_allocated_bytes() if pa is not None else 0


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def counts_before(objects):
    """The objects' counts, once garbage of earlier examples and of the draws (which may
    hold the drawn values) is gone."""
    gc.collect()
    return refcounts(objects)


def assert_counts_back(objects, before):
    """Every object is back at its count; a cycle made along the way (a traceback that
    holds a frame) may hold one until it is collected."""
    if refcounts(objects) != before:
        gc.collect()
    assert refcounts(objects) == before


# Each example runs twice and collects garbage once: half the profile's examples keep
# these two near the time of the other properties.
EXAMPLES = max(settings.default.max_examples // 2, 1)


# ---------------------------------------------------------------------------------------
# run_columns


@st.composite
def column_tables(draw, cfg):
    n = draw(st.sampled_from([0, 1, 3, 8, 20]))
    ids = draw(id_columns(n))
    names = [axis.name for axis in cfg.axes]
    scores = {name: score_column(draw, n)
              for name in draw(st.lists(st.sampled_from(names), unique=True))}
    groups = {key: group_column(draw, n) for key in used_group_keys(cfg) if draw(st.booleans())}
    cost = cost_column(draw, n) if draw(st.booleans()) else None
    cover = cover_column(draw, covers(draw, n)) if draw(st.booleans()) else None
    values = [v for v in python_values(ids)[:3] if join_key(v) is not None]
    pad = draw(st.sampled_from([None, None] + values + ["zz", -1]))
    row_offset = draw(st.sampled_from([0, 0, 7, -3, 2**40]))
    return ids, scores, groups, cost, cover, pad, row_offset


def equivalent_dicts(ids, scores, groups, cost, cover, pad):
    """The dicts run reads for the same rows, and the row of each."""
    id_values = python_values(ids)
    columns = {name: python_values(column) for name, column in scores.items()}
    group_values = {key: python_values(column) for key, column in groups.items()}
    costs = python_values(cost) if cost is not None else None
    cover_lists = python_values(cover) if cover is not None else None
    dicts, rows = [], []
    for row, value in enumerate(id_values):
        if pad is not None and join_key(value) is not None and join_key(value) == join_key(pad):
            continue
        item = {"id": value,
                "scores": {name: None if absent(v[row]) else v[row] for name, v in columns.items()},
                "groups": {key: v[row] for key, v in group_values.items()}}
        if costs is not None:
            item["cost"] = costs[row]
        if cover_lists is not None:
            item["cover"] = cover_lists[row]
        dicts.append(item)
        rows.append(row)
    return dicts, rows


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.data())
def test_run_columns_equals_run_over_the_same_rows(data):
    cfg = data.draw(configs())
    ids, scores, groups, cost, cover, pad, row_offset = data.draw(column_tables(cfg))
    dicts, rows = equivalent_dicts(ids, scores, groups, cost, cover, pad)
    callbacks = [make_callback(axis) if axis.callback else None for axis in cfg.axes]
    columns_pools, dict_pools = [], []
    columns_engine = build(cfg, recording(callbacks, columns_pools))
    dicts_engine = build(cfg, recording(callbacks, dict_pools))
    watched = watchable([ids, *scores.values(), *groups.values(), cost, cover])
    before, arrow_before = counts_before(watched), arrow_bytes()

    row_of_dict = {id(item): row for item, row in zip(dicts, rows)}
    expected = run_and_summarise(lambda: dicts_engine.run(dicts),
                                 lambda item: row_of_dict[id(item)])
    got = run_and_summarise(
        lambda: columns_engine.run_columns(ids, scores, groups=groups, cost=cost, cover=cover,
                                           row_offset=row_offset, pad_id=pad),
        lambda candidate: candidate - row_offset)
    event("raised" if isinstance(got[0], type) else "ran")
    assert got == expected
    # The expensive axes saw the same rows, in pool order.
    assert [[c - row_offset for c in pool] for pool in columns_pools] == \
        [[row_of_dict[id(item)] for item in pool] for pool in dict_pools]
    del got, expected
    assert_counts_back(watched, before)
    assert arrow_bytes() == arrow_before


# Tables longer than a block of rows, where the pool fills and later blocks are screened
# against its weakest member: ties, signed zeros, infinities and NaN fall at its edge.
EDGE_REALS = [0.0, -0.0, 0.25, 0.5, 1.0, -1.0, math.inf, -math.inf, math.nan]


@st.composite
def long_tables(draw, cfg):
    n = draw(st.sampled_from([127, 128, 129, 300, 700]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if draw(st.booleans()):
        ids = rng.permutation(n).astype(draw(st.sampled_from([np.int64, np.int32, np.uint64])))
    else:  # repeated ids, so that equal scores are told apart by id and then by arrival
        ids = rng.integers(0, 40, n).astype(np.int64)
    scores = {}
    for axis in cfg.axes:
        if draw(st.integers(0, 4)) == 0:
            continue
        values = rng.choice(np.array(EDGE_REALS, np.float64), 2 * n)
        values = values.astype(draw(st.sampled_from([np.float32, np.float64])))
        scores[axis.name] = values[::2] if draw(st.booleans()) else values[:n]
    groups = {key: rng.integers(0, 5, n) for key in used_group_keys(cfg)}
    if pa is not None and draw(st.booleans()):  # chunks that split blocks anywhere
        cuts = sorted(draw(st.lists(st.integers(1, n - 1), max_size=3, unique=True)))
        chunked = lambda column: pa.chunked_array(
            [column[a:b] for a, b in zip([0] + cuts, cuts + [n])])
        ids = chunked(ids)
        scores = {name: chunked(column) if draw(st.booleans()) else column
                  for name, column in scores.items()}
    return ids, scores, groups


@settings(max_examples=max(EXAMPLES // 4, 1), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.data())
def test_run_columns_equals_run_over_long_tables(data):
    cfg = data.draw(configs())
    if data.draw(st.booleans()):  # the common plain stage 1: no filter but the pool
        cfg.unary = []
        cfg.missing = data.draw(st.sampled_from(["skip", "impute"]))
        for axis in cfg.axes:
            axis.normalize = None
    ids, scores, groups = data.draw(long_tables(cfg))
    dicts, rows = equivalent_dicts(ids, scores, groups, None, None, None)
    callbacks = [make_callback(axis) if axis.callback else None for axis in cfg.axes]
    row_of_dict = {id(item): row for item, row in zip(dicts, rows)}
    expected = run_and_summarise(lambda: build(cfg, callbacks).run(dicts),
                                 lambda item: row_of_dict[id(item)])
    got = run_and_summarise(
        lambda: build(cfg, callbacks).run_columns(ids, scores, groups=groups), lambda row: row)
    event("raised" if isinstance(got[0], type) else "ran")
    assert got == expected


# ---------------------------------------------------------------------------------------
# run_lists


@st.composite
def ranked_lists(draw, cfg):
    names = [axis.name for axis in cfg.axes]
    lists = {}
    for name in draw(st.lists(st.sampled_from(names), unique=True)):
        n = draw(st.sampled_from([0, 1, 4, 10]))
        ids = draw(id_columns(n, unique=draw(st.booleans()), joinable=True))
        scores = score_column(draw, n) if draw(st.booleans()) else None
        lists[name] = (ids, scores) if draw(st.booleans()) else [ids, scores]
    return lists


def union(lists, pad):
    """The joined candidates, key -> (first object, whether it came from a Python list,
    {axis: value})."""
    joined = {}
    for name, (ids, scores) in lists.items():
        given = ids if isinstance(ids, list) else python_values(ids)
        values = python_values(scores) if scores is not None else None
        for row, value in enumerate(given):
            key = join_key(value)
            if pad is not None and key == join_key(pad):
                continue
            _, _, by_axis = joined.setdefault(key, (value, isinstance(ids, list), {}))
            if name not in by_axis:
                by_axis[name] = -(row + 1) if values is None else values[row]
    return joined


@st.composite
def by_id(draw, keys, element):
    """A dict giving some of the ids (and some unknown ones) a value."""
    chosen = draw(st.lists(st.sampled_from(keys), unique=True)) if keys else []
    table = {value: draw(element) for _, value in chosen}
    if draw(st.booleans()):
        table["unknown id"] = draw(element)
    return table


def assert_given_ids(candidates, objects, from_lists, position):
    """The candidate is the id as given: the very object of a Python list, else an equal
    int or str."""
    for candidate in candidates:
        at = position[join_key(candidate)]
        if from_lists[at]:
            assert candidate is objects[at]
        else:
            assert type(candidate) is type(objects[at]) and candidate == objects[at]


@pytest.mark.parametrize("form", ["i8", "u8", "arrow_int64", "arrow_uint64"])
def test_run_lists_gives_integer_ids_at_the_ends_of_their_range_as_ints(form):
    """Integer ids from arrays become the candidates' ints, made only when shown, at the
    ends of 64-bit ranges too; the outcome equals run over the same ids in dicts."""
    values = {"i8": [-(2**63), 2**63 - 1, -1, 0, 5],
              "arrow_int64": [-(2**63), 2**63 - 1, -1, 0, 5],
              "u8": [2**64 - 1, 2**63, 2**63 - 1, 0, 5],
              "arrow_uint64": [2**64 - 1, 2**63, 2**63 - 1, 0, 5]}[form]
    if form.startswith("arrow"):
        if pa is None:
            pytest.skip("pyarrow is a test extra")
        ids = pa.array(values, pa.int64() if form == "arrow_int64" else pa.uint64())
    else:
        ids = np.array(values, dtype=form)
    scores = np.array([0.5, 0.5, 0.25, 1.0, 0.75], dtype=np.float32)
    engine = korvane.Engine()
    engine.scorer("a")
    engine.budget_top_k(2)
    engine.rejections("keep")
    got = engine.run_lists({"a": (ids, scores)})
    expected = engine.run([{"id": v, "scores": {"a": float(s)}} for v, s in zip(values, scores)])
    # run's candidates are the dicts; run_lists' are the ids themselves.
    assert all(type(r.candidate) is int for r in [*got.ranked, *got.rejected])
    assert [(r.candidate, r.id, r.fused) for r in got.ranked] == \
        [(r.candidate["id"], r.id, r.fused) for r in expected.ranked]
    assert [(r.candidate, r.id, r.reason) for r in got.rejected] == \
        [(r.candidate["id"], r.id, r.reason) for r in expected.rejected]


def test_an_arrow_method_wins_on_a_subclass_of_a_type_read_as_a_buffer():
    """Plain arrays are read as buffers (and their type remembered as having no Arrow
    method); a subclass that exports Arrow data is read through it all the same, also when
    it gains the method after a first read."""
    if pa is None:
        pytest.skip("pyarrow is a test extra")

    class Exported(np.ndarray):
        def __arrow_c_array__(self, requested_schema=None):
            return pa.array([0.0, 2.0], pa.float32()).__arrow_c_array__(requested_schema)

    engine = korvane.Engine()
    engine.scorer("a")
    ids = np.array([1, 2])
    scores = np.array([2.0, 0.0], dtype=np.float32)
    for _ in range(2):
        assert [r.id for r in engine.run_columns(ids, {"a": scores}).ranked] == ["1", "2"]
    assert [r.id for r in engine.run_columns(ids, {"a": scores.view(Exported)}).ranked] == \
        ["2", "1"]

    class Late(np.ndarray):  # gains its method after a first read without it
        pass

    assert [r.id for r in engine.run_columns(ids, {"a": scores.view(Late)}).ranked] == ["1", "2"]
    Late.__arrow_c_array__ = Exported.__arrow_c_array__
    assert [r.id for r in engine.run_columns(ids, {"a": scores.view(Late)}).ranked] == ["2", "1"]


@pytest.mark.parametrize("retention", ["keep", "count"])
def test_run_lists_keeps_drops_in_the_pools_order(retention):
    """Admitted by "a", ids 7 and 2 tie in the pool and 2 goes first although it arrives
    later: drops below the threshold are kept in the pool's order, and a run that keeps none
    gives the same outcome."""
    lists = {"a": (np.array([5, 1, 9, 3]), np.array([4, 3, 2, 1], dtype=np.float32)),
             "b": (np.array([7, 9, 2]), np.array([3, 2, 1], dtype=np.float32))}
    engine = korvane.Engine()
    engine.scorer("a", scale="unbounded")
    engine.scorer("b", scale="unbounded")
    engine.threshold(0.02)
    engine.rejections(retention)
    got = engine.run_lists(lists)
    expected = engine.run([{"id": 5, "scores": {"a": 4.0}}, {"id": 1, "scores": {"a": 3.0}},
                           {"id": 9, "scores": {"a": 2.0, "b": 2.0}},
                           {"id": 3, "scores": {"a": 1.0}}, {"id": 7, "scores": {"b": 3.0}},
                           {"id": 2, "scores": {"b": 1.0}}])
    assert [r.id for r in got.ranked] == [r.id for r in expected.ranked] == ["9"]
    assert [r.id for r in got.rejected] == [r.id for r in expected.rejected]
    assert got.rejected_counts == expected.rejected_counts
    if retention == "keep":
        assert [r.id for r in got.rejected] == ["5", "1", "3", "2", "7"]


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.data())
def test_run_lists_equals_run_over_the_joined_ids(data):
    cfg = data.draw(configs())
    lists = data.draw(ranked_lists(cfg))
    pad = data.draw(st.sampled_from([None, None, 3, "a", -1]))
    joined = union(lists, pad)
    keys = list(joined)
    objects = [joined[k][0] for k in keys]
    from_lists = [joined[k][1] for k in keys]
    groups = {key: data.draw(by_id(keys, st.none() | st.sampled_from(GROUP_TEXTS + [0, 1])))
              for key in used_group_keys(cfg) if data.draw(st.booleans())}
    cost = data.draw(by_id(keys, st.none() | st.integers(0, 12))) if data.draw(st.booleans()) \
        else None
    cover = data.draw(by_id(keys, st.none() | st.lists(st.sampled_from(COVER_ITEMS), max_size=3))) \
        if data.draw(st.booleans()) else None

    names = [axis.name for axis in cfg.axes]
    dicts = []
    for key in keys:
        value, _, by_axis = joined[key]
        item = {"id": value,
                "scores": {name: None if absent(by_axis.get(name)) else by_axis[name]
                           for name in names},
                "groups": {k: table.get(value) for k, table in groups.items()}}
        if cost is not None:
            item["cost"] = cost.get(value)
        if cover is not None:
            item["cover"] = cover.get(value)
        dicts.append(item)

    callbacks = [make_callback(axis) if axis.callback else None for axis in cfg.axes]
    list_pools, dict_pools = [], []
    lists_engine = build(cfg, recording(callbacks, list_pools))
    dicts_engine = build(cfg, recording(callbacks, dict_pools))
    watched = watchable([*(c for pair in lists.values() for c in pair), groups, cost, cover])
    before, arrow_before = counts_before(watched), arrow_bytes()

    position = {key: i for i, key in enumerate(keys)}
    expected = run_and_summarise(lambda: dicts_engine.run(dicts),
                                 lambda item: position[join_key(item["id"])])
    candidates = []

    def row_of(candidate):
        candidates.append(candidate)
        return position[join_key(candidate)]

    got = run_and_summarise(
        lambda: lists_engine.run_lists(lists, groups=groups, cost=cost, cover=cover, pad_id=pad),
        row_of)
    event("raised" if isinstance(got[0], type) else "ran")
    assert got == expected
    assert_given_ids(candidates, objects, from_lists, position)
    assert [[position[join_key(c)] for c in pool] for pool in list_pools] == \
        [[position[join_key(item["id"])] for item in pool] for pool in dict_pools]
    list_pools.clear()  # the engines' callbacks hold the lists
    del got, expected, candidates
    assert_counts_back(watched, before)
    assert arrow_bytes() == arrow_before


def total_order(x):
    """The IEEE 754 total order of a 32-bit float, as an int."""
    bits = int.from_bytes(np.float32(x).tobytes(), "little", signed=True)
    return bits ^ ((bits >> 31) & 0x7FFFFFFF)


@st.composite
def retriever_list(draw):
    """(ids, scores) as int64 and float32 arrays, as a retriever returns them: best first
    with ties by id, best first with ties as they fall, or in no order. Ties, NaN, repeated
    ids, the pad -1 and ids past 32 bits all occur."""
    n = draw(st.integers(0, 40))
    ids = draw(st.lists(st.integers(-2, 30) | st.sampled_from([2**40, 2**40 + 1]), min_size=n,
                        max_size=n))
    scores = draw(st.lists(st.sampled_from([0.0, -0.0, 0.25, 0.5, 1.0, math.nan, -math.inf])
                           | st.floats(-2, 2, width=32), min_size=n, max_size=n))
    rows = list(zip(ids, scores))
    order = draw(st.sampled_from(["entry", "entry", "ties as they fall", "none"]))
    if order == "entry":
        rows.sort(key=lambda row: (-total_order(row[1]), row[0]))
    elif order == "ties as they fall":
        rows.sort(key=lambda row: -total_order(row[1]))
    return (np.array([i for i, _ in rows], dtype=np.int64),
            np.array([v for _, v in rows], dtype=np.float32))


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_run_lists_ranks_lists_that_come_best_first_as_run_does(data):
    """A list already in the entry order is ranked from its own order, anything else is
    sorted: every way, the outcome is run's over the joined candidates as dicts."""
    lists = {"a": data.draw(retriever_list()), "b": data.draw(retriever_list())}
    pad = data.draw(st.sampled_from([None, -1]))
    keys, values = [], {}
    for name, (ids, scores) in lists.items():
        for i, v in zip(ids.tolist(), scores.tolist()):
            if i == pad:
                continue
            if i not in values:
                keys.append(i)
                values[i] = {}
            values[i].setdefault(name, None if math.isnan(v) else v)
    dicts = [{"id": i, "scores": {name: values[i].get(name) for name in lists}} for i in keys]

    k = data.draw(st.sampled_from([1, 60]))
    policy = data.draw(st.sampled_from(["skip", "impute", "reject"]))
    # A normalizer ranks other values than the list's own, in which 0.0 and -0.0 tie.
    normalize = data.draw(st.sampled_from([None, None, "sigmoid"]))
    top_k = data.draw(st.integers(1, 12))
    multiplier = data.draw(st.sampled_from([1, 4, 100]))

    def engine():
        e = korvane.Engine()
        e.scorer("a", scale="unbounded", normalize=normalize)
        e.scorer("b", scale="unbounded")
        e.fuse("rrf", k=k)
        if policy == "impute":
            e.missing("impute", value=0.5)
        else:
            e.missing(policy)
        e.budget_top_k(top_k)
        e.pool_multiplier(multiplier)
        return e

    position = {i: row for row, i in enumerate(keys)}
    expected = run_and_summarise(lambda: engine().run(dicts), lambda item: position[item["id"]])
    got = run_and_summarise(lambda: engine().run_lists(lists, pad_id=pad),
                            lambda candidate: position[candidate])
    assert got == expected


@pytest.mark.parametrize("ids", [[f"doc{i}" for i in range(40)], [2**70 + i for i in range(40)],
                                 list(range(40))])
def test_run_lists_lets_go_of_the_ids_it_was_given_when_the_run_ends(ids):
    # A thread keeps its pool's storage for the next run; it must not keep the ids with it.
    # Drops are counted, not kept, so that the outranked stay in the pool's records.
    e = korvane.Engine()
    e.scorer("a")
    e.pool_multiplier(10)
    e.rejections("count")
    before = refcounts(ids)
    outcome = e.run_lists({"a": (ids, None)})
    assert len(outcome.ranked) == 10
    del outcome
    assert_counts_back(ids, before)


def test_a_list_in_its_own_entry_order_is_ranked_by_the_values_the_axis_stores():
    # 0.0 comes before -0.0 in the list's own order, but a sigmoid maps both to 0.5, and
    # then the smaller id ranks first.
    lists = {"a": (np.array([7, 3], np.int64), np.array([0.0, -0.0], np.float32))}
    dicts = [{"id": 7, "scores": {"a": 0.0}}, {"id": 3, "scores": {"a": -0.0}}]
    e = korvane.Engine()
    e.scorer("a", normalize="sigmoid")
    e.fuse("rrf", k=60)
    got, expected = e.run_lists(lists), e.run(dicts)
    assert [(r.id, r.fused) for r in got.ranked] == [(r.id, r.fused) for r in expected.ranked]
    assert [r.id for r in got.ranked] == ["3", "7"]


# ---------------------------------------------------------------------------------------
# Refusals: before the run starts, naming the column


def checked_engine(calls):
    """An engine that reads every kind of column: groups, costs, covers, and an expensive
    axis whose callback counts its calls."""
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("cb", cost="expensive", fn=lambda pool: calls.append(pool) or [0.5] * len(pool))
    engine.max_per_group("site", 1)
    engine.budget_tokens(10)
    engine.coverage_objective()
    return engine


def arrow(values, arrow_type=None):
    return pa.array(values, arrow_type)


class ArrowStreamFails:
    def __arrow_c_stream__(self, requested_schema=None):
        raise OSError("the producer failed")


UNITS = [0.1, 0.2, 0.3]
NOT_A_COLUMN = ("는 열이어야 한다. 버퍼(numpy 배열 등), Arrow 배열, 파이썬 순서열 중 하나를 "
                "줘야 한다. 받은 형")
COST_RULE = "는 비용이 될 수 없다. 비용은 0 이상 4294967295 이하의 정수여야 한다"

COLUMN_REFUSALS = [
    # (keyword arguments of run_columns beyond ids=[1, 2, 3], exception, message, note)
    ({"scores": {"a": [0.1, 0.2]}}, ValueError,
     "열의 길이가 다르다: ids 는 3 행인데 scores['a'] 는 2 행이다", None),
    ({"cover": [["x"]] * 4}, ValueError, "열의 길이가 다르다: ids 는 3 행인데 cover 는 4 행이다",
     None),
    ({"scores": {"a": np.zeros((3, 1))}}, ValueError,
     "scores['a'] 는 1차원 열이어야 한다. 받은 배열은 2차원이다", None),
    ({"scores": {"a": np.array(["x", "y", "z"])}}, TypeError,
     "scores['a'] 의 형식 '1w' 은 읽을 수 없다. 점수 열은 실수, 정수, 불리언 중 하나여야 한다",
     None),
    ({"ids": np.array([1.0, 2.0, 3.0])}, TypeError,
     "ids 의 형식 'd' 은 읽을 수 없다. 식별자 열은 정수나 문자열이어야 한다", None),
    ({"groups": {"site": np.array([0.5, 1.5, 2.5], ">f4")}}, TypeError,
     "groups['site'] 의 형식 '>f' 은 읽을 수 없다. 그룹 열은 문자열이나 정수여야 한다", None),
    ({"cost": np.array([1, 2, 3], "f8")}, TypeError,
     "cost 의 형식 'd' 은 읽을 수 없다. 비용 열은 정수여야 한다", None),
    ({"scores": {"zz": UNITS}}, ValueError, "scores 의 키 'zz' 는 등록된 축이 아니다", None),
    ({"groups": {"lang": ["en"] * 3}}, ValueError,
     "groups 의 키 'lang' 를 쓰는 제약이 없다. max_per_group 이나 require_at_least 의 key 여야 한다",
     None),
    ({"scores": [UNITS]}, TypeError, "scores 는 {'축이름': 열} 사전이어야 한다", None),
    ({"scores": {1: UNITS}}, TypeError, "scores 의 키는 문자열이어야 한다. 받은 형 'int'", None),
    ({"groups": [["en"] * 3]}, TypeError, "groups 는 {'키': 열} 사전이어야 한다", None),
    ({"cost": np.array([1, -2, 3])}, ValueError, f"cost 의 1 행 값 -2 {COST_RULE}", None),
    ({"cost": np.array([0, 0, 2**32], "u8")}, ValueError, f"cost 의 2 행 값 4294967296 {COST_RULE}",
     None),
    ({"ids": 5}, TypeError, f"ids {NOT_A_COLUMN} 'int'", None),
    ({"ids": "abc"}, TypeError, f"ids {NOT_A_COLUMN} 'str'", None),
    ({"cover": {"x": 1}}, TypeError, f"cover {NOT_A_COLUMN} 'dict'", None),
    ({"ids": np.array(["a", "\ud800", "b"])}, ValueError,
     "ids 의 1 행에 유니코드 문자가 아닌 코드 포인트 U+D800 가 있다", None),
    ({"scores": {"a": [0.1, "x", 0.3]}}, TypeError, "must be real number, not str",
     "scores['a'][1]"),
    ({"cost": [1, 2.5, 3]}, TypeError, None, "cost[1]"),
    ({"cover": [["x"], {"y"}, None]}, ValueError, "'cover' 는 순서열이어야 한다", "cover[1]"),
    ({"ids": ArrowStreamFails()}, OSError, "the producer failed", "ids"),
    ({"pad_id": 1.5}, TypeError, "pad_id 는 정수나 문자열이어야 한다. 받은 형 'float'", None),
    ({"row_offset": 2**63 - 2}, OverflowError,
     "row_offset 에 행 수를 더하면 64비트 정수 범위를 벗어난다", None),
    ({"row_offset": 2**63}, OverflowError, None, "row_offset"),
]
ARROW_REFUSALS = [
    (lambda: {"ids": arrow([1, None, 3])}, ValueError,
     "ids 의 1 행이 비어 있다(null). 식별자는 빠질 수 없다"),
    (lambda: {"cover": arrow([[1.5], None, []])}, TypeError,
     "cover 의 형식 '+l<g>' 은 읽을 수 없다. cover 열은 문자열 목록이어야 한다"),
    (lambda: {"scores": {"a": arrow([1, 2, 3], pa.timestamp("s"))}}, TypeError,
     "scores['a'] 의 형식 'tss:' 은 읽을 수 없다. 점수 열은 실수, 정수, 불리언 중 하나여야 한다"),
    (lambda: {"cost": arrow([1, None, -1])}, ValueError, f"cost 의 2 행 값 -1 {COST_RULE}"),
]


def refused(call, exc_type, message, note=None):
    with pytest.raises(exc_type) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", None) == (
        None if note is None else [f"while processing '{note}'"])


@pytest.mark.parametrize("arguments, exc_type, message, note", COLUMN_REFUSALS)
def test_run_columns_refuses_bad_columns_before_the_run(arguments, exc_type, message, note):
    calls = []
    arguments = {"ids": [1, 2, 3], "scores": {"a": UNITS}, **arguments}
    refused(lambda: checked_engine(calls).run_columns(**arguments), exc_type, message, note)
    assert calls == []


@needs_arrow
@pytest.mark.parametrize("arguments, exc_type, message", ARROW_REFUSALS)
def test_run_columns_refuses_bad_arrow_columns(arguments, exc_type, message):
    calls = []
    arguments = {"ids": [1, 2, 3], "scores": {"a": UNITS}, **arguments()}
    refused(lambda: checked_engine(calls).run_columns(**arguments), exc_type, message)
    assert calls == []


LIST_REFUSALS = [
    # (keyword arguments of run_lists, exception, message, note)
    ({"lists": [([1], None)]}, TypeError, "lists 는 {'축이름': (ids, scores)} 사전이어야 한다",
     None),
    ({"lists": {"zz": ([1], None)}}, ValueError, "lists 의 키 'zz' 는 등록된 축이 아니다", None),
    ({"lists": {"a": [1, 2, 3]}}, TypeError, "lists['a'] 는 (ids, scores) 쌍이어야 한다", None),
    ({"lists": {"a": ([1, 2, 3], [0.5, 0.25])}}, ValueError,
     "열의 길이가 다르다: lists['a'] 의 ids 는 3 행인데 lists['a'] 의 scores 는 2 행이다", None),
    ({"lists": {"a": ([1, None], None)}}, TypeError,
     "lists['a'] 의 ids 의 1 행은 정수나 문자열이어야 한다. 받은 형 'NoneType'", None),
    ({"lists": {"a": (np.zeros((2, 2, 2), "i8"), None)}}, ValueError,
     "lists['a'] 의 ids 는 1차원 열이어야 한다. 받은 배열은 3차원이다", None),
    ({"groups": {"site": ["x"]}}, TypeError, "groups['site'] 는 {id: 값} 사전이어야 한다", None),
    ({"groups": {"lang": {1: "x"}}}, ValueError,
     "groups 의 키 'lang' 를 쓰는 제약이 없다. max_per_group 이나 require_at_least 의 key 여야 한다",
     None),
    ({"cost": [1]}, TypeError, "cost 는 {id: 비용} 사전이어야 한다", None),
    ({"cover": [["x"]]}, TypeError, "cover 는 {id: 목록} 사전이어야 한다", None),
    ({"cost": {1: -1}}, OverflowError, None, "cost[1]"),
    ({"cover": {"b": {"x"}}}, ValueError, "'cover' 는 순서열이어야 한다", "cover[b]"),
    ({"pad_id": None, "lists": {"a": ([1, 2], [0.5, "x"])}}, TypeError,
     "must be real number, not str", "lists['a'] 의 scores[1]"),
]


@pytest.mark.parametrize("arguments, exc_type, message, note", LIST_REFUSALS)
def test_run_lists_refuses_bad_lists_before_the_run(arguments, exc_type, message, note):
    calls = []
    arguments = {"lists": {"a": ([1, "b"], None)}, **arguments}
    refused(lambda: checked_engine(calls).run_lists(**arguments), exc_type, message, note)
    assert calls == []


class Untouchable:
    """A column that fails the test when anything of it is looked at."""

    def __getattribute__(self, name):
        raise AssertionError(f"the column was read ({name})")


@pytest.mark.parametrize("configure, message", [
    (lambda engine: None, "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다"),
    (lambda engine: (engine.scorer("a"), engine.unary_min("b", 0.1)), "등록되지 않은 축 'b'"),
    (lambda engine: (engine.scorer("a"), engine.pool_multiplier(0)), "풀 배수는 1 이상이어야 한다"),
])
def test_configuration_refusals_come_before_any_column_is_read(configure, message):
    engine = korvane.Engine()
    configure(engine)
    refused(lambda: engine.run_columns(Untouchable(), {"a": Untouchable()}), ValueError, message)
    refused(lambda: engine.run_lists({"a": (Untouchable(), None)}), ValueError, message)


# ---------------------------------------------------------------------------------------
# Other exporters, and arrays from callbacks


def test_polars_and_pandas_series_are_columns():
    pl = pytest.importorskip("polars", reason="polars is a test extra")
    pd = pytest.importorskip("pandas", reason="pandas is a test extra")
    engine = korvane.Engine()
    engine.scorer("a")
    engine.max_per_group("site", 1)
    engine.coverage_objective()
    rows = {"id": ["d1", "d2", "d3", "d4"], "a": [0.9, None, 0.5, 0.7],
            "site": ["x", "x", None, "y"]}
    expected = engine.run([{"id": i, "scores": {"a": a}, "groups": {"site": s}}
                           for i, a, s in zip(rows["id"], rows["a"], rows["site"])])
    for frame in (pl.DataFrame(rows), pd.DataFrame(rows)):
        got = engine.run_columns(frame["id"], {"a": frame["a"]}, groups={"site": frame["site"]})
        assert summary(got, lambda row: row) == summary(expected, rows_of_dicts(expected))


def rows_of_dicts(outcome):
    ids = {"d1": 0, "d2": 1, "d3": 2, "d4": 3}
    return lambda item: ids[item["id"]]


@pytest.mark.parametrize("make", [
    lambda n: np.linspace(1.0, -1.0, n),
    lambda n: np.linspace(1.0, -1.0, n).astype("f4"),
    lambda n: np.linspace(1.0, -1.0, n).astype("f2"),
    lambda n: np.linspace(1.0, -1.0, n).astype(">f8"),
    lambda n: np.arange(n, dtype="i8")[::-1] * 2**40,
    lambda n: np.arange(n, dtype="u1"),
    lambda n: np.arange(n) % 2 == 0,
    lambda n: np.linspace(1.0, -1.0, 2 * n)[::2],
    lambda n: np.array([None, 0.5, math.nan, 2] * n, dtype=object)[:n],
    lambda n: memoryview(np.linspace(0.0, 1.0, n)),
])
def test_a_callback_may_return_an_array_of_numbers(make):
    def engine_returning(convert):
        engine = korvane.Engine()
        engine.scorer("a")
        engine.scorer("cb", cost="expensive", normalize="minmax", normalize_range=(0.0, 0.0),
                      fn=lambda pool: convert(make(len(pool))))
        engine.fuse("weighted_sum")
        return engine

    def as_list(values):
        return (values.obj if isinstance(values, memoryview) else values).tolist()

    candidates = [{"id": i, "scores": {"a": i / 10}} for i in range(7)]
    got = engine_returning(lambda values: values).run(candidates)
    expected = engine_returning(as_list).run(candidates)
    row = {id(c): i for i, c in enumerate(candidates)}
    assert summary(got, lambda c: row[id(c)]) == summary(expected, lambda c: row[id(c)])


@pytest.mark.parametrize("result, exc_type, message", [
    (np.zeros((3, 1)), ValueError,
     "채점기 'cb' 의 콜백이 돌려준 배열은 1차원이어야 한다. 받은 배열은 2차원이다"),
    (np.array(["x", "y", "z"], "<U1"), TypeError,
     "채점기 'cb' 의 콜백이 돌려준 배열의 형식 '1w' 은 숫자가 아니다"),
])
def test_a_callback_array_of_other_shape_or_kind_is_refused(result, exc_type, message):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("cb", cost="expensive", fn=lambda pool: result)
    refused(lambda: engine.run([{"id": i} for i in range(3)]), exc_type, message)
