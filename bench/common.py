"""Helpers shared by the Python benchmarks: the lean pure-Python run, CPU timing, and output.

Not a benchmark itself; the scripts beside it import it (their own folder is on sys.path when
they run as `python bench/<script>.py`).
"""

import gc
import heapq
import math
import random
import struct
import time

K, MULTIPLIER, GROUP_MAX, RRF_K = 10, 32, 2, 60.0
_F32 = struct.Struct("f")


def f32(x):
    return _F32.unpack(_F32.pack(x))[0]


def rrf_terms(count):
    """1 / (r + 60) in 32-bit floats for the ranks 1..count, at index r (index 0 unused)."""
    return [0.0] + [f32(1.0 / f32(r + RRF_K)) for r in range(1, count + 1)]


RRF_TERM = rrf_terms(K * MULTIPLIER)


def make_rows(n, seed, order="random", groups=50):
    """n rows (id, a, b, group) with values already exact 32-bit floats; "ascending" order makes
    every row evict a pool member."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        a = f32(rng.random())
        b = f32(rng.random() * 20.0)
        rows.append((i, a, b, f"g{rng.randrange(groups)}"))
    if order == "ascending":
        rows.sort(key=lambda row: (row[1], -row[0]))
    return rows


def candidate(row, shape="dict", groups=True):
    """The candidate dict of a row: scores as a dict keyed by axis or as a list in axis order."""
    i, a, b, g = row
    item = {"id": i, "scores": {"a": a, "b": b} if shape == "dict" else [a, b]}
    if groups:
        item["groups"] = {"g": g}
    return item


def job_engine(korvane, *, groups=True, retention=None):
    """An Engine for the default run: axes a (unit) and b (unbounded), rrf k 60, top 10, a pool
    of 320, and at most 2 per group g when `groups`."""
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b", scale="unbounded")
    if groups:
        engine.max_per_group("g", GROUP_MAX)
    if retention is not None:
        engine.rejections(retention)
    return engine


def python_run(candidates, groups, *, drops=None):
    """The default run (two axes a and b, rrf k 60, top 10, a pool of 320, at most 2 per group
    when `groups`) written plainly in Python: returns the ranked ids as display texts.

    With a list as `drops`, every dropped candidate is appended to it as (id, reason, item),
    which is what keeping every drop costs at the least.
    """
    capacity = K * MULTIPLIER
    keep = drops is not None
    heap = []  # (admission, -id, a, b, group, item): the weakest entry on top
    for item in candidates:
        scores = item["scores"]
        if isinstance(scores, dict):
            a, b = scores.get("a"), scores.get("b")
        else:
            a = scores[0] if len(scores) > 0 else None
            b = scores[1] if len(scores) > 1 else None
        group = item["groups"].get("g") if groups else None
        admission = a if a is not None else -math.inf
        entry = (admission, -item["id"], a, b, group, item)
        if len(heap) < capacity:
            heapq.heappush(heap, entry)
        elif entry[:2] > heap[0][:2]:
            dropped = heapq.heapreplace(heap, entry)
            if keep:
                drops.append((-dropped[1], "out_of_pool", dropped[5]))
        elif keep:
            drops.append((-entry[1], "out_of_pool", item))

    pool = sorted(heap, key=lambda e: (-e[0], -e[1]))
    fused = {}
    for axis in (2, 3):  # per-axis rrf ranks over the pool, ties by smaller id
        present = sorted((e for e in pool if e[axis] is not None), key=lambda e: (-e[axis], -e[1]))
        for rank, entry in enumerate(present, 1):
            key = -entry[1]
            fused[key] = f32(fused.get(key, -0.0) + RRF_TERM[rank])
    ranked = sorted(pool, key=lambda e: (-fused.get(-e[1], -0.0), -e[1]))

    chosen, per_group = [], {}
    for entry in ranked:  # group maxima only tighten as members join: one pass suffices
        if len(chosen) == K:
            if keep:
                drops.append((-entry[1], "outranked", entry[5]))
            continue
        group = entry[4]
        if group is not None:  # a record without a group value is never refused
            if per_group.get(group, 0) >= GROUP_MAX:
                if keep:
                    drops.append((-entry[1], "set_constraint", entry[5]))
                continue
            per_group[group] = per_group.get(group, 0) + 1
        chosen.append(str(-entry[1]))
    return chosen


# --- CPU timing ---------------------------------------------------------------------------

clock_ns = time.process_time_ns  # CPU time of the whole process: threads of a library count too


def cpu_ns(call, *, repeat=5, min_sample_ns=20_000_000):
    """The best CPU time of one `call()` in ns, over `repeat` samples.

    A job that takes less than `min_sample_ns` is looped within each sample, and the sample is
    divided by the loop count, so microsecond jobs are not lost in the clock's granularity. The
    first (calibrating) call doubles as a warm-up.
    """
    gc.collect()
    start = clock_ns()
    call()
    once = max(clock_ns() - start, 1)
    loops = max(1, math.ceil(min_sample_ns / once)) if once < min_sample_ns else 1
    best = math.inf
    for _ in range(repeat):
        gc.collect()
        start = clock_ns()
        for _ in range(loops):
            call()
        best = min(best, (clock_ns() - start) / loops)
    return best


def wall_ns(call, *, repeat=5):
    """The best wall-clock time of one `call()` in ns, over `repeat` calls after a warm-up: for
    work spread over threads, whose CPU time adds up across them."""
    call()
    best = math.inf
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter_ns()
        call()
        best = min(best, time.perf_counter_ns() - start)
    return best


def net_ns(total, base, *, noise=0.05):
    """total - base when it stands clear of timing noise (more than `noise` of total), else None."""
    diff = total - base
    return diff if diff > noise * total else None


def faster(ours, other, other_name="Python", our_name="korvane"):
    """Who wins and by how much, e.g. "korvane 3.2× faster"; "n/a" when a time is missing."""
    if ours is None or other is None or ours <= 0 or other <= 0:
        return "n/a"
    winner, ratio = (our_name, other / ours) if ours <= other else (other_name, ours / other)
    return f"{winner} {ratio:.2f}× faster" if ratio < 2 else f"{winner} {ratio:.1f}× faster"


def show_ns(ns):
    """A duration in the unit that reads best."""
    if ns is None:
        return "n/a"
    if ns < 10_000:
        return f"{ns:,.0f} ns"
    if ns < 10_000_000:
        return f"{ns / 1e3:,.1f} µs"
    if ns < 10_000_000_000:
        return f"{ns / 1e6:,.1f} ms"
    return f"{ns / 1e9:,.2f} s"


def markdown_table(header, rows):
    """A markdown table as text, ready to paste."""
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def describe_build(korvane):
    """One line saying which module is measured."""
    return f"korvane {korvane.__version__} from {korvane.__file__}"
