"""The README's Quickstart: a small hybrid search with two cheap axes read from each
candidate, a reranker called once on the shortlist, rrf, and at most two results per module.
tests/test_readme.py checks that this file holds the README's block verbatim."""

import korvane

DOCS = [  # id, module, text, and two cheap scores for the query "read csv rows"
    ("csv.reader", "csv", "Return a reader that reads csv rows from lines.", 7.1, 1.0),
    ("csv.DictReader", "csv", "Read csv rows as dictionaries keyed by the header.", 6.8, 0.7),
    ("csv.writer", "csv", "Return a writer that writes csv rows.", 4.2, 0.7),
    ("io.TextIOBase.readline", "io", "Read and return one line from the stream.", 2.9, 0.3),
    ("fileinput.input", "fileinput", "Iterate over the lines of several files.", 1.8, 0.0),
    ("json.loads", "json", "Deserialize a JSON document to a Python object.", 0.2, 0.0),
]


def documents():                       # stands in for your corpus: any iterable works
    yield from DOCS


def phrase_score(text):                # stands in for a cross-encoder
    return 1.0 if "csv rows" in text else 0.2 if "csv" in text else 0.0


def rerank(pool):                      # called once, with the whole shortlist
    return [phrase_score(c["text"]) for c in pool]


engine = korvane.Engine()
engine.scorer("bm25", scale="unbounded")         # cheap: read from each candidate
engine.scorer("summary")                         # cheap, already in [0, 1]
engine.scorer("proximity", cost="expensive", normalize="clamp01", fn=rerank)
engine.fuse("rrf", k=60)
engine.max_per_group("module", 2)
engine.budget_top_k(10)

outcome = engine.run(
    {"id": doc_id, "scores": {"bm25": b, "summary": s}, "groups": {"module": m}, "text": t}
    for doc_id, m, t, b, s in documents())      # any iterable; a generator is streamed
for r in outcome.ranked:
    print(r.rank, r.id, r.fused, r.scores)
print(outcome.rejected_counts, outcome.selection)
print(outcome.ranked[0].to_json())               # the audit record of the top result
