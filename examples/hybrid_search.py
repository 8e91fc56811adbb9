"""Hybrid search over the Python standard library's own documentation.

The corpus is built on this machine: the docstrings of a fixed list of standard-library
modules and of the public classes and functions they define, one candidate each, grouped by
module. Two cheap signals are computed for every candidate as it streams past: Okapi BM25
over its name and docstring, and coverage, the share of the query's weight that the
candidate's own text covers (its module's docstring counts at half weight, as context).
Candidates that cover less than half of the query are dropped before any axis is scored. An
expensive phrase-and-proximity reranker, written in Python, sees only the shortlist, in one
call. Reciprocal rank fusion combines the three, at most two results per module are kept,
and every candidate the engine read is accounted for.

    python examples/hybrid_search.py ["your query"]
"""

import importlib
import inspect
import math
import re
import sys
from collections import Counter

import korvane

DEFAULT_QUERY = "read a file line by line and split each line into fields"

# Modules that are safe to import (no side effects) and document themselves well.
MODULES = sorted("""
    abc argparse array ast base64 bisect calendar codecs collections colorsys configparser
    contextlib copy csv dataclasses datetime decimal difflib email.message email.utils enum
    filecmp fileinput fnmatch fractions ftplib functools getopt gettext glob graphlib gzip
    hashlib heapq hmac html html.parser http.client http.cookies imaplib inspect io ipaddress
    itertools json keyword linecache locale logging lzma mailbox mimetypes netrc numbers
    operator optparse os os.path pathlib pickle pkgutil platform plistlib poplib pprint
    queue quopri random re reprlib sched secrets selectors shelve shlex shutil smtplib socket
    socketserver statistics string stringprep struct subprocess tarfile tempfile textwrap
    threading timeit tokenize trace traceback types typing urllib.parse urllib.request uuid
    warnings wave weakref xml.dom.minidom xml.etree.ElementTree zipfile zipimport
""".split())

TOKEN = re.compile(r"[a-z0-9]+")
# Words inside identifiers: "DictReader" -> "Dict", "Reader"; "read_file" -> "read", "file".
NAME_WORD = re.compile(r"[A-Z]?[a-z0-9]+|[A-Z]+(?![a-z])")
STOPWORDS = frozenset("a an and are as at be by each for from if in into is it its of on or "
                      "that the this to with".split())
# A light stemmer, enough to meet "reader" with "read" and "fields" with "field".
SUFFIXES = ("ings", "ing", "ers", "er", "es", "ed", "s")


def stem(word):
    for suffix in SUFFIXES:
        if word.endswith(suffix) and len(word) - len(suffix) >= 3:
            return word[:-len(suffix)]
    return word


def tokens(text):
    return [stem(t) for t in TOKEN.findall(text.lower()) if t not in STOPWORDS]


def name_tokens(doc_id):
    words = (w.lower() for part in doc_id.split(".") for w in NAME_WORD.findall(part))
    return [stem(w) for w in words if w not in STOPWORDS]


def public(namespace):
    return [(name, namespace[name]) for name in sorted(namespace) if not name.startswith("_")]


def documents():
    """(id, module, text) for every documented module, class, function and method, in a
    fixed order."""
    for module_name in MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        # Defined here, or in the module's C accelerator (heapq's functions live in _heapq).
        homes = {module.__name__, "_" + module.__name__.rpartition(".")[2]}
        doc = inspect.getdoc(module)
        if doc:
            yield module_name, module_name, doc
        for name, value in public(vars(module)):
            is_class = inspect.isclass(value)
            if not (is_class or inspect.isfunction(value) or inspect.isbuiltin(value)):
                continue
            if getattr(value, "__module__", None) not in homes:
                continue  # imported from elsewhere; it is documented where it is defined
            doc = inspect.getdoc(value)
            if doc:
                yield f"{module_name}.{name}", module_name, doc
            if not is_class:
                continue
            for method_name, method in public(vars(value)):
                if inspect.isfunction(method) and method.__doc__:
                    yield (f"{module_name}.{name}.{method_name}", module_name,
                           inspect.cleandoc(method.__doc__))


class Bm25:
    """Okapi BM25 over a corpus of token lists (k1 = 1.2, b = 0.75)."""

    def __init__(self, corpus, k1=1.2, b=0.75):
        self.k1, self.b = k1, b
        self.average_length = sum(map(len, corpus)) / max(1, len(corpus))
        frequency = Counter(t for doc in corpus for t in set(doc))
        n = len(corpus)
        self.idf = {t: math.log(1 + (n - f + 0.5) / (f + 0.5)) for t, f in frequency.items()}

    def score(self, query_terms, doc):
        counts = Counter(doc)
        norm = self.k1 * (1 - self.b + self.b * len(doc) / self.average_length)
        total = 0.0
        for term in query_terms:
            tf = counts.get(term, 0)
            if tf:
                total += self.idf[term] * tf * (self.k1 + 1) / (tf + norm)
        return total


