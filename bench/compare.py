"""Engine.run side by side with the leanest pure-Python run that gives the same ranked ids.

The job is the default run with groups: axes a (unit) and b (unbounded), rrf k 60, at most 2
per group g, top 10 from a stage-1 pool of 320. The Python side is `python_run` of
bench/common.py (a bounded heap, sorted ranks, 32-bit fused scores, one greedy pass). Rows:

- `run([])`, the fixed cost of a call;
- 20 and 1,000 candidate dicts in a list, default retention (every drop kept as a Rejected);
- 10^6 dicts from a generator under rejections("count"): the cost above draining the same
  generator with collections.deque(gen, maxlen=0), in ns per candidate;
- 3x10^5 dicts from a generator, default retention: the cost above list(gen), in ns per
  candidate, each of which is a retained drop; the Python side keeps a tuple per drop;
- one Ranked: runs with K 1,000 and K 10 over the same 1,000 candidates (the same pool of
  1,000, drops counted only), with and without reading every attribute, the scores and
  fusion dicts and to_json; the difference per extra Ranked.

Times are CPU times of the process (best of 5; short jobs looped). Ranked ids are compared with
the Python run's before any figure is printed. The table is markdown, ready to paste.

    PYTHONPATH=build/ext python bench/compare.py [--quick]
"""

import argparse
import collections

import korvane

from common import (candidate, cpu_ns, describe_build, faster, job_engine, make_rows,
                    markdown_table, net_ns, python_run, show_ns)


def ranked_ids(outcome):
    return [r.id for r in outcome.ranked]


def check(got, expected, what):
    if got != expected:
        raise SystemExit(f"ranked ids differ for {what}:\n  korvane {got}\n  python  {expected}")


def list_row(label, items, engine, repeat, min_sample_ns):
    check(ranked_ids(engine.run(items)), python_run(items, True), label)
    ours = cpu_ns(lambda: engine.run(items), repeat=repeat, min_sample_ns=min_sample_ns)
    theirs = cpu_ns(lambda: python_run(items, True), repeat=repeat, min_sample_ns=min_sample_ns)
    return [label, show_ns(ours), show_ns(theirs), faster(ours, theirs)]


def stream_row(label, rows, engine, baseline, python_drops, repeat):
    """Both runs over a fresh generator each time, net of `baseline` over the same generator."""
    def gen():
        return (candidate(row) for row in rows)

    def python_side():
        return python_run(gen(), True, drops=[] if python_drops else None)

    outcome = engine.run(gen())
    check(ranked_ids(outcome), python_side(), label)
    assert outcome.trace["input_count"] == len(rows) and outcome.is_complete()
    del outcome
    base = cpu_ns(lambda: baseline(gen()), repeat=repeat)
    ours = net_ns(cpu_ns(lambda: engine.run(gen()), repeat=repeat), base)
    theirs = net_ns(cpu_ns(python_side, repeat=repeat), base)
    per = (lambda ns: None if ns is None else ns / len(rows))
    return [label, per_candidate(per(ours)), per_candidate(per(theirs)),
            faster(per(ours), per(theirs))], base / len(rows)


def per_candidate(ns):
    return "within noise" if ns is None else f"{ns:,.0f} ns/candidate"


def ranked_rows(n, repeat, min_sample_ns):
    """What one Ranked costs: K 1,000 against K 10 over the same pool of n = 1,000."""
    rows = [(i, a, b, f"g{i // 2}") for i, a, b, _ in make_rows(n, 7)]  # 2 per group: all fit
    items = [candidate(row) for row in rows]
    wide, narrow = job_engine(korvane, retention="count"), job_engine(korvane, retention="count")
    wide.budget_top_k(n)
    wide.pool_multiplier(1)
    narrow.pool_multiplier(n // 10)
    assert ranked_ids(narrow.run(items)) == ranked_ids(wide.run(items))[:10]
    assert len(wide.run(items).ranked) == n

    def read_all(engine):
        for r in engine.run(items).ranked:
            r.id, r.rank, r.fused, r.candidate, r.constraints, r.to_json()
            list(r.scores.items())
            fusion = r.fusion
            fusion["method"], fusion["k"], fusion["missing_policy"]
            for term in fusion["terms"]:
                list(term.values())

    def time(call):
        return cpu_ns(call, repeat=repeat, min_sample_ns=min_sample_ns)

    def per_ranked(wide_ns, narrow_ns):
        # A difference lost in the noise of the two runs (even below zero) is no figure.
        diff = net_ns(wide_ns, narrow_ns)
        return "within noise" if diff is None else show_ns(diff / (n - 10))

    unread = per_ranked(time(lambda: wide.run(items)), time(lambda: narrow.run(items)))
    read = per_ranked(time(lambda: read_all(wide)), time(lambda: read_all(narrow)))
    return [
        ["one Ranked, built and left unread (K 1,000 vs K 10, same pool)", unread, "—", "—"],
        ["one Ranked, built and fully read (every attribute, scores, fusion, to_json)", read,
         "—", "—"],
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke test")
    args = parser.parse_args()
    repeat = 5
    min_sample_ns = 1_000_000 if args.quick else 20_000_000
    drain_n = 10_000 if args.quick else 1_000_000
    keep_n = 3_000 if args.quick else 300_000

    keep_engine = job_engine(korvane)
    count_engine = job_engine(korvane, retention="count")
    table = []
    check(ranked_ids(keep_engine.run([])), python_run([], True), "run([])")
    ours = cpu_ns(lambda: keep_engine.run([]), repeat=repeat, min_sample_ns=min_sample_ns)
    theirs = cpu_ns(lambda: python_run([], True), repeat=repeat, min_sample_ns=min_sample_ns)
    table.append(["`run([])`", show_ns(ours), show_ns(theirs), faster(ours, theirs)])
    for n in (20, 1_000):
        items = [candidate(row) for row in make_rows(n, n)]
        table.append(list_row(f"{n:,} candidate dicts, keep", items, keep_engine, repeat,
                              min_sample_ns))
    row, drain_base = stream_row(
        f"{drain_n:,} dicts from a generator, `rejections(\"count\")`, above "
        "`deque(gen, maxlen=0)`", make_rows(drain_n, 1), count_engine,
        lambda gen: collections.deque(gen, maxlen=0), False, repeat)
    table.append(row)
    row, list_base = stream_row(
        f"{keep_n:,} dicts from a generator, keep, above `list(gen)` (per retained drop)",
        make_rows(keep_n, 2), keep_engine, list, True, repeat)
    table.append(row)
    table += ranked_rows(1_000, repeat, min_sample_ns)

    print(describe_build(korvane))
    print("CPU time, best of 5; ranked ids equal to the pure-Python run's in every row\n")
    print(markdown_table(["job", "korvane", "lean Python", "result"], table))
    print(f"\nThe generators alone: {drain_base:,.0f} ns/candidate drained by deque, "
          f"{list_base:,.0f} ns/candidate into a list. The lean Python keeps no Rejected "
          "objects in the list rows; in the keep-generator row it keeps a tuple per drop.")


if __name__ == "__main__":
    main()
