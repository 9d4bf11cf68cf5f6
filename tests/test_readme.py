"""Every ```python block of README.md runs, in order, in one namespace and a fresh directory; a
```text block right after one is exactly what it prints."""

import contextlib
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n", re.S | re.M)


def examples():
    """(code, expected output or None) for each python block, in the order of the file."""
    blocks = [(m.group(1), m.group(2), m.start(), m.end()) for m in BLOCK.finditer(README.read_text())]
    out = []
    for i, (lang, body, _, end) in enumerate(blocks):
        if lang != "python":
            continue
        nxt = blocks[i + 1] if i + 1 < len(blocks) else None
        # A text block counts as this block's output only when nothing but blank lines separates them.
        shown = nxt[1] if nxt and nxt[0] == "text" and not README.read_text()[end:nxt[2]].strip() else None
        out.append((body, shown))
    return out


def test_readme_examples_run_and_print_what_they_show(tmp_path, monkeypatch):
    cases = examples()
    assert len(cases) >= 10 and sum(shown is not None for _, shown in cases) >= 8
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for n, (code, shown) in enumerate(cases, 1):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, f"README.md python block {n}", "exec"), namespace)
        if shown is not None:
            assert printed.getvalue() == shown, f"python block {n}:\n{code}"
