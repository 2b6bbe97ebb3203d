"""Sphinx configuration of the tarvimo documentation site.

The build runs the validation study first (docs/validation/simulate.py, cached
in build/docs-cache), whose figures and tables the pages include from
docs/_generated. Built with warnings as errors and nitpicky references by
`make docs`.
"""

import sys
from pathlib import Path

import tarvimo

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "validation"))

project = "tarvimo"
author = "the tarvimo developers"
copyright = "the tarvimo developers"
release = tarvimo.__version__
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinxarg.ext",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
# benchmarks.md is written by the benchmark suite and included by the performance page.
exclude_patterns = ["_build", "_generated", "benchmarks.md", "validation/simulate.py"]

myst_enable_extensions = ["colon_fence", "dollarmath", "deflist"]
myst_heading_anchors = 3
# Curly quotes and ellipses, but no dashes: "--" is an option (--groups in the
# command line's help, --version in a benchmark table), never an en dash.
smartquotes_action = "qe"

# The signatures show the parameters and defaults; the types are in the
# numpydoc sections, which keeps the annotations' aliases out of the page.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

nitpicky = True
# MyST asks every domain to resolve a link; sphinx-argparse's cannot, and says so.
suppress_warnings = ["myst.domains"]
# Types named in prose by the numpydoc sections, with no page of their own here.
nitpick_ignore_regex = [(r"py:.*", r"(numpy|pandas|dask)\..*")]

# External links are not checked by `make docs` (the build machines have no
# internet); `make docs-linkcheck` checks them where there is.
linkcheck_timeout = 10

html_theme = "pydata_sphinx_theme"
html_title = f"tarvimo {release}"
html_theme_options = {
    "navigation_with_keys": False,
    # Every top-level page in the header on one line, the search as a button beside them.
    "header_links_before_dropdown": 4,
    "navbar_persistent": [],
    "navbar_end": ["search-button", "theme-switcher"],
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
# Pages without sub-pages have no section navigation to show on the left, and
# the benchmark report's wide tables need the room.
html_sidebars = {
    page: []
    for page in (
        "index",
        "getting-started",
        "choosing",
        "validation/index",
        "api",
        "cli",
        "closed-searches",
        "development",
        "changelog",
        "user-guide/performance",
    )
}
html_show_sourcelink = False
html_static_path = ["_static"]
html_css_files = ["tarvimo.css"]


def run_validation_study(app: object) -> None:
    import simulate

    simulate.write_study(DOCS / "_generated" / "validation", ROOT / "build" / "docs-cache")


def drop_type_docstring(app: object, what: str, name: str, obj: object, options: object, lines: list[str]) -> None:
    """A constant without a doc comment would show its type's docstring (int's, say):
    its page text is the directive's own. Runs after numpydoc, which would
    fetch that docstring again for empty lines."""
    if what == "data" and obj.__doc__ == type(obj).__doc__:
        lines.clear()


def setup(app: object) -> None:
    app.connect("builder-inited", run_validation_study)  # type: ignore[attr-defined]
    app.connect("autodoc-process-docstring", drop_type_docstring, priority=600)  # type: ignore[attr-defined]
