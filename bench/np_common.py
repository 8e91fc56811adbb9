"""numpy pieces shared by the benchmarks that set korvane against numpy versions of its runs.

Not a benchmark itself. Orders follow the engine's: values by the IEEE 754 total order (so
-0.0 sits below 0.0), higher first, equal values by smaller id.
"""

import numpy as np

RRF_K = np.float32(60.0)
_KEY_NEG_INF = np.int32(np.array(-np.inf, np.float32).view(np.int32) ^ np.int32(0x7FFFFFFF))


def order_key(values):
    """int32 keys that order float32 values by the IEEE 754 total order (larger key, larger
    value); NaN, meaning absent, gets the key of -inf."""
    values = np.asarray(values, np.float32)
    key = values.view(np.int32).copy()
    flip = key >> 31
    flip &= 0x7FFFFFFF
    key ^= flip
    key[np.isnan(values)] = _KEY_NEG_INF
    return key


def best_first(key, ids):
    """Positions sorted by key descending, ties by smaller id."""
    return np.lexsort((ids, ~key))


def best_rows(key, ids, m):
    """Positions of the m best rows by key descending, ties by smaller id, best first.

    argpartition finds the m-th best key; rows strictly better are all in its front part, and
    the rows equal to it, wherever they lie, are settled by id.
    """
    n = len(key)
    if n <= m:
        chosen = np.arange(n)
    else:
        worse = ~key  # ~ reverses the int32 order without overflow
        front = np.argpartition(worse, m - 1)[:m]
        cut = worse[front[m - 1]]
        better = front[worse[front] < cut]
        tied = np.flatnonzero(worse == cut)
        need = m - len(better)
        if len(tied) > need:
            tied = tied[np.argpartition(ids[tied], need - 1)[:need]]
        chosen = np.concatenate([better, tied])
    return chosen[best_first(key[chosen], ids[chosen])]


def pool_rows(values, ids, m, *, sampled=True):
    """Positions of the m best rows by float32 value (NaN counting as -inf), ties by smaller id,
    best first: the stage-1 pool.

    Sampled, a cut is read off a strided sample (about 4m rows expected above it), one pass
    keeps the rows at or above it, and best_rows settles those alone. Any m-th best row is at or
    above the cut when at least m rows are, and -0.0 passes a cut of 0.0, so the result is exact;
    with fewer than m rows kept, or a cut of -inf or NaN, it falls back to all rows.
    """
    n = len(values)
    if sampled and n > m:
        sample = values[::max(1, n // (512 * m))]
        q = min(len(sample) - 1, -(-4 * m * len(sample) // n))
        cut = -np.partition(-sample, q)[q]  # NaN sorts last, so a NaN cut means too few values
        if cut > -np.inf:  # at -inf the absent values, which the cut cannot keep, would tie
            kept = np.flatnonzero(values >= cut)
            if len(kept) >= m:
                return kept[best_rows(order_key(values[kept]), ids[kept], m)]
    return best_rows(order_key(values), ids, m)


def top_by_position(values, k):
    """Positions of the k largest float32 values (total order), ties by smaller position, best
    first: for rows kept in id order, the ranking by score then id. One int64 key per row, the
    value's order above the position, so a plain partition needs no tie pass."""
    n = len(values)
    key = (~order_key(values)).astype(np.int64) << 32
    key |= np.arange(n)
    if n > k:
        key = np.partition(key, k - 1)[:k]
    key.sort()
    return key & 0xFFFFFFFF


def rrf_terms(count):
    """1 / (r + 60) in float32 for the ranks 1..count."""
    return np.float32(1.0) / (np.arange(1, count + 1, dtype=np.float32) + RRF_K)


def first_per_group(groups, k, cap):
    """Positions, in order, that a greedy pass keeps when it takes at most `cap` per group value
    and stops at k: a row is kept when fewer than `cap` rows of its group come before it."""
    n = len(groups)
    by_group = np.argsort(groups, kind="stable")
    sorted_groups = groups[by_group]
    starts = np.ones(n, bool)
    starts[1:] = sorted_groups[1:] != sorted_groups[:-1]
    first = np.maximum.accumulate(np.where(starts, np.arange(n), 0))
    seen = np.empty(n, np.int64)
    seen[by_group] = np.arange(n) - first
    return np.flatnonzero(seen < cap)[:k]


def float_bits(values):
    return np.asarray(values, np.float32).view(np.uint32).tolist()
