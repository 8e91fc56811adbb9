"""What turning a run's outcome into Python objects costs.

Runs the same input keeping every drop ("keep") and keeping none ("count"): the difference is
the cost of the retained drops, native bookkeeping included, and one Rejected object per drop.
That is set against what building the same records in Python costs: a tuple of the five
values, and an object of a plain class with __slots__. Both sides create tracked objects, so
the figures are given with the cyclic collector on and off. Then times attribute reads and
to_json against the plain class.

    PYTHONPATH=build/ext python bench/results_bench.py [n]
"""
import gc
import sys
import time

import korvane


def best_of(repeat, function):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


class PlainRejected:
    __slots__ = ("id", "reason", "detail", "fused", "candidate")

    def __init__(self, id, reason, detail, fused, candidate):
        self.id, self.reason, self.detail, self.fused, self.candidate = (
            id, reason, detail, fused, candidate)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    candidates = [{"id": i, "scores": [((i * 7919) % n) / n]} for i in range(n)]

    def engine(retention):
        e = korvane.Engine()
        e.scorer("a")
        e.rejections(retention)
        return e

    keep, count = engine("keep"), engine("count")
    outcome = keep.run(candidates)
    drops = len(outcome.rejected)
    assert drops == n - len(outcome.ranked) and outcome.is_complete()
    ids = [str(i) for i in range(n)]
    print(f"{n} candidates, {drops} retained drops")
    for collector in ["on", "off"]:
        if collector == "off":
            gc.disable()
        t_keep = best_of(3, lambda: keep.run(candidates))
        t_count = best_of(3, lambda: count.run(candidates))
        per_drop = (t_keep - t_count) / drops
        t_tuple = best_of(3, lambda: [(i, "out_of_pool", None, None, c)
                                      for i, c in zip(ids, candidates)]) / n
        t_plain = best_of(3, lambda: [PlainRejected(i, "out_of_pool", None, None, c)
                                      for i, c in zip(ids, candidates)]) / n
        gc.enable()
        print(f"collector {collector}: run keep {t_keep * 1e3:.1f} ms,"
              f" count {t_count * 1e3:.1f} ms;"
              f" per retained drop {per_drop * 1e9:.0f} ns"
              f" (tuple {t_tuple * 1e9:.0f} ns, ratio {per_drop / t_tuple:.2f};"
              f" __slots__ object {t_plain * 1e9:.0f} ns, ratio {per_drop / t_plain:.2f})")

    ranked = outcome.ranked[0]
    rejected = outcome.rejected[0]
    plain = PlainRejected(ids[0], "out_of_pool", None, None, candidates[0])
    reads = 200_000
    for label, obj, attribute in [("Ranked.id (getter)", ranked, "id"),
                                  ("Ranked.scores (member)", ranked, "scores"),
                                  ("Rejected.fused (getter)", rejected, "fused"),
                                  ("plain slot", plain, "id")]:
        t = best_of(3, lambda: [getattr(obj, attribute) for _ in range(reads)]) / reads
        print(f"{label:26s} {t * 1e9:6.1f} ns per read")
    t = best_of(3, lambda: [ranked.to_json() for _ in range(reads)]) / reads
    print(f"{'Ranked.to_json()':26s} {t * 1e9:6.1f} ns per call"
          f" ({len(ranked.to_json())} bytes)")


if __name__ == "__main__":
    main()
