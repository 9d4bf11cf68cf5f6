"""Every ```python block of README.md runs, in order, in one namespace and a fresh directory; a
```text block right after one (nothing but blank lines between) is exactly what it prints."""

import contextlib
import io
import pathlib
import re

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```\n((?:\s*\n)?```text\n(.*?)^```\n)?", re.S | re.M)


def test_readme_examples_run_and_print_what_they_show(tmp_path, monkeypatch):
    cases = [(m.group(2), m.group(4)) for m in BLOCK.finditer(README) if m.group(1) == "python"]
    assert len(cases) >= 10 and sum(shown is not None for _, shown in cases) >= 8
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for n, (code, shown) in enumerate(cases, 1):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, f"README.md python block {n}", "exec"), namespace)
        if shown is not None:
            assert printed.getvalue() == shown, f"python block {n}:\n{code}"
