"""Typing: mypy in strict mode on the package, and a stub that matches the core."""

import ast
import re
from pathlib import Path

import mypy.api

from tarvimo import _vardo

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "tarvimo"
PYPROJECT = PACKAGE.parents[1] / "pyproject.toml"


def stub_signatures():
    """Each function of the stub as pybind11 renders a signature line."""
    tree = ast.parse((PACKAGE / "_vardo.pyi").read_text())
    signatures = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args.args
            defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
            params = [
                f"{a.arg}: {ast.unparse(a.annotation)}" + ("" if d is None else f" = {ast.unparse(d)}")
                for a, d in zip(args, defaults)
            ]
            assert not (node.args.kwonlyargs or node.args.vararg or node.args.kwarg or node.args.posonlyargs)
            signatures[node.name] = f"{node.name}({', '.join(params)}) -> {ast.unparse(node.returns)}"
    return signatures


def test_stub_matches_the_module():
    signatures = stub_signatures()
    assert sorted(signatures) == sorted(name for name in dir(_vardo) if not name.startswith("__"))
    for name, signature in signatures.items():
        rendered = getattr(_vardo, name).__doc__.splitlines()[0]
        # The stub spells out the keys and values of the dict that pybind11 calls plain "dict".
        assert re.sub(r"-> dict\[.*\]$", "-> dict", signature) == rendered


def test_package_passes_mypy_strict(request):
    cache = getattr(request.config, "cache", None)  # absent when pytest runs without its cache plugin
    cache_dir = ["--cache-dir", str(cache.mkdir("mypy"))] if cache else []
    options = ["--config-file", str(PYPROJECT), *cache_dir, str(PACKAGE)]
    stdout, stderr, status = mypy.api.run(options)
    assert status == 0, stdout + stderr
