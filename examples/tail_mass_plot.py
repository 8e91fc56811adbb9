"""Picture the tail-mass budget: the Zipf law fitted to a run's fused scores, and the K it
derives.

budget_tail_mass(epsilon, fallback_k) treats the fused scores of the ranked pool as a mass
over ranks, fits mass(i) ~ i^-s, and returns the smallest K whose tail beyond K holds at most
epsilon of the fitted mass. The left panel shows each rank's share of the fused mass with the
fitted law; the right one the fitted tail mass beyond k, computed by korvane.tail_mass, with
epsilon and the derived K.

    python examples/tail_mass_plot.py [out.png] [candidates]
"""

import pathlib
import random
import sys

import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt  # noqa: E402

import korvane  # noqa: E402

EPSILON = 0.25


def candidates(n, seed=3):
    """Relevance that falls off like a power of the rank, with noise, in a shuffled order."""
    rng = random.Random(seed)
    order = list(range(1, n + 1))
    rng.shuffle(order)
    for i in order:
        yield {"id": i, "scores": {"relevance": min(1.0, i ** -0.9 * rng.uniform(0.8, 1.2))}}


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                       pathlib.Path(__file__).with_name("tail_mass.png"))
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000

    engine = korvane.Engine()
    engine.scorer("relevance")
    engine.fuse("weighted_sum")        # fused = relevance: a mass, not an rrf rank sum
    engine.budget_tail_mass(EPSILON, 10)
    engine.pool_multiplier(20)         # the fit sees the 200 best
    engine.rejections("count")
    evidence = engine.run(candidates(n)).trace["budget"]
    assert evidence is not None  # present exactly under the tail-mass budget

    # The fit runs over the whole ranked pool, but the run selects only the K it derives:
    # rerun with a budget as large as the same pool to see every fused score.
    engine.budget_top_k(200)
    engine.pool_multiplier(1)
    ranked = engine.run(candidates(n)).ranked
    scores = [r.fused for r in ranked]
    s, k, pool = evidence["s"], evidence["derived_k"], len(scores)
    total = sum(scores)
    ranks = range(1, pool + 1)
    # Share of the fitted law's mass at rank i: the tail beyond i - 1 less the tail beyond i.
    fitted = [korvane.tail_mass(s, i - 1, pool) - korvane.tail_mass(s, i, pool) for i in ranks]
    tails = [korvane.tail_mass(s, i, pool) for i in ranks]

    figure, (left, right) = plt.subplots(1, 2, figsize=(9, 3.4), dpi=80)
    left.loglog(ranks, [x / total for x in scores], ".", ms=3, label="fused score share")
    left.loglog(ranks, fitted, "-", lw=1.2, label=f"Zipf fit, s = {s:.2f}")
    left.axvline(k, color="C3", lw=1, ls="--", label=f"derived K = {k}")
    left.set_xlabel("rank")
    left.set_ylabel("share of mass")
    left.legend(fontsize=8, frameon=False)
    right.plot(ranks, tails, "-", lw=1.2, color="C1", label="fitted tail mass beyond k")
    right.axhline(EPSILON, color="grey", lw=1, ls=":", label=f"epsilon = {EPSILON}")
    right.axvline(k, color="C3", lw=1, ls="--", label=f"K = {k}")
    right.set_xscale("log")
    right.set_xlabel("k")
    right.legend(fontsize=8, frameon=False)
    figure.suptitle(f"tail-mass budget over {pool} pooled fused scores "
                    f"(fit quality {evidence['fit_quality']:.2f})", fontsize=10)
    figure.tight_layout()
    figure.savefig(out)
    print(f"s={s:.3f} fit_quality={evidence['fit_quality']:.3f} derived_k={k} "
          f"fallback={evidence['fallback']} pool={pool} -> {out}")


if __name__ == "__main__":
    main()
