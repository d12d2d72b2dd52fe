"""Every example in README.md runs and shows what it claims.

```python blocks run as written; their `>>>` lines are doctests, checked for their output.
```console blocks run each `$ ` line in a shell at the repository root, with the installed
`plav` script on PATH, and compare its standard output with the lines that follow.
"""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import DATA, ROOT

README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w+)\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def blocks(language):
    text = README.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        if match.group(1) == language:
            line = text.count("\n", 0, match.start()) + 2
            found.append(pytest.param(match.group(2), line, id=f"line {line}"))
    return found


@pytest.mark.parametrize("code, line", blocks("python"))
def test_python_example(code, line):
    if ">>> " not in code:
        exec(compile(code, f"README.md:{line}", "exec"), {"__name__": "readme"})
        return
    test = doctest.DocTestParser().get_doctest(code, {}, f"README.md:{line}", str(README), line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("text, line", blocks("console"))
def test_console_example(text, line):
    env = dict(os.environ)
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env['PATH']}"
    env["PLAV_TOKENIZERS"] = str(DATA / "tokenizers")
    commands = re.split(r"^\$ ", text, flags=re.MULTILINE)[1:]
    assert commands, "a console example shows at least one command"
    for chunk in commands:
        command, _, expected = chunk.partition("\n")
        result = subprocess.run(
            ["bash", "-o", "pipefail", "-c", command],
            capture_output=True,
            text=True,
            cwd=ROOT,
            env=env,
            timeout=120,
        )
        assert result.returncode == 0, f"{command}\n{result.stderr}"
        assert result.stdout == expected, command
