"""A progress bar over a long stream: wrap the iterable, not the engine.

run() pulls candidates one at a time, so tqdm (or any wrapper that counts what passes
through it) shows the stream's progress as the engine reads it; korvane needs no progress
hook of its own. rejections("count") keeps the memory flat however long the stream is.

    python examples/progress.py [candidates]
"""

import random
import sys

from tqdm import tqdm

import korvane


def stream(n, seed=1):
    rng = random.Random(seed)
    for i in range(n):
        yield {"id": i, "scores": {"bm25": rng.expovariate(0.5), "fresh": rng.random()}}


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
    engine = korvane.Engine()
    engine.scorer("bm25", scale="unbounded")
    engine.scorer("fresh")
    engine.rejections("count")

    # total= lets tqdm show a percentage and an estimate; a stream of unknown length works
    # without it. mininterval keeps the bar's own cost small next to the engine's.
    outcome = engine.run(tqdm(stream(n), total=n, unit="cand", unit_scale=True,
                              mininterval=0.5))

    print(f"read {outcome.trace['input_count']}, kept {len(outcome.ranked)}, "
          f"dropped {sum(outcome.rejected_counts.values())}, complete: {outcome.is_complete()}")
    for r in outcome.ranked[:3]:
        print(f"{r.rank}. {r.id}  fused={r.fused:.5f}")


if __name__ == "__main__":
    main()
