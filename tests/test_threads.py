"""One Engine used from several threads. Runs and reprs share the engine, configuration
methods need it alone: while any run is in progress they fail with "Already borrowed", and
every run gives the outcome a single-threaded run of the same settings gives.

Nothing here depends on timing. Interleavings that a test needs are forced with events;
the free-running tests check invariants that hold for every interleaving, with brackets
counted around the runs and inside the callbacks."""

import os
import subprocess
import sys
import threading
import time

import pytest

import korvane

WAIT = 60  # seconds; only a deadlock comes near this


class Boom(Exception):
    pass


def items(n=40, marker=None):
    out = [{"id": i, "scores": [((i * 13) % n) / n], "groups": {"g": i % 5}} for i in range(n)]
    if marker is not None:
        out[n // 2]["marker"] = marker
    return out


def yielding(candidates):
    """The candidates one by one, giving other threads a chance now and then."""
    for i, candidate in enumerate(candidates):
        if i % 7 == 0:
            time.sleep(0)
        yield candidate


def plain_scores(pool):
    return [((c["id"] * 7) % 11) / 11 for c in pool]


def new_engine(callback):
    engine = korvane.Engine()
    engine.scorer("a")
    engine.scorer("x", cost="expensive", fn=callback)
    engine.fuse("weighted_sum")
    engine.budget_top_k(5)
    engine.max_per_group("g", 2)
    engine.pool_multiplier(4)
    engine.rejections("keep")
    return engine


# Configuration calls that store what the engine already holds: they succeed or are
# refused, and either way later runs are the same.
NEUTRAL_CALLS = [
    ("budget_top_k", (5,)),
    ("pool_multiplier", (4,)),
    ("fuse", ("weighted_sum",)),
    ("rejections", ("keep",)),
    ("missing", ("skip",)),
    ("min_fit", (0.9,)),
]

REPR = "Engine(axes=2, fusion=weighted_sum, budget=TopK(5))"


def fingerprint(outcome):
    return (
        [(r.id, r.rank, r.fused, r.to_json()) for r in outcome.ranked],
        [(r.id, r.reason, r.detail, r.fused) for r in outcome.rejected],
        dict(outcome.rejected_counts),
        dict(outcome.selection),
        [(s["scorer"], s["calls"], s["missing"]) for s in outcome.trace["scorers"]],
    )


def reference(**changes):
    engine = new_engine(plain_scores)
    for method, args in changes.items():
        getattr(engine, method)(*args)
    return fingerprint(engine.run(items()))


def refusal(call, *args):
    try:
        call(*args)
    except RuntimeError as error:
        return str(error)
    return None


def start(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread


def join_all(threads):
    for thread in threads:
        thread.join(WAIT)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


class TestForcedInterleavings:
    def test_configuration_is_refused_while_another_thread_runs(self):
        inside, release = threading.Event(), threading.Event()
        runner_thread = []

        def callback(pool):
            if threading.current_thread() in runner_thread:
                inside.set()
                assert release.wait(WAIT)
            return plain_scores(pool)

        engine = new_engine(callback)
        results = []
        runner = threading.Thread(target=lambda: results.append(fingerprint(engine.run(items()))),
                                  daemon=True)
        runner_thread.append(runner)
        expected = reference()
        runner.start()
        try:
            assert inside.wait(WAIT)
            # The runner is parked inside its callback, holding the engine shared.
            for method, args in NEUTRAL_CALLS + [("threshold", (0.0,)), ("scorer", ("b",)),
                                                 ("coverage_objective", ())]:
                assert refusal(getattr(engine, method), *args) == "Already borrowed"
            assert repr(engine) == REPR
            assert fingerprint(engine.run(items())) == expected
            assert refusal(engine.budget_top_k, 2) == "Already borrowed"
        finally:
            release.set()
        join_all([runner])
        assert results == [expected]
        # Free again: a configuration call succeeds and shapes the next run.
        engine.budget_top_k(2)
        assert fingerprint(engine.run(items())) == reference(budget_top_k=(2,))

    def test_runs_and_reprs_are_refused_while_another_thread_configures(self):
        inside, release = threading.Event(), threading.Event()

        class Slow:
            def __float__(self):
                inside.set()
                assert release.wait(WAIT)
                return 0.25

        engine = new_engine(plain_scores)
        configuring = start(engine.threshold, Slow())
        try:
            assert inside.wait(WAIT)
            assert refusal(engine.run, items()) == "Already mutably borrowed"
            assert refusal(repr, engine) == "Already mutably borrowed"
            assert refusal(engine.min_fit, 0.5) == "Already borrowed"
        finally:
            release.set()
        join_all([configuring])
        assert fingerprint(engine.run(items())) == reference(threshold=(0.25,))

    def test_a_run_outlasting_another_keeps_the_engine_shared(self):
        # Two runs overlap; the first to end must not free the engine under the other.
        first_inside, second_done, release = threading.Event(), threading.Event(), threading.Event()
        first = []

        def callback(pool):
            if threading.current_thread() in first:
                first_inside.set()
                assert release.wait(WAIT)
            return plain_scores(pool)

        engine = new_engine(callback)
        outcomes = []
        runner = threading.Thread(target=lambda: outcomes.append(fingerprint(engine.run(items()))),
                                  daemon=True)
        first.append(runner)
        runner.start()
        try:
            assert first_inside.wait(WAIT)
            second = start(lambda: (outcomes.append(fingerprint(engine.run(items()))),
                                    second_done.set()))
            assert second_done.wait(WAIT)
            join_all([second])
            assert refusal(engine.pool_multiplier, 4) == "Already borrowed"
        finally:
            release.set()
        join_all([runner])
        assert outcomes == [reference()] * 2
        assert refusal(engine.pool_multiplier, 4) is None

    def test_each_thread_raises_its_own_callback_error(self):
        barrier = threading.Barrier(4)

        def callback(pool):
            barrier.wait(WAIT)  # all four runs are inside their callbacks at once
            for candidate in pool:
                if "marker" in candidate:
                    raise Boom(candidate["marker"])
            return plain_scores(pool)

        engine = new_engine(callback)
        engine.pool_multiplier(8)  # the whole input reaches every callback
        raised = {}

        def run(name):
            try:
                engine.run(yielding(items(marker=name if name != "clean" else None)))
            except Boom as error:
                raised[name] = str(error)
            else:
                raised[name] = None

        join_all([start(run, name) for name in ("t1", "t2", "t3", "clean")])
        assert raised == {"t1": "t1", "t2": "t2", "t3": "t3", "clean": None}


class TestFreeRunning:
    RUNNERS = 4
    RUNS_EACH = 15

    def test_runs_configuration_and_reprs_from_many_threads(self, fast_switching):
        lock = threading.Lock()
        counters = {"started": 0, "ended": 0, "entered": 0, "exited": 0}
        violations = []
        stop = threading.Event()

        def bump(name):
            with lock:
                counters[name] += 1

        def read(name):
            with lock:
                return counters[name]

        def callback(pool):
            bump("entered")
            time.sleep(0)
            scores = plain_scores(pool)
            time.sleep(0)
            bump("exited")
            return scores

        engine = new_engine(callback)
        expected = reference()
        outcomes = []

        def runner():
            for _ in range(self.RUNS_EACH):
                bump("started")
                outcome = fingerprint(engine.run(yielding(items())))
                bump("ended")
                outcomes.append(outcome)

        def configurer(method, args):
            call = getattr(engine, method)

            def once():
                ended_before, entered_before = read("ended"), read("entered")
                refused = refusal(call, *args)
                started_after, exited_after = read("started"), read("exited")
                if refused not in (None, "Already borrowed"):
                    violations.append(("message", method, refused))
                # Refused only if some run overlapped the call...
                if refused and started_after == ended_before:
                    violations.append(("refused with no run in progress", method))
                # ...and refused whenever a callback spanned the whole call.
                if not refused and exited_after < entered_before:
                    violations.append(("accepted inside a run", method))
                return refused

            while not stop.is_set():
                once()
                time.sleep(0)
            if once() is not None:  # every run has ended
                violations.append(("refused after the runs", method))

        def reprs():
            while not stop.is_set():
                text = repr(engine)
                if text != REPR:
                    violations.append(("repr", text))
                time.sleep(0)

        runners = [start(runner) for _ in range(self.RUNNERS)]
        others = [start(configurer, *call) for call in NEUTRAL_CALLS[:3]] + [start(reprs)]
        join_all(runners)
        stop.set()
        join_all(others)

        assert violations == []
        assert len(outcomes) == self.RUNNERS * self.RUNS_EACH
        assert all(outcome == expected for outcome in outcomes)
        assert counters["entered"] == counters["exited"] == len(outcomes)

    def test_nested_runs_from_callbacks_in_many_threads(self, fast_switching):
        def callback(pool):
            if len(pool) > 1:  # the nested run's own pool is a single candidate
                nested = engine.run([{"id": 999, "scores": [0.5]}])
                assert [r.id for r in nested.ranked] == ["999"]
                assert refusal(engine.budget_top_k, 5) == "Already borrowed"
            time.sleep(0)
            return plain_scores(pool)

        engine = new_engine(callback)
        expected = reference()
        outcomes = []

        def runner():
            for _ in range(8):
                outcomes.append(fingerprint(engine.run(yielding(items()))))

        join_all([start(runner) for _ in range(3)])
        assert outcomes == [expected] * 24
        engine.budget_top_k(5)


# A daemon thread left inside a run when the main thread ends: the interpreter's shutdown
# ends such a thread when it next wants the interpreter lock, by unwinding it through
# whatever native frames it is in. The process must still exit cleanly.
SHUTDOWN_SCRIPT = """
import sys, threading, time
import korvane

inside = threading.Event()

def block():
    inside.set()
    while True:
        time.sleep(0.001)

class Sleepy:
    def __float__(self):
        block()
    __index__ = __float__

class SleepyDel(dict):
    def __del__(self):
        if self.get("sleep"):
            block()

class SleepyList(list):
    def __del__(self):
        block()

engine = korvane.Engine()
engine.scorer("a")

def callback(pool):
    repr(engine)
    block()

def generator():
    yield {"id": 1}
    block()

def dropped():
    yield SleepyDel(id=1, scores=[0.9])
    yield SleepyDel(id=2, scores=[0.1], sleep=True)  # refused by the full pool, dropped at once
    yield {"id": 3}

def work(where):
    if where == "callback":
        engine.scorer("x", cost="expensive", fn=callback)
        engine.run([{"id": 1}])
    elif where == "generator":
        engine.run(generator())
    elif where == "score conversion":
        engine.run([{"id": 1, "scores": [Sleepy()]}])
    elif where == "configuration argument":
        engine.threshold(Sleepy())
    elif where == "tail_mass argument":
        korvane.tail_mass(Sleepy(), 1, 2)
    elif where == "candidate released":
        engine.budget_top_k(1)
        engine.pool_multiplier(1)
        engine.rejections("count")
        engine.run(dropped())
    elif where in ("column stage one", "column batch"):
        # The run is all but always reading its columns, without the lock, at exit.
        from array import array
        ids = array("q", range(200000))
        scores = array("d", [(i * 7919 % 1000) / 1000 for i in range(200000)])
        inside.set()
        while True:
            if where == "column batch":
                engine.run_columns([ids] * 4, {"a": [scores] * 4}, threads=2)
            else:
                engine.run_columns(ids, {"a": scores})
    elif where == "callback result released":
        engine.scorer("x", cost="expensive", fn=lambda pool: SleepyList([0.5] * len(pool)))
        engine.run([{"id": 1}])

threading.Thread(target=work, args=(sys.argv[1],), daemon=True).start()
if not inside.wait(60):
    sys.exit("the thread never got inside")
"""


# AddressSanitizer does not see a thread's forced unwinding: the stack it skips stays
# poisoned, and the sanitizer's own bookkeeping at the next landing pad reports an overflow.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the sanitizer misreads a thread's exit")
@pytest.mark.parametrize("where", [
    "callback", "generator", "score conversion", "configuration argument",
    "tail_mass argument", "candidate released", "callback result released",
    "column stage one", "column batch"])
def test_interpreter_exits_cleanly_with_a_daemon_thread_inside_a_run(where):
    result = subprocess.run([sys.executable, "-c", SHUTDOWN_SCRIPT, where],
                            capture_output=True, text=True, timeout=WAIT)
    assert (result.returncode, result.stderr) == (0, "")


# A run with a callback axis inside a sub-interpreter: the callback must find the lock that
# the run's thread holds in that interpreter.
SUBINTERPRETER_CODE = """
import korvane

def scores(pool):
    return [c["id"] / 10 for c in pool]

def fails(pool):
    raise LookupError("inside")

engine = korvane.Engine()
engine.scorer("a")
engine.scorer("x", cost="expensive", fn=scores)
engine.fuse("weighted_sum", weights={"a": 0.0, "x": 1.0})
outcome = engine.run({"id": i, "scores": [0.5]} for i in range(5))
assert [r.id for r in outcome.ranked] == ["4", "3", "2", "1", "0"], outcome.ranked
engine.scorer("y", cost="expensive", fn=fails)
try:
    engine.run([{"id": 1}])
except LookupError as error:
    assert str(error) == "inside"
else:
    raise AssertionError("the callback's error was not raised")
"""

SUBINTERPRETER_SCRIPT = """
import sys
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters
interpreters.run_string(interpreters.create(), sys.argv[1])
print("done")
"""


def test_callback_axis_in_a_subinterpreter():
    pytest.importorskip("_xxsubinterpreters" if sys.version_info < (3, 13) else "_interpreters")
    result = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT, SUBINTERPRETER_CODE],
                            capture_output=True, text=True, timeout=WAIT)
    assert (result.returncode, result.stdout, result.stderr) == (0, "done\n", "")


