"""The README's NumPy examples run as written, one after the other."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_numpy_example_runs():
    text = README.read_text()
    section = text.split("## The engine from NumPy", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) == 2  # backtest_, then simulate on the same arrays
    exec(compile("\n".join(blocks), "README.md", "exec"), {})
