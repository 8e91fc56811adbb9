"""Throughput of Engine.run against a straightforward pure-Python version of the same run.

Both sides get the same candidates, in random order of score (most are refused at once by
the full stage-1 pool) and in ascending order (every newcomer evicts a pool member): two
cheap axes (a unit axis "a" and an unbounded "b")
given as a dict or a list, with or without a group label, under the default configuration
of a new Engine (rrf with k 60, top 10, pool multiplier 32, so a stage-1 pool of 320) and,
with groups, at most 2 per group. The Python version streams the input through a bounded
heap, ranks the pool per axis, fuses in 32-bit floats and selects greedily; its ranked ids
are checked against the engine's before any figure is printed.

    PYTHONPATH=build/ext python bench/run_bench.py [--sizes 100000 1000000] [--repeat 3]
    PYTHONPATH=build/ext python bench/run_bench.py --quick     # tiny sizes, in seconds

Times are CPU times in seconds. Inputs of up to --list-limit candidates are built as a list
first; larger ones are streamed from a generator, whose own cost is measured alone and shown
with both times net of it, and their ratio; "n/a" where a net is lost in the timing noise.
"""

import argparse
import gc
import math

import korvane

from common import candidate, clock_ns, describe_build, job_engine, make_rows, net_ns, python_run


def engine_for(groups):
    return job_engine(korvane, groups=groups, retention="count")


def best_of(repeat, make_input, run):
    """Best CPU time in seconds of run(make_input()), the input made outside the clock."""
    best, result = math.inf, None
    for _ in range(repeat):
        data = make_input()
        gc.collect()
        start = clock_ns()
        result = run(data)
        best = min(best, (clock_ns() - start) / 1e9)
    return best, result


def measure(n, order, shape, groups, repeat, streamed):
    """One line of the table: both runs over the same input, ids checked, times printed."""
    rows = make_rows(n, n, order)

    def make_input():
        items = (candidate(row, shape, groups) for row in rows)
        return items if streamed else list(items)

    engine = engine_for(groups)
    engine_time, outcome = best_of(repeat, make_input, engine.run)
    python_time, expected = best_of(repeat, make_input, lambda c: python_run(c, groups))
    got = [r.id for r in outcome.ranked]
    if got != expected:
        raise SystemExit(f"ranked ids differ for n={n} {order} {shape} groups={groups}:\n"
                         f"  engine {got}\n  python {expected}")
    assert outcome.trace["input_count"] == n and outcome.is_complete()
    source = "generator" if streamed else "list"
    line = (f"{n:>9} {order:>9} {shape:>6} {str(groups):>6} {source:>9} {engine_time:>8.3f} "
            f"{python_time:>8.3f} {python_time / engine_time:>5.1f}x {n / engine_time:>11,.0f}")
    if streamed:
        gen_time, _ = best_of(repeat, make_input, lambda c: sum(1 for _ in c))
        # A ratio of two nets means something only when neither is lost in the noise.
        engine_net, python_net = net_ns(engine_time, gen_time), net_ns(python_time, gen_time)
        nets = f"{fmt_net(engine_net)} {fmt_net(python_net)}"
        ratio = f"{python_net / engine_net:.1f}x" if engine_net and python_net else "n/a"
        line += f" {gen_time:>7.3f} {nets} {ratio:>9}"
    print(line, flush=True)


def fmt_net(seconds):
    return f"{seconds:>8.3f}" if seconds is not None else f"{'n/a':>8}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--list-limit", type=int, default=200_000)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke test")
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.repeat, args.list_limit = [2_000, 5_000], 2, 3_000

    print(f"{describe_build(korvane)}; best of {args.repeat}; CPU times in seconds")
    print(f"{'n':>9} {'order':>9} {'scores':>6} {'groups':>6} {'input':>9} {'engine':>8} "
          f"{'python':>8} {'ratio':>6} {'engine/s':>11} {'gen':>7} {'eng net':>8} "
          f"{'py net':>8} {'net ratio':>9}")
    for n in args.sizes:
        for order in ("random", "ascending"):
            for shape in ("dict", "list"):
                for groups in (False, True):
                    measure(n, order, shape, groups, args.repeat, n > args.list_limit)
    print("ranked ids agreed with the pure-Python run in every configuration")


if __name__ == "__main__":
    main()
