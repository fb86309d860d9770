"""Pages take their shared text from the README, so the two never drift apart.

In a page, ``<!-- readme: Heading -->`` stands for the README section under
that heading with its subsections, ``<!-- readme-text: Heading -->`` for its
text up to the first subsection. Headings inside are shifted so that the
section's subsections sit directly under the page's title; a line that
points a README reader into docs/ is left out. A heading the README does not
have fails the build.
"""

from __future__ import annotations

import pathlib
import re
from typing import Any

from mkdocs.exceptions import PluginError

PLACEHOLDER = re.compile(r"^<!-- (readme|readme-text): (.+?) -->$", re.M)
HEADING = re.compile(r"^(#{1,6}) (.+)$")


def _lines_outside_fences(lines: list[str]) -> list[bool]:
    """For each line, whether it is Markdown (not inside a fenced code block)."""
    outside, in_fence = [], False
    for line in lines:
        if line.startswith("```"):
            in_fence = not in_fence
            outside.append(False)
        else:
            outside.append(not in_fence)
    return outside


def section(readme: str, heading: str, with_subsections: bool) -> str:
    lines = readme.splitlines()
    markdown = _lines_outside_fences(lines)
    headings = [(i, len(m[1]), m[2].strip()) for i, line in enumerate(lines)
                if markdown[i] and (m := HEADING.match(line))]
    found = [(i, level) for i, level, text in headings if text == heading]
    if not found:
        raise PluginError(f"README.md has no heading {heading!r}")
    start, level = found[0]
    end = len(lines)
    for i, sub_level, _ in headings:
        if i > start and (sub_level <= level or not with_subsections):
            end = i
            break
    body = []
    for i in range(start + 1, end):
        match = HEADING.match(lines[i]) if markdown[i] else None
        if markdown[i] and "](docs/" in lines[i]:
            continue
        if match:  # a subsection one level below the page title
            body.append("#" * (len(match[1]) - level + 1) + " " + match[2])
        else:
            body.append(lines[i])
    return "\n".join(body).strip() + "\n"


def on_page_markdown(markdown: str, page: Any, config: Any, files: Any) -> str:
    readme = (pathlib.Path(config["docs_dir"]).parent / "README.md").read_text(encoding="utf-8")
    return PLACEHOLDER.sub(lambda m: section(readme, m[2], m[1] == "readme"), markdown)
