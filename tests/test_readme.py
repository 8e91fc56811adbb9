"""The README's Python blocks, joined in order, run as written; its Quickstart is
examples/quickstart.py."""

import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def python_blocks():
    return BLOCK.findall((ROOT / "README.md").read_text(encoding="utf-8"))


def test_readme_python_blocks_run_in_order(tmp_path):
    blocks = python_blocks()
    assert len(blocks) > 10
    script = tmp_path / "readme.py"
    script.write_text("\n\n".join(blocks), encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("1 csv.reader ")


def test_quickstart_example_is_the_readme_quickstart():
    quickstart = python_blocks()[0]
    assert quickstart in (ROOT / "examples" / "quickstart.py").read_text(encoding="utf-8")
