"""Diversify a result list: cover many topics, and take at most two items from one source.

A news-like stream of articles (made up here, from a fixed seed) carries a relevance score,
a source and a few topics. The plain top 10 is ten relevant articles about the same few
topics, mostly from the same sources. coverage_objective makes each pick count the topics it
adds that the picks before it did not cover; max_per_group caps each source at two.

    python examples/diversity.py [articles]
"""

import random
import sys
from collections import Counter

import korvane

TOPICS = ["elections", "energy", "football", "health", "housing", "markets", "science",
          "space", "tennis", "trade", "transport", "weather"]
SOURCES = [f"source-{i:02}" for i in range(12)]


def articles(n, seed=7):
    """Relevance falls with rank in the source's feed; popular topics and sources dominate
    the top, as they do in real feeds."""
    rng = random.Random(seed)
    for i in range(n):
        topics = rng.choices(TOPICS, weights=[2 ** -(t / 2) for t in range(len(TOPICS))],
                             k=rng.randint(1, 3))
        source = rng.choices(SOURCES, weights=[2 ** -(s / 3) for s in range(len(SOURCES))])[0]
        relevance = rng.betavariate(8 if TOPICS[0] in topics else 2, 3)
        yield {"id": i, "scores": {"relevance": relevance}, "groups": {"source": source},
               "cover": sorted(set(topics))}


def engine(diverse):
    e = korvane.Engine()
    e.scorer("relevance")
    e.fuse("weighted_sum")     # fused = relevance, in [0, 1]: one new topic outweighs it
    e.budget_top_k(10)
    e.rejections("count")
    if diverse:
        e.coverage_objective()
        e.max_per_group("source", 2)
    return e


def report(title, outcome):
    topics = {t for r in outcome.ranked for t in r.candidate["cover"]}
    per_source = Counter(r.candidate["groups"]["source"] for r in outcome.ranked)
    mean = sum(r.fused for r in outcome.ranked) / len(outcome.ranked)
    print(f"{title}: {len(topics)} topics, {len(per_source)} sources, at most "
          f"{max(per_source.values())} from one source, mean relevance {mean:.3f}")
    for r in outcome.ranked:
        print(f"  {r.rank:>2}. #{r.id:<6} {r.fused:.3f}  {r.candidate['groups']['source']}  "
              f"{', '.join(r.candidate['cover'])}")
    print(f"  selection: {outcome.selection}")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    report("top 10 by relevance", engine(False).run(articles(n)))
    print()
    report("diverse top 10", engine(True).run(articles(n)))


if __name__ == "__main__":
    main()
