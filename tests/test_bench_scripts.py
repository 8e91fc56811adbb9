"""The benchmark scripts still run: each one at its tiny --quick size, in a subprocess.

Every script checks its results against its alternatives before it prints a figure, so a
quick run also keeps those checks honest. No timing is asserted.
"""

import os
import pathlib
import subprocess
import sys

import pytest

import korvane

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
NEEDS_NUMPY = {"columns_bench.py", "lists_bench.py", "batch_bench.py"}


@pytest.mark.parametrize("script", ["compare.py", "run_bench.py", "columns_bench.py",
                                    "lists_bench.py", "batch_bench.py"])
def test_quick_run(script):
    if script in NEEDS_NUMPY:
        pytest.importorskip("numpy")
    # The script must measure the module under test, wherever that was imported from.
    module_dir = os.path.dirname(korvane.__file__)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, str(BENCH / script), "--quick"], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert korvane.__file__ in done.stdout
