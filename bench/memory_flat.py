"""Memory of Engine.run stays flat in the length of its input.

A generator of fresh candidate dicts is run through an engine with the default budget (top
10, pool multiplier 32: a stage-1 pool of 320) and the "count" retention policy (drops are
counted exactly but not kept, as one would for millions of candidates). The same run is
made over 1 million and over 10 million candidates; the script prints the process's peak
and current resident set size after each, and, with tracemalloc, the peak of the Python
heap during each run. Neither may grow with the input: only the pool and the candidate in
hand are ever held.

    PYTHONPATH=build/ext python bench/memory_flat.py [--small 1000000] [--large 10000000]

It takes about a minute: tracemalloc slows the traced runs several times over.
"""

import argparse
import gc
import resource
import time
import tracemalloc

import korvane


def stream(n):
    """n fresh candidate dicts with scattered scores; nothing of them is kept here."""
    for i in range(n):
        yield {"id": i, "scores": [((i * 2654435761) % 4294967296) / 4294967296.0],
               "groups": {"site": i % 97}}


def engine():
    e = korvane.Engine()
    e.scorer("a")
    e.max_per_group("site", 2)
    e.rejections("count")
    return e


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # Linux: KiB


def current_rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def run(n, traced):
    """Runs over n candidates; with `traced`, the Python heap (MiB) before the run, at its
    peak during the run, and after it, with the outcome still held."""
    gc.collect()
    heap = None
    if traced:
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
    start = time.perf_counter()
    outcome = engine().run(stream(n))
    elapsed = time.perf_counter() - start
    if traced:
        after, peak = tracemalloc.get_traced_memory()
        heap = (before / 2**20, peak / 2**20, after / 2**20)
        tracemalloc.stop()
    assert outcome.trace["input_count"] == n and outcome.is_complete()
    assert len(outcome.ranked) == 10 and outcome.rejected == []
    return elapsed, heap, outcome.rejected_counts["out_of_pool"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", type=int, default=1_000_000)
    parser.add_argument("--large", type=int, default=10_000_000)
    args = parser.parse_args()

    print(f"before any run: peak RSS {peak_rss_mib():7.1f} MiB, current {current_rss_mib():7.1f} MiB")
    rss = {}
    for n in (args.small, args.large):
        elapsed, _, dropped = run(n, traced=False)
        rss[n] = peak_rss_mib()
        print(f"{n:>11,} candidates: {elapsed:6.2f} s, {n / elapsed:>10,.0f}/s, "
              f"out_of_pool {dropped:,}; peak RSS {rss[n]:7.1f} MiB, "
              f"current {current_rss_mib():7.1f} MiB")
    growth = rss[args.large] - rss[args.small]
    print(f"peak RSS growth from {args.small:,} to {args.large:,} candidates: {growth:+.1f} MiB "
          f"({rss[args.large] / rss[args.small]:.3f}x)")

    heap = {}
    for n in (args.small, args.large):
        _, (before, heap[n], after), _ = run(n, traced=True)
        print(f"{n:>11,} candidates under tracemalloc: Python heap before {before:6.3f} MiB, "
              f"peak during the run {heap[n]:6.3f} MiB, after {after:6.3f} MiB")
    print(f"Python heap peak ratio {args.large:,} / {args.small:,}: "
          f"{heap[args.large] / heap[args.small]:.3f}x")
    flat = growth < 8 and heap[args.large] < 1.5 * heap[args.small] + 0.5
    print("flat" if flat else "NOT FLAT")
    raise SystemExit(0 if flat else 1)


if __name__ == "__main__":
    main()
