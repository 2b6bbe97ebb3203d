"""The surface of the _vardo extension: names, signatures, argument conversion, import."""

import glob
import importlib
import re
import subprocess
import sys

import numpy as np
import pytest

from tarvimo import _vardo

NAMES = [
    "closede_bh_cpp",
    "largest_mean_consistent_k",
    "is_subset_mean_consistent",
    "largestmeanconsistent_cpp",
    "largestmeanconsistent_approximate_cpp",
    "eBH_cpp",
    "meanconsistent_wrapper_cpp",
    "BY_cpp",
    "largestcBYsignificant_cpp",
    "largestcBYsignificant_approximate_cpp",
    "cBY_check_cpp",
]
H4 = [0.0, 1.0, 1.5, 1.8333333333333333, 2.083333333333333]
P4 = [0.08, 0.02, 0.02, 0.01]
# Exact closed e-BH count 2, approximate 0 at alpha 0.1: tells the two searches apart.
E_SPLIT = [0.1, 2.1, 2.7, 18.8, 30.6]


def test_module_docstring_and_names_in_registration_order():
    assert _vardo.__doc__ == "Pybind11 bindings for the Tarvimo C++ routines"
    assert [name for name in vars(_vardo) if not name.startswith("_")] == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_function_doc_is_its_signature_line_alone(name):
    lines = getattr(_vardo, name).__doc__.strip().splitlines()
    assert len(lines) == 1
    assert lines[0].startswith(f"{name}(") and ") -> " in lines[0]


def test_signature_lines_show_names_defaults_and_results():
    ebh = _vardo.eBH_cpp.__doc__.strip()
    assert re.fullmatch(r"eBH_cpp\(evalues: [^=]+, alpha: [^=,]+\) -> int", ebh)
    closed = _vardo.closede_bh_cpp.__doc__.strip()
    assert re.fullmatch(
        r"closede_bh_cpp\(evalues: [^=]+, alpha: [^=,]+ = 0\.05, approximate: bool = False\) -> int", closed
    )
    assert _vardo.cBY_check_cpp.__doc__.strip().endswith("-> dict")


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "positional"),
    [
        ("closede_bh_cpp", ([30.0],), {}, ([30.0], 0.05, False)),
        ("closede_bh_cpp", (E_SPLIT,), {"alpha": 0.1}, (E_SPLIT, 0.1, False)),
        ("largest_mean_consistent_k", (), {"evalues": E_SPLIT, "approximate": True}, (E_SPLIT, 0.05, True)),
        ("is_subset_mean_consistent", ([5.0, 30.0], [1]), {}, ([5.0, 30.0], [1], 0.05)),
        ("BY_cpp", (), {"alpha": 0.05, "harmonic": H4, "pvalues": P4}, (P4, H4, 0.05)),
        (
            "cBY_check_cpp",
            (),
            {"alpha": 0.05, "warm_s": 3, "harmonic": H4, "r": 4, "pvalues": P4},
            (P4, 4, H4, 3, 0.05),
        ),
        ("meanconsistent_wrapper_cpp", ([0.0, 10.0, 40.0],), {"alpha": 0.05, "r": 1}, ([0.0, 10.0, 40.0], 1, 0.05)),
    ],
)
def test_keyword_and_default_calls_equal_positional_calls(name, args, kwargs, positional):
    function = getattr(_vardo, name)
    assert function(*args, **kwargs) == function(*positional)


def test_defaults_are_used_rather_than_ignored():
    assert _vardo.closede_bh_cpp([30.0]) == 1 != _vardo.closede_bh_cpp([30.0], 0.01)
    assert _vardo.closede_bh_cpp(E_SPLIT, 0.1) == 2 != _vardo.closede_bh_cpp(E_SPLIT, 0.1, True)


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("eBH_cpp", ([20.0],), {}),
        ("BY_cpp", ([0.01],), {"alpha": 0.05}),
        ("eBH_cpp", ([20.0], 0.05, 1), {}),
        ("eBH_cpp", ([20.0], 0.05), {"alpha": 0.05}),
        ("eBH_cpp", ([20.0],), {"level": 0.05}),
        ("closede_bh_cpp", (), {"alpha": 0.05}),
        ("cBY_check_cpp", (P4, 1, H4, 0), {}),
    ],
    ids=["missing", "missing-harmonic", "extra", "duplicate", "unknown-keyword", "missing-first", "missing-last"],
)
def test_bad_argument_lists_raise_type_error(name, args, kwargs):
    with pytest.raises(TypeError, match=name):
        getattr(_vardo, name)(*args, **kwargs)


@pytest.mark.parametrize(
    "convert",
    [tuple, list, np.asarray, lambda e: (x for x in e), lambda e: dict(enumerate(e)).values()],
    ids=["tuple", "list", "ndarray", "generator", "dict-values"],
)
def test_value_vectors_accept_any_sequence(convert):
    assert _vardo.closede_bh_cpp(convert(E_SPLIT), 0.1) == 2
    assert _vardo.BY_cpp(convert(P4), convert(H4), 0.05) == 0
    assert _vardo.cBY_check_cpp(convert(P4), 4, convert(H4), 3, 0.05) == {"res": False, "at_s": 3}


def test_value_vectors_accept_sets_and_int_or_bool_elements():
    assert _vardo.eBH_cpp({30.0}, 0.05) == _vardo.eBH_cpp(frozenset([30]), 0.05) == 1
    assert _vardo.BY_cpp([True], [0, True], 0.05) == 0 and _vardo.BY_cpp([0], [0, 1], 0.05) == 1


