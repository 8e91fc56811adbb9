"""Configure a hybrid-search engine: lexical and dense scores fused by rank, a reranker on
the shortlist, at most two passages per site, and a K chosen from the score mass."""

import korvane


def rerank(pool):
    # A stand-in for a cross-encoder: it sees the whole shortlist in one call and returns
    # one score per candidate, in the same order.
    return [float(len(str(candidate.get("text", "")))) for candidate in pool]


engine = korvane.Engine()
engine.scorer("bm25", scale="unbounded")
engine.scorer("dense", normalize="clamp01")
engine.scorer("rerank", cost="expensive", normalize="sigmoid", fn=rerank)
engine.fuse("rrf", k=60)
engine.max_per_group("site", 2)
engine.budget_tail_mass(0.05, 10)
engine.pool_multiplier(4)

print(engine)
print(f"korvane {korvane.__version__}: {korvane.__status__}")

# The share of a Zipf law's mass left beyond the top k of 1000 ranks.
for s in (0.8, 1.0, 1.2):
    tails = ", ".join(f"k={k}: {korvane.tail_mass(s, k, 1000):.4f}" for k in (10, 50, 100))
    print(f"s={s}: {tails}")
