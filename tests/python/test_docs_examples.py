"""The documentation's examples, run: every Python example of the README, of
the site's pages and of the docstrings the API reference shows (the names of
`tarvimo.__all__` and `tarvimo.dask.__all__`) as a doctest (outputs
compared), and every command-line
session (a ```console block of `$ command` lines, continued by a trailing
backslash, each followed by its output)
run in a shell with its output compared, so that no example drifts from the code.

The examples of one page share their names (Python) or their folder (shell),
as a reader following the page would. The shell sessions run in a temporary
folder holding the example tables of docs/examples, with eqtl.tsv gzipped.
"""

import doctest
import gzip
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarvimo
import tarvimo.dask

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE_DATA = ROOT / "docs" / "examples"
GENERATED = ("_generated", "benchmarks.md")
FENCE = re.compile(r"^(?P<fence>`{3,})(?P<language>[\w-]*)[^\n]*\n(?P<body>.*?)^(?P=fence)[ \t]*$", re.M | re.S)
PYTHON_LANGUAGES = {"python", "pycon"}
DOCTEST_FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
PROMPT = "$ "
COMMAND_SECONDS = 120


def pages() -> list[Path]:
    docs = [path for path in sorted((ROOT / "docs").rglob("*.md")) if not any(part in GENERATED for part in path.parts)]
    return [ROOT / "README.md", *docs]


def blocks(page: Path, languages: set[str]) -> list[tuple[int, str]]:
    """The fenced blocks of the languages given, with the line each starts on."""
    text = page.read_text()
    return [
        (text.count("\n", 0, match.start()) + 1, match["body"])
        for match in FENCE.finditer(text)
        if match["language"] in languages
    ]


def page_id(page: Path) -> str:
    return str(page.relative_to(ROOT))


@pytest.mark.parametrize("page", [p for p in pages() if blocks(p, PYTHON_LANGUAGES)], ids=page_id)
def test_python_examples(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    names: dict[str, object] = {}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=DOCTEST_FLAGS)
    for line, body in blocks(page, PYTHON_LANGUAGES):
        test = parser.get_doctest(body, names, f"{page_id(page)}:{line}", str(page), line)
        assert test.examples, f"{page_id(page)}:{line}: a Python block without >>> examples is never run"
        runner.run(test, clear_globs=False)
        names = test.globs  # a DocTest runs in a copy of the names it is given
    failed, attempted = runner.summarize(verbose=False)
    assert failed == 0, f"{failed} of {attempted} examples of {page_id(page)} failed (see the output above)"


def documented_objects() -> list[tuple[str, object]]:
    """The public functions and classes the API reference documents (its constants have no examples)."""
    return [
        (f"{module.__name__}.{name}", getattr(module, name))
        for module in (tarvimo, tarvimo.dask)
        for name in module.__all__
        if callable(getattr(module, name))
    ]


@pytest.mark.parametrize(("name", "documented"), documented_objects(), ids=[name for name, _ in documented_objects()])
def test_docstring_examples(name: str, documented: object) -> None:
    runner = doctest.DocTestRunner(optionflags=DOCTEST_FLAGS)
    for test in doctest.DocTestFinder(recurse=False).find(documented, name, globs={}):
        runner.run(test)
    failed, attempted = runner.summarize(verbose=False)
    assert failed == 0, f"{failed} of {attempted} examples in the docstring of {name} failed (see the output above)"


def session(body: str) -> list[tuple[str, str]]:
    """The commands of a console block, each with the output shown after it."""
    steps: list[tuple[str, list[str]]] = []
    for line in body.splitlines():
        if steps and steps[-1][0].endswith("\\") and not steps[-1][1]:
            steps[-1] = (steps[-1][0] + "\n" + line, [])  # the command goes on, as in the shell
        elif line.startswith(PROMPT):
            steps.append((line[len(PROMPT) :], []))
        elif steps:
            steps[-1][1].append(line)
    return [(command, "\n".join(output).rstrip("\n")) for command, output in steps]


def example_folder(folder: Path) -> None:
    shutil.copytree(EXAMPLE_DATA, folder, dirs_exist_ok=True)
    (folder / "eqtl.tsv.gz").write_bytes(gzip.compress((EXAMPLE_DATA / "eqtl.tsv").read_bytes(), mtime=0))


def shell_environment() -> dict[str, str]:
    """The environment with this interpreter's scripts (the `tarvimo` command) first on PATH."""
    environment = dict(os.environ)
    environment["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{environment.get('PATH', '')}"
    environment.pop("COLUMNS", None)
    return environment


@pytest.mark.parametrize("page", [p for p in pages() if blocks(p, {"console"})], ids=page_id)
def test_command_line_examples(page: Path, tmp_path: Path) -> None:
    example_folder(tmp_path)
    checker = doctest.OutputChecker()
    environment = shell_environment()
    for line, body in blocks(page, {"console"}):
        for command, expected in session(body):
            done = subprocess.run(
                ["bash", "-c", command],
                cwd=tmp_path,
                env=environment,
                stdin=subprocess.DEVNULL,
                capture_output=True,
                text=True,
                timeout=COMMAND_SECONDS,
            )
            got = (done.stdout + done.stderr).rstrip("\n")
            assert checker.check_output(expected + "\n", got + "\n", doctest.ELLIPSIS), (
                f"{page_id(page)}:{line}: `{command}` printed\n{got}\ninstead of\n{expected}"
            )
