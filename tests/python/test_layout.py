"""The layout of the C++ sources: includes written from src/, no include cycle
between files or between units (a header with its source file), the core free
of the bindings and of pybind11, and each folder reached from another only
through its public header (src/<folder>/<folder>.hpp)."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s*<([^>]+)>", re.MULTILINE)
SUFFIXES = {".hpp", ".cpp", ".h", ".cc"}

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="the C++ sources are not in this checkout")


def sources(folder: Path) -> list[Path]:
    return sorted(p for p in folder.rglob("*") if p.suffix in SUFFIXES)


def includes(path: Path) -> list[str]:
    return INCLUDE.findall(path.read_text())


def include_graph() -> dict[str, list[str]]:
    """Each file under src/, named from src/, with the files it includes."""
    return {p.relative_to(SRC).as_posix(): includes(p) for p in sources(SRC)}


def unit_of(name: str) -> str:
    """A header and its source file form one unit: closed_by/cBY.*."""
    return name.rsplit(".", 1)[0]


def unit_graph(graph: dict[str, list[str]]) -> dict[str, list[str]]:
    units: dict[str, set[str]] = {}
    for name, targets in graph.items():
        edges = units.setdefault(unit_of(name), set())
        edges.update(unit_of(t) for t in targets if unit_of(t) != unit_of(name))
    return {unit: sorted(edges) for unit, edges in units.items()}


def find_cycle(graph: dict[str, list[str]]) -> list[str] | None:
    """A cycle of the graph as its nodes, first node repeated at the end, or None."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for target in graph.get(node, []):
            if state.get(target) == 1:
                return path[path.index(target) :] + [target]
            if target not in state and (cycle := visit(target)) is not None:
                return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (cycle := visit(node)) is not None:
            return cycle
    return None


def test_the_cycle_finder_names_a_cycle_and_passes_a_tree():
    assert find_cycle({"a": ["b"], "b": ["c"], "c": ["a"], "d": ["a"]}) == ["a", "b", "c", "a"]
    assert find_cycle({"a": ["b", "c"], "b": ["c"], "c": []}) is None
    # a header and its source file are one unit: a.cpp -> b.hpp -> a.hpp is a cycle of units
    graph = {"x/a.hpp": [], "x/a.cpp": ["x/a.hpp", "x/b.hpp"], "x/b.hpp": ["x/a.hpp"]}
    assert find_cycle(graph) is None
    assert find_cycle(unit_graph(graph)) == ["x/a", "x/b", "x/a"]


@pytest.mark.parametrize("folder", ["src", "tests/cpp", "python"])
def test_includes_are_written_from_src(folder):
    wrong = [
        f"{path.relative_to(ROOT)}: {name}"
        for path in sources(ROOT / folder)
        for name in includes(path)
        if not (SRC / name).is_file()
    ]
    assert not wrong, "includes that do not name a file under src/: " + ", ".join(wrong)


@pytest.mark.parametrize("folder", ["src", "tests/cpp"])
def test_the_core_and_its_tests_do_not_include_the_bindings(folder):
    wrong = [
        f"{path.relative_to(ROOT)}: {name}"
        for path in sources(ROOT / folder)
        for name in includes(path)
        if name.startswith("python/") or (ROOT / "python" / name).is_file()
    ]
    assert not wrong, "includes of python/: " + ", ".join(wrong)


def test_the_core_does_not_include_pybind11():
    wrong = [
        f"{path.relative_to(ROOT)}: {name}"
        for path in sources(SRC)
        for name in SYSTEM_INCLUDE.findall(path.read_text()) + includes(path)
        if name.startswith("pybind11")
    ]
    assert not wrong, "pybind11 in the core: " + ", ".join(wrong)


def test_no_include_cycle_between_files():
    cycle = find_cycle(include_graph())
    assert cycle is None, "include cycle: " + " -> ".join(cycle or [])


def test_no_include_cycle_between_units():
    cycle = find_cycle(unit_graph(include_graph()))
    assert cycle is None, "include cycle between units (header and source together): " + " -> ".join(cycle or [])


def test_folders_reach_each_other_through_their_public_header():
    wrong = []
    for name, targets in include_graph().items():
        folder = name.split("/", 1)[0]
        for target in targets:
            other = target.split("/", 1)[0]
            if other != folder and target != f"{other}/{other}.hpp":
                wrong.append(f"{name}: {target}")
    assert not wrong, "includes past another folder's public header: " + ", ".join(wrong)
