"""The README's NumPy example runs as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_numpy_example_runs():
    text = README.read_text()
    section = text.split("## The engine from NumPy", 1)[1].split("\n## ", 1)[0]
    (code,) = re.findall(r"```python\n(.*?)```", section, re.S)
    exec(compile(code, "README.md", "exec"), {})
