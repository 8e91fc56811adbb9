"""Soak: a mixed workload of successful and failing runs, many thousands of times over,
with memory sampled along the way. Nothing may accumulate.

Each round makes every scenario once: successful runs under every budget (top K, tail
mass, tokens) and every retention policy (keep, count, sample), with group maxima, a total
maximum, requirements, the coverage objective, unary minimums, a threshold, the missing
policies and a callback axis; and failing runs of every kind: an intake error, an iterator
that raises, a callback that raises, a callback result that is not a sequence, a batch of
the wrong length, a configuration refused by validation, a unary minimum on an unknown
axis, a requirement that exchange cannot meet, an engine without axes, and configuration
arguments whose conversion fails. Successful outcomes are read through (lists, dicts,
reprs, audit JSON, is_complete).

After a warm-up the script samples, at the start, every --every rounds and at the end:
the resident set size (VmRSS of /proc/self/status), the Python heap as tracemalloc counts
it (current and peak), and the number of live objects the collector tracks
(len(gc.get_objects())). It prints the samples and the growth from the first to the last,
and exits with status 1 when the growth passes the tolerances.

    PYTHONPATH=build/ext python bench/soak.py [--rounds 2000] [--every 250] [--warmup 50]
"""

import argparse
import gc
import sys
import time
import tracemalloc

import korvane


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom("float")


def candidates(n, seed):
    for i in range(n):
        yield {
            "id": i if i % 3 else f"doc-{i}",
            "scores": {"a": ((i * 37 + seed) % n) / n, "b": ((i * 11 + seed) % n) / n},
            "groups": {"site": i % 7, "lang": "ko" if i % 4 else "en"},
            "cost": 1 + (i % 5),
            "cover": [str(i % 9), str((i + seed) % 13)],
        }


def callback(pool):
    return [None if c["id"] == 5 else ((hash(str(c["id"])) % 1000) / 1000) for c in pool]


def base(budget, retention, **options):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("b", normalize="clamp01")
    if options.get("callback", True):
        engine.scorer("x", cost="expensive", fn=callback)
    method, args = budget
    getattr(engine, method)(*args)
    policy, n = retention
    engine.rejections(policy, n=n)
    engine.pool_multiplier(3)
    return engine


BUDGETS = [("budget_top_k", (6,)), ("budget_tail_mass", (0.2, 5)), ("budget_tokens", (12,))]
RETENTIONS = [("keep", None), ("count", None), ("sample", 4)]


def successful_scenarios():
    scenarios = []
    for budget in BUDGETS:
        for retention in RETENTIONS:
            def plain(budget=budget, retention=retention):
                engine = base(budget, retention)
                engine.max_per_group("site", 2)
                engine.max_total(5)
                engine.unary_min("a", 0.05)
                return engine

            def weighted(budget=budget, retention=retention):
                engine = base(budget, retention)
                engine.fuse("weighted_sum", weights={"a": 2.0, "b": 1.0, "x": 0.5})
                engine.threshold(0.1)
                engine.missing("impute", value=0.25)
                engine.require_at_least("lang", "en", 1)
                return engine

            def covering(budget=budget, retention=retention):
                engine = base(budget, retention, callback=False)
                engine.fuse("max")
                engine.coverage_objective()
                engine.missing("reject")
                engine.admission("a")
                return engine

            scenarios += [plain, weighted, covering]
    return scenarios


def failing_scenarios():
    def intake_error():
        def stream():
            yield from candidates(20, 1)
            yield ["not", "a", "dict"]
            yield from candidates(20, 2)

        return base(BUDGETS[0], RETENTIONS[0]), stream(), ValueError

    def iterator_error():
        def stream():
            yield from candidates(20, 3)
            raise Boom("iterator")

        return base(BUDGETS[1], RETENTIONS[1]), stream(), Boom

    def callback_error():
        engine = base(BUDGETS[0], RETENTIONS[2], callback=False)
        engine.scorer("y", cost="expensive", fn=lambda pool: 1 / 0)
        return engine, candidates(40, 4), ZeroDivisionError

    def not_a_sequence():
        engine = base(BUDGETS[2], RETENTIONS[0], callback=False)
        engine.scorer("y", cost="expensive", fn=lambda pool: (0.5 for _ in pool))
        return engine, candidates(40, 5), ValueError

    def batch_length():
        engine = base(BUDGETS[0], RETENTIONS[0], callback=False)
        engine.scorer("y", cost="expensive", fn=lambda pool: [0.5])
        return engine, candidates(40, 6), korvane.EngineError

    def validation():
        engine = base(BUDGETS[0], RETENTIONS[0])
        engine.scorer("a")  # a second axis of the same name
        return engine, candidates(40, 7), ValueError

    def unknown_unary_axis():
        engine = base(BUDGETS[1], RETENTIONS[2])
        engine.unary_min("nope", 0.5)
        return engine, candidates(40, 8), ValueError

    def requirement():
        engine = base(BUDGETS[0], RETENTIONS[1])
        engine.require_at_least("lang", "fr", 2)
        return engine, candidates(40, 9), korvane.EngineError

    def no_axis():
        return korvane.Engine(), candidates(40, 10), ValueError

    return [intake_error, iterator_error, callback_error, not_a_sequence, batch_length,
            validation, unknown_unary_axis, requirement, no_axis]