# fork() while other threads hold the engine: the child has only the forking thread, so it
# starts with the engine free. Each child reports by its exit code whether it could use it.
FORK_SCRIPT = """
import os, threading, warnings
import korvane

warnings.filterwarnings("ignore", category=DeprecationWarning)  # forking with threads
engine = korvane.Engine()
engine.scorer("a")
inside, release = threading.Event(), threading.Event()
results = []

def in_child(action):
    pid = os.fork()
    if pid == 0:
        try:
            action()
        except BaseException:
            os._exit(1)
        os._exit(0)
    results.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))

def while_another_thread(target, *args):
    inside.clear()
    release.clear()
    thread = threading.Thread(target=target, args=args)
    thread.start()
    inside.wait()
    in_child(lambda: engine.budget_top_k(3))
    in_child(lambda: engine.run([{"id": 1}]))
    try:
        engine.budget_top_k(3)
    except RuntimeError as error:
        results.append(str(error))  # the parent's engine is still held
    release.set()
    thread.join()

def parked():
    inside.set()
    release.wait()
    yield {"id": 1}

class Parked:
    def __float__(self):
        inside.set()
        release.wait()
        return 0.5

while_another_thread(engine.run, parked())
while_another_thread(engine.threshold, Parked())

# A run in progress on the forking thread finishes in the child, which then configures.
forked = []
def forking():
    yield {"id": 1, "scores": [0.5]}
    forked.append(os.fork())
    yield {"id": 2, "scores": [0.7]}

outcome = engine.run(forking())
if forked[0] == 0:
    engine.budget_top_k(2)
    os._exit(0 if outcome.trace["input_count"] == 2 else 1)
results.append(os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1]))
engine.budget_top_k(3)
print(results)
"""