def coverage(query_weights, own_terms, context_terms):
    """The share of the query's weight (idf per distinct term) that the candidate's own terms
    cover; a term found only in its module's docstring counts half."""
    total = sum(query_weights.values()) or 1.0
    covered = sum(w if t in own_terms else 0.5 * w if t in context_terms else 0.0
                  for t, w in query_weights.items())
    return covered / total


def proximity_reranker(query_terms):
    """An expensive axis: scores the whole shortlist in one call, by how closely the
    docstring brings the query terms together (phrase pairs count most)."""
    pairs = set(zip(query_terms, query_terms[1:]))

    def rerank(pool):
        scores = []
        for candidate in pool:
            words = candidate["tokens"]
            positions = {}
            for i, word in enumerate(words):
                positions.setdefault(word, []).append(i)
            matched = [t for t in query_terms if t in positions]
            if not matched:
                scores.append(None)  # nothing to say: the axis is missing for it
                continue
            phrase_hits = sum(1 for a, b in zip(words, words[1:]) if (a, b) in pairs)
            # Smallest window holding one occurrence of every matched term.
            events = sorted((p, t) for t in set(matched) for p in positions[t])
            need, have, best, left = len(set(matched)), Counter(), len(words), 0
            for position, term in events:
                have[term] += 1
                while len(have) == need:
                    best = min(best, position - events[left][0] + 1)
                    have[events[left][1]] -= 1
                    if not have[events[left][1]]:
                        del have[events[left][1]]
                    left += 1
            coverage = len(set(matched)) / len(set(query_terms))
            scores.append(coverage * len(set(matched)) / best + 0.25 * phrase_hits)
        return scores

    return rerank


def first_line(text, width):
    """The first line of prose (a docstring may open with a call signature), cut to width."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    line = next((line for line in lines if line[0].isupper()), lines[0])
    return line if len(line) <= width else line[:width - 1] + "…"


def main():
    query = " ".join(sys.argv[1:]) or DEFAULT_QUERY
    query_terms = list(dict.fromkeys(tokens(query)))
    corpus = [(doc_id, module, text, tokens(text) + name_tokens(doc_id))
              for doc_id, module, text in documents()]
    bm25 = Bm25([doc_tokens for _, _, _, doc_tokens in corpus])
    query_weights = {t: bm25.idf.get(t, 0.0) for t in query_terms}
    module_terms = {doc_id: set(doc_tokens) for doc_id, module, _, doc_tokens in corpus
                    if doc_id == module}
    summaries = {doc_id: text for doc_id, _, text, _ in corpus}

    engine = korvane.Engine()
    engine.scorer("bm25", scale="unbounded")
    engine.scorer("coverage")
    engine.scorer("proximity", cost="expensive", normalize="clamp01",
                  fn=proximity_reranker(query_terms))
    engine.fuse("rrf", k=60)
    engine.unary_min("coverage", 0.5, id="most_of_query")
    engine.max_per_group("module", 2, id="per_module")
    engine.budget_top_k(10)
    engine.pool_multiplier(5)
    engine.rejections("count")

    # A generator: the engine streams it once and keeps only the best 50 in its pool.
    candidates = ({"id": doc_id, "groups": {"module": module}, "tokens": doc_tokens,
                   "scores": {"bm25": bm25.score(query_terms, doc_tokens),
                              "coverage": coverage(query_weights, set(doc_tokens),
                                                   module_terms.get(module, ()))}}
                  for doc_id, module, _, doc_tokens in corpus)
    outcome = engine.run(candidates)

    print(f"query: {query!r}")
    print(f"{len(corpus)} docstrings from {len(MODULES)} modules")
    print()
    width = max([len(r.id) for r in outcome.ranked] + [2])
    print(f" # {'id':<{width}}   fused   bm25  cover   prox  first line")
    for r in outcome.ranked:
        axes = "  ".join("    -" if v is None else f"{v:5.2f}" for v in r.scores.values())
        print(f"{r.rank:>2} {r.id:<{width}}  {r.fused:.4f}  {axes}  "
              f"{first_line(summaries[r.id], 44)}")
    if not outcome.ranked:
        print("   (nothing covers half of the query)")
    print()
    selection = outcome.selection
    margin = selection["cut_margin"]
    print(f"selection: exact={selection['exact']} pool_size={selection['pool_size']} "
          f"pool_exhausted={selection['pool_exhausted']} "
          f"cut_margin={'-' if margin is None else f'{margin:.5f}'}")
    print("dropped:  ", "  ".join(f"{reason}={n}"
                                  for reason, n in outcome.rejected_counts.items() if n))
    trace = outcome.trace
    calls = "  ".join(f"{s['scorer']}={s['calls']}" for s in trace["scorers"])
    print(f"trace:     input_count={trace['input_count']} pool_capacity={trace['pool_capacity']} "
          f"admission={trace['admission_scorer']}  calls: {calls}")
    print(f"complete:  {outcome.is_complete()}")
    print()
    print("audit of rank 1:")
    print(outcome.ranked[0].to_json() if outcome.ranked else "(nothing selected)")


if __name__ == "__main__":
    main()
