"""Hybrid search from two retrievers' outputs: fuse their ranked lists with run_lists.

Each retriever answers on its own, as a list of ids in rank order with scores: BM25 over the
standard library's docstrings (rank_bm25), and a dense similarity from TF-IDF vectors reduced
by a truncated SVD (scikit-learn), standing in for an embedding model. run_lists joins the
lists by id (a document found by one retriever only is missing on the other axis), fuses
them by rrf and keeps at most two results per module. Given several queries' lists, it runs
them as one batch.

    python examples/hybrid_lists.py ["query" ...]
"""

import sys

import numpy as np
from rank_bm25 import BM25Okapi
from sklearn.decomposition import TruncatedSVD
from sklearn.feature_extraction.text import TfidfVectorizer

import korvane
from hybrid_search import documents, tokens

DEPTH = 100  # how many results each retriever returns


class Retrievers:
    def __init__(self, texts):
        self.bm25 = BM25Okapi([tokens(text) or ["-"] for text in texts])
        self.tfidf = TfidfVectorizer(tokenizer=tokens, token_pattern=None, sublinear_tf=True)
        self.svd = TruncatedSVD(n_components=min(256, len(texts) - 1), random_state=0)
        self.vectors = self.embed(texts, fit=True)

    def embed(self, texts, fit=False):
        matrix = self.tfidf.fit_transform(texts) if fit else self.tfidf.transform(texts)
        dense = self.svd.fit_transform(matrix) if fit else self.svd.transform(matrix)
        return dense / np.maximum(np.linalg.norm(dense, axis=1, keepdims=True), 1e-12)

    def lexical(self, query):
        """Row numbers of the best DEPTH documents by BM25, best first, and their scores."""
        scores = self.bm25.get_scores(tokens(query))
        top = np.argsort(-scores, kind="stable")[:DEPTH]
        return top, scores[top]

    def dense(self, query):
        similarity = self.vectors @ self.embed([query])[0]
        top = np.argsort(-similarity, kind="stable")[:DEPTH]
        return top, similarity[top]


def main():
    queries = sys.argv[1:] or ["compress data with gzip", "parse command line options",
                               "send an email message"]
    docs = list(documents())
    names = [doc_id for doc_id, _, _ in docs]
    # Both retrievers index the name with the docstring: "gzip.compress" -> "gzip compress".
    retrievers = Retrievers([f"{doc_id.replace('.', ' ').replace('_', ' ')}\n{text}"
                             for doc_id, _, text in docs])

    engine = korvane.Engine()
    engine.scorer("bm25", scale="unbounded")
    engine.scorer("dense", normalize="clamp01")
    engine.fuse("rrf", k=60)
    engine.max_per_group("module", 2)
    engine.budget_top_k(5)

    # Ids are row numbers into docs; groups map an id to its group value.
    modules = {"module": {row: module for row, (_, module, _) in enumerate(docs)}}
    lists = [{"bm25": retrievers.lexical(q), "dense": retrievers.dense(q)} for q in queries]

    single = engine.run_lists(lists[0], groups=modules)
    batch = engine.run_lists(lists, groups=modules, threads=2)
    assert [r.id for r in single.ranked] == [r.id for r in batch[0].ranked]

    for query, outcome in zip(queries, batch):
        print(f"query: {query!r}")
        for r in outcome.ranked:
            values = "  ".join("    -" if v is None else f"{v:5.2f}" for v in r.scores.values())
            print(f"  {r.rank}. {names[int(r.id)]:<40} {r.fused:.4f}  {values}")
        found = outcome.trace["input_count"]
        print(f"  {found} distinct documents in the two lists; complete: {outcome.is_complete()}")


if __name__ == "__main__":
    main()