def test_a_forked_child_starts_with_the_engine_free():
    result = subprocess.run([sys.executable, "-c", FORK_SCRIPT], capture_output=True, text=True,
                            timeout=WAIT)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "[0, 0, 'Already borrowed', 0, 0, 'Already borrowed', 0]\n", "")


# Another thread that wants the lock gets it only when a run lets go of it: the switch
# interval is far longer than the test. The call is repeated until the other thread, once
# it is waiting for the lock, has had its turn; a run that never lets go never gives it one.
LOCK_RELEASE_SCRIPT = """
import sys, threading
from array import array
import korvane

sys.setswitchinterval(1000)
engine = korvane.Engine()
engine.scorer("a")
engine.budget_top_k(5)
n = 2000
ids = array("q", range(n))
scores = array("d", [(i * 7919 % n) / n for i in range(n)])

def ran_meanwhile(call):
    woken, ran = threading.Event(), []
    other = threading.Thread(target=lambda: (woken.wait(), ran.append(1)))
    other.start()
    woken.set()
    for _ in range(1000):
        call()
        if ran:
            break
    seen = bool(ran)
    other.join()
    return seen

print(ran_meanwhile(lambda: engine.run_columns(ids, {"a": scores})),
      ran_meanwhile(lambda: engine.shortlist_columns(ids, {"a": scores})),
      ran_meanwhile(lambda: engine.run_columns([ids] * 3, {"a": [scores] * 3}, threads=2)))
"""


def test_other_threads_run_while_a_column_run_reads_its_columns():
    result = subprocess.run([sys.executable, "-c", LOCK_RELEASE_SCRIPT], capture_output=True,
                            text=True, timeout=WAIT)
    assert (result.returncode, result.stdout, result.stderr) == (0, "True True True\n", "")