def read_through(outcome):
    """Touches everything an outcome offers, as a caller would."""
    total = len(repr(outcome)) + int(outcome.is_complete())
    for ranked in outcome.ranked:
        total += len(ranked.to_json()) + len(repr(ranked)) + len(ranked.constraints)
        total += len(ranked.scores) + len(ranked.fusion["terms"]) + ranked.rank
    for rejected in outcome.rejected:
        total += len(repr(rejected)) + len(rejected.reason) + (rejected.detail is None)
    total += sum(outcome.rejected_counts.values()) + len(outcome.selection)
    total += len(outcome.trace["scorers"])
    return total


def failing_configuration(engine):
    """Configuration arguments whose conversion fails, and a refusal from inside one."""
    kinds = []
    for call in (lambda: engine.threshold(BadFloat()), lambda: engine.budget_top_k(2**40),
                 lambda: engine.scorer("\udc80"),
                 lambda: engine.fuse("weighted_sum", weights=[("a", BadFloat())])):
        try:
            call()
        except (Boom, OverflowError, UnicodeEncodeError, ValueError) as error:
            kinds.append(type(error))
    return len(kinds)


def one_round(successful, failing, round_number):
    checksum = 0
    for make in successful:
        engine = make()
        outcome = engine.run(candidates(60, round_number % 17))
        checksum += read_through(outcome) + len(repr(engine))
    for make in failing:
        engine, stream, expected = make()
        try:
            engine.run(stream)
        except expected:
            checksum += 1
        else:
            raise AssertionError(f"{make.__name__} did not fail")
    checksum += failing_configuration(korvane.Engine())
    checksum += int(korvane.tail_mass(1.1, 3, 100) > 0)
    return checksum


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def sample(label, runs):
    gc.collect()
    # The interpreter's attribute lookup cache keeps the names of recent lookups alive (up
    # to a few thousand of them); emptied here so that it does not pass for growth.
    sys._clear_type_cache()
    current, peak = tracemalloc.get_traced_memory()
    return {"label": label, "runs": runs, "rss": rss_kib(), "heap": current, "peak": peak,
            "objects": len(gc.get_objects())}


def show(row):
    print(f"{row['label']:>8} {row['runs']:>9} {row['rss'] / 1024:10.2f} "
          f"{row['heap'] / 1024:12.1f} {row['peak'] / 1024:12.1f} {row['objects']:9d}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=2000)
    parser.add_argument("--every", type=int, default=250)
    parser.add_argument("--warmup", type=int, default=50)
    parser.add_argument("--rss-tolerance-kib", type=int, default=2048)
    parser.add_argument("--heap-tolerance-kib", type=int, default=64)
    parser.add_argument("--object-tolerance", type=int, default=50)
    args = parser.parse_args()

    successful = successful_scenarios()
    failing = failing_scenarios()
    per_round = len(successful) + len(failing)
    print(f"korvane {korvane.__version__}: {len(successful)} successful and {len(failing)} "
          f"failing runs per round, plus failing configuration calls")

    # Warm-up: first imports, interned texts, allocator pools and caches settle here. The
    # Python heap is traced from before it. The interpreter's table of interned texts (the
    # result dicts' keys are interned, and come and go with the outcomes) was allocated
    # before tracing began; short-lived interned texts make it reallocate now, so that its
    # reallocation later is not counted as new memory.
    tracemalloc.start()
    for i in range(200_000):
        sys.intern(f"soak-warm-up-{i}")
    for round_number in range(args.warmup):
        one_round(successful, failing, round_number)
    tracemalloc.reset_peak()
    print(f"{'sample':>8} {'runs':>9} {'RSS MiB':>10} {'heap KiB':>12} {'peak KiB':>12} "
          f"{'objects':>9}")
    # Only the first and the latest sample are kept: a growing list of samples would be
    # growth of its own.
    first = sample("start", 0)
    show(first)
    started = time.perf_counter()
    for round_number in range(1, args.rounds + 1):
        one_round(successful, failing, round_number)
        if round_number % args.every == 0 and round_number != args.rounds:
            show(sample(f"r{round_number}", round_number * per_round))
    elapsed = time.perf_counter() - started
    last = sample("end", args.rounds * per_round)
    show(last)
    tracemalloc.stop()

    growth = {"rss": last["rss"] - first["rss"], "heap": last["heap"] - first["heap"],
              "objects": last["objects"] - first["objects"]}
    runs = args.rounds * per_round
    print(f"{runs} runs in {elapsed:.1f} s ({runs / elapsed:.0f} runs/s, traced)")
    print(f"growth start -> end: RSS {growth['rss']:+d} KiB, Python heap "
          f"{growth['heap'] / 1024:+.1f} KiB, tracked objects {growth['objects']:+d}")
    flat = (growth["rss"] <= args.rss_tolerance_kib
            and growth["heap"] <= args.heap_tolerance_kib * 1024
            and growth["objects"] <= args.object_tolerance)
    print("flat" if flat else "NOT FLAT")
    return 0 if flat else 1


if __name__ == "__main__":
    sys.exit(main())
