"""Every Python example of the README and the docs pages runs as written.

The examples are read by tools/readme-examples, the reader the type check
uses: a ```python block is a complete program, a ```py block a fragment
that goes on from the program before it. A program runs on its own; a
fragment runs after its program, in the same namespace, as a script's
`__main__` (a sweep behind the `__main__` guard runs too).
"""

import importlib.machinery
import importlib.util
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def _reader():
    loader = importlib.machinery.SourceFileLoader("readme_examples", str(ROOT / "tools" / "readme-examples"))
    spec = importlib.util.spec_from_loader(loader.name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


READER = _reader()
FILES = READER.default_files()
PROGRAMS, SKIPPED = READER.examples(FILES)
CASES = [(program[0], block) for program in PROGRAMS for block in program]


def _run(block, namespace):
    exec(compile(block.code, block.where, "exec"), namespace)


def test_every_example_of_every_page_is_read():
    # A fence the reader does not match (```python3, a title after the
    # language) would leave its example untested and unchecked.
    fences = {path: len(re.findall(r"^```\s*py", path.read_text(encoding="utf-8"), re.M)) for path in FILES}
    read = {path: 0 for path in FILES}
    for block in [block for _, block in CASES] + [block for block, _ in SKIPPED]:
        read[block.path] += 1
    assert read == fences and sum(read.values()) > 0
    # Pages are read in the order of the docs' nav: a page left out of it would go unread.
    assert sorted(FILES) == sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
    assert [block.code.split("\n", 1)[0] for block, _ in SKIPPED] == ["from distributed import Client"]


@pytest.mark.parametrize(("program", "block"), CASES, ids=[block.where for _, block in CASES])
def test_example_runs(program, block, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)                 # the examples write their HTML reports here
    namespace = {"__name__": "__main__"}
    if block is not program:
        _run(program, namespace)
    _run(block, namespace)
