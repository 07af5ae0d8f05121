"""Every ```python block of README.md and docs/*.md runs, each in an
interpreter of its own, unless the line right before its opening fence says
why not: `<!-- not run: <reason> -->`. So the documentation's code cannot
drift from the module without a failure that names its file and line."""
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from stress_helpers import LEAKS_UNCHECKED_AT_EXIT

ROOT = Path(__file__).resolve().parents[2]
FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*([\w+-]*)")
NOT_RUN = re.compile(r"^\s*<!-- not run: (.*\S.*) -->\s*$")

# What a block may take for granted: `fetch` stands for any slow call the
# limiter guards. A block's lines keep their numbers in the file, so a
# traceback points into the page itself.
RUNNER = r"""
import ast, asyncio, inspect, sys
path, first_line = sys.argv[1], int(sys.argv[2])
def fetch(*args, **kwargs):
    return b"ok"
source = "\n" * (first_line - 1) + sys.stdin.read()
code = compile(source, path, "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
namespace = {"__name__": "__main__", "fetch": fetch}
result = eval(code, namespace)
if inspect.iscoroutine(result):
    asyncio.run(result)
"""


def blocks(path):
    """(line of the opening fence, language, source, reason not run or None)
    for every fenced block of a Markdown file."""
    lines = path.read_text(encoding="utf-8").splitlines()
    found, index = [], 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        indent, fence, language = opening.groups()
        end = index + 1
        while end < len(lines) and not lines[end].strip().startswith(fence):
            end += 1
        if end == len(lines):
            pytest.fail("%s:%d: a code block that never closes" % (path.relative_to(ROOT), index + 1))
        marker = NOT_RUN.match(lines[index - 1]) if index else None
        source = textwrap.dedent("\n".join(lines[index + 1:end]))
        found.append((index + 1, language, source, marker.group(1) if marker else None))
        index = end + 1
    return found


def pages():
    return [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))


def python_blocks():
    return [
        pytest.param(path, line, source, reason, id="%s:%d" % (path.relative_to(ROOT), line))
        for path in pages()
        for line, language, source, reason in blocks(path)
        if language in ("python", "py", "python3")
    ]


@pytest.mark.parametrize("path, line, source, reason", python_blocks())
def test_block_runs_or_says_why_not(path, line, source, reason):
    if reason is not None:
        pytest.skip("not run: %s" % reason)
    where = "%s:%d" % (path.relative_to(ROOT), line)
    try:
        ran = subprocess.run(
            [sys.executable, "-c", RUNNER, str(path.relative_to(ROOT)), str(line + 1)],
            input=source, cwd=str(ROOT), capture_output=True, text=True, timeout=60,
            env=dict(os.environ, **LEAKS_UNCHECKED_AT_EXIT),
        )
    except subprocess.TimeoutExpired:
        pytest.fail("%s: the block did not finish within 60 s" % where)
    assert ran.returncode == 0, (
        "%s: the block failed; fix it, or mark it with `<!-- not run: <reason> -->` on the line before "
        "its fence\n%s" % (where, ran.stderr[-3000:]))


def test_every_page_has_blocks_that_run():
    """The extractor itself: a page it misreads would pass by running nothing."""
    runnable = [p for p in python_blocks() if p.values[3] is None]
    assert any(p.values[0].name == "README.md" for p in runnable)
    assert len(runnable) >= 10, [p.id for p in runnable]


def test_readme_links_resolve():
    """MkDocs checks the links between pages; the README's, GitHub shows unchecked."""
    targets = re.findall(r"\]\(([^)#\s]+)", (ROOT / "README.md").read_text(encoding="utf-8"))
    assert targets
    assert [t for t in targets if "://" not in t and not (ROOT / t).is_file()] == []