@pytest.mark.parametrize(
    ("pvalues", "alpha"),
    [("0.1", 0.05), (b"0.1", 0.05), ([0.1, "x"], 0.05), ([[0.1]], 0.05), (0.1, 0.05), (None, 0.05)]
    + [([0.01], "0.05"), ([0.01], None), ([0.01], [0.05])],
)
def test_value_vectors_and_alpha_refuse_strings_and_non_numbers(pvalues, alpha):
    with pytest.raises(TypeError):
        _vardo.largestcBYsignificant_cpp(pvalues, alpha)


@pytest.mark.parametrize("argument", ["r", "warm_s"])
@pytest.mark.parametrize("bad", [2.0, np.float64(2.0), 2**31, -(2**31) - 1, "2", None])
def test_count_arguments_refuse_floats_and_out_of_range_ints(argument, bad):
    arguments = {"pvalues": P4, "r": 2, "harmonic": H4, "warm_s": 0, "alpha": 0.05} | {argument: bad}
    with pytest.raises(TypeError):
        _vardo.cBY_check_cpp(**arguments)


def test_true_counts_as_one_for_counts():
    assert _vardo.cBY_check_cpp(P4, True, H4, 0, 0.05) == {"res": False, "at_s": 3}
    p = [0.3, 0.2, 0.01, 0.01]  # the warm start at size 1 moves the reported failing size
    assert _vardo.cBY_check_cpp(p, 3, H4, True, 0.05) == {"res": False, "at_s": 1}
    assert _vardo.cBY_check_cpp(p, 3, H4, False, 0.05) == {"res": False, "at_s": 2}
    assert _vardo.cBY_check_cpp(p, np.int64(3), H4, 0, 0.05) == {"res": False, "at_s": 2}


@pytest.mark.parametrize(
    ("switch", "expected"),
    [(None, 2), (False, 2), (0, 2), (np.False_, 2), (True, 0), (1, 0), (7, 0), (np.True_, 0)],
)
def test_approximate_switch_conversion(switch, expected):
    assert _vardo.closede_bh_cpp(E_SPLIT, 0.1, switch) == expected
    assert _vardo.largest_mean_consistent_k(E_SPLIT, 0.1, approximate=switch) == expected


@pytest.mark.parametrize("bad", ["yes", "", [1], {}, object()])
def test_approximate_switch_refuses_other_objects(bad):
    with pytest.raises(TypeError):
        _vardo.closede_bh_cpp(E_SPLIT, 0.1, bad)


def test_cby_check_returns_a_fresh_two_key_dict():
    first = _vardo.cBY_check_cpp(P4, 4, H4, 3, 0.05)
    second = _vardo.cBY_check_cpp(P4, 4, H4, 3, 0.05)
    assert list(first) == ["res", "at_s"]
    assert type(first["res"]) is bool and type(first["at_s"]) is int
    assert first == second and first is not second
    assert type(_vardo.cBY_check_cpp(P4, 3, H4, 0, 0.05)["res"]) is bool
    assert type(_vardo.largestcBYsignificant_cpp(P4, 0.05)) is int
    assert type(_vardo.is_subset_mean_consistent([5.0, 30.0], [1])) is bool


def run_python(interpreter, code, *args):
    return subprocess.run([interpreter, "-c", code, *args], capture_output=True, text=True, timeout=60)


# Eager symbol binding (the interpreter's default) would stop a 3.12 loader at a
# C-API symbol that only 3.13 exports, before the module's own version gate runs.
LOAD_EXTENSION = """
import importlib.machinery, importlib.util, os, sys
sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("_vardo", sys.argv[1])
spec = importlib.util.spec_from_file_location("_vardo", sys.argv[1], loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(error)
"""


def test_import_under_python_3_12_fails_with_version_mismatch():
    interpreters = sorted(glob.glob("/root/.pyenv/versions/3.12*/bin/python3.12"))
    if not interpreters:
        pytest.skip("no Python 3.12 interpreter")
    result = run_python(interpreters[-1], LOAD_EXTENSION, _vardo.__file__)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "Python version mismatch: module was compiled for Python 3.13, "
        "but the interpreter version is incompatible: 3.12"
    )


def test_import_into_a_subinterpreter_fails():
    pytest.importorskip("_interpreters")
    # Load the extension file alone: the package's own imports (numpy) refuse
    # subinterpreters too and would answer first.
    load = (
        "import importlib.util as u; "
        f"spec = u.spec_from_file_location('_vardo', {_vardo.__file__!r}); "
        "u.module_from_spec(spec)"
    )
    code = f"""
import _interpreters
interp = _interpreters.create()
error = _interpreters.run_string(interp, {load!r})
_interpreters.destroy(interp)
print(error.type.__name__, error.msg)
import tarvimo._vardo
print(tarvimo._vardo.eBH_cpp([30.0], 0.05))
"""
    result = run_python(sys.executable, code)
    assert result.returncode == 0, result.stderr
    refused, works = result.stdout.splitlines()
    assert refused.startswith("ImportError") and "subinterpreters" in refused
    assert works == "1"


def test_reimport_after_removal_from_sys_modules_gives_working_functions(monkeypatch):
    monkeypatch.delitem(sys.modules, "tarvimo._vardo")
    again = importlib.import_module("tarvimo._vardo")
    assert [name for name in vars(again) if not name.startswith("_")] == NAMES
    assert again.largestcBYsignificant_cpp(P4, 0.05) == 3
    assert again.cBY_check_cpp(P4, 4, H4, 3, 0.05) == {"res": False, "at_s": 3}
