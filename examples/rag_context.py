"""Pack an LLM's context window: the best passages whose token counts fit a budget.

The passages are the paragraphs of the standard library's docstrings (built on this
machine). A cheap lexical score (BM25) is computed for every passage as it streams past; a
reranker, standing in for a cross-encoder, is called once with the whole shortlist; the
token budget then packs the best passages whose costs add up to at most the budget, with at
most two passages from one docstring.

    python examples/rag_context.py ["question"] [budget_tokens]
"""

import sys

import korvane
from hybrid_search import Bm25, documents, proximity_reranker, tokens

DEFAULT_QUESTION = "how do I compare two sequences and show their differences"


def passages():
    """(id, docstring id, text) for every paragraph of every docstring, in a fixed order."""
    for doc_id, _, text in documents():
        for i, paragraph in enumerate(p.strip() for p in text.split("\n\n")):
            if len(paragraph.split()) >= 8:  # skip signatures and one-liners
                yield f"{doc_id}#{i}", doc_id, paragraph


def main():
    question = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_QUESTION
    budget = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    terms = list(dict.fromkeys(tokens(question)))
    corpus = [(pid, doc, text, tokens(text)) for pid, doc, text in passages()]
    bm25 = Bm25([passage_tokens for _, _, _, passage_tokens in corpus])

    reranker = proximity_reranker(terms)
    calls = []

    def rerank(pool):  # one call, whatever the number of passages streamed
        calls.append(len(pool))
        return reranker(pool)

    engine = korvane.Engine()
    # A token budget trades value against cost, so the fused score must mean "how useful",
    # not a rank: a weighted mean of two scores in [0, 1], the reranker counting double.
    engine.scorer("bm25", normalize="minmax", normalize_range=(0.0, 12.0))
    engine.scorer("rerank", cost="expensive", normalize="clamp01", fn=rerank)
    engine.fuse("weighted_sum", weights={"bm25": 1.0, "rerank": 2.0})
    engine.threshold(0.4)          # what is not worth its tokens at any price
    engine.max_per_group("doc", 2)
    engine.budget_tokens(budget)   # the pool holds budget x multiplier candidates at most
    engine.pool_multiplier(1)
    engine.rejections("count")

    outcome = engine.run(
        {"id": pid, "groups": {"doc": doc}, "cost": len(text.split()), "text": text,
         "tokens": passage_tokens, "scores": {"bm25": bm25.score(terms, passage_tokens)}}
        for pid, doc, text, passage_tokens in corpus)

    used = sum(r.candidate["cost"] for r in outcome.ranked)
    print(f"question: {question!r}")
    print(f"{len(corpus)} passages; reranker calls: {len(calls)} (on {calls[0]} passages)")
    print(f"packed {len(outcome.ranked)} passages, {used} of {budget} tokens "
          f"(in pick order: value per token first)")
    print()
    for r in outcome.ranked:
        print(f"{r.rank:>2}. {r.id:<40} {r.candidate['cost']:>4} tokens  fused={r.fused:.4f}")
    context = "\n\n".join(f"[{r.id}]\n{r.candidate['text']}" for r in outcome.ranked)
    print()
    print("context, first lines:")
    print("\n".join(context.splitlines()[:6]))


if __name__ == "__main__":
    main()
