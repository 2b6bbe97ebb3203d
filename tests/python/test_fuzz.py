"""Random calls of every _vardo function, and of the _fast functions behind
the public API: each returns a value of its type and range or raises
TypeError, ValueError, IndexError, OverflowError or MemoryError; none crashes
or hangs.

The calls run in child processes (this file run as a script), which write the
index of each call before making it, so that a crash or a hang fails the test
with the arguments that caused it. Call i is drawn from a generator seeded
with i alone, so the parent rebuilds it to report it. TARVIMO_FUZZ_CALLS sets
the number of calls (default 10000).
"""

import itertools
import math
import os
import random
import subprocess
import sys
from typing import NamedTuple

import numpy as np
from definitions import announced_call, death_note, harmonic, unfinished_call


class Shrinking:
    """A number whose conversion empties the list holding it, half-way through."""

    def __init__(self, holder):
        self.holder = holder

    def __float__(self):
        self.holder.clear()
        return 0.5

    def __index__(self):
        self.holder.clear()
        return 0

    def __repr__(self):
        return "<empties its list>"


class Failing:
    """A number whose conversion raises."""

    def __float__(self):
        raise ArithmeticError("no float")

    def __index__(self):
        raise ArithmeticError("no index")

    def __repr__(self):
        return "<fails to convert>"


CALLS = int(os.environ.get("TARVIMO_FUZZ_CALLS", "10000"))
WORKERS = 2
CALL_TIME_LIMIT = 20.0  # seconds for a single call, far above any legitimate one
RAISES = (TypeError, ValueError, IndexError, OverflowError, MemoryError)

SPECIAL = [
    0.0,
    -0.0,
    -1.0,
    -1e-300,
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    1e308,
    -1e308,
    1.7976931348623157e308,
    5e-324,
    2.2250738585072014e-308,
    1e-320,
    1e-12,
    0.05,
    0.5,
    1.0,
    1.0 + 2**-52,
    2.0,
    20.0,
    1e18,
]
ALPHAS = [0.05, 0.1, 0.5, 0.0, -0.0, -0.05, math.nan, math.inf, -math.inf, 1.0, 2.0, 1e-300, 5e-324, 1e308]
BAD_SCALARS = ["0.05", b"1", None, [0.05], (1,), {}, 1j, object()]
BAD_VECTORS = ["0.1", b"\x01", None, 0.5, 3, [0.1, "x"], [[0.1]], [1j], [None], {"a": 1.0}, object(), [0.1, Failing()]]
BIG_INTS = [2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**64)]
SWITCHES = [False, True, None, 0, 1, 7, np.bool_(True), np.bool_(False), "yes", [], 0.0]

PARAMETERS = {
    "closede_bh_cpp": ("evalues", "alpha", "approximate"),
    "largest_mean_consistent_k": ("evalues", "alpha", "approximate"),
    "is_subset_mean_consistent": ("evalues", "subset", "alpha"),
    "largestmeanconsistent_cpp": ("evalues", "alpha"),
    "largestmeanconsistent_approximate_cpp": ("evalues", "alpha"),
    "eBH_cpp": ("evalues", "alpha"),
    "meanconsistent_wrapper_cpp": ("cum_e", "r", "alpha"),
    "BY_cpp": ("pvalues", "harmonic", "alpha"),
    "largestcBYsignificant_cpp": ("pvalues", "alpha"),
    "largestcBYsignificant_approximate_cpp": ("pvalues", "alpha"),
    "cBY_check_cpp": ("pvalues", "r", "harmonic", "warm_s", "alpha"),
}
MASKS = {
    "rejections": ("values", "method", "alpha", "total"),
    "row_rejections": ("values", "method", "alpha", "workers"),
    "grouped_rejections": ("values", "codes", "families", "method", "alpha", "workers"),
}
METHODS = ["ebh", "closed_ebh", "closed_ebh_approximate", "by", "closed_by", "closed_by_approximate"]
BAD_METHODS = ["", "closed-by", "BY", None, 3]
COUNTS = set(PARAMETERS) - {"is_subset_mean_consistent", "meanconsistent_wrapper_cpp", "cBY_check_cpp"}
PARAMETERS |= MASKS


class Vector(NamedTuple):
    """A sequence argument: its values and the container it is passed in."""

    kind: str  # list, tuple, array, float32, int64, generator, set, shrinking, rows, strided
    values: list

    def build(self):
        if self.kind in ("rows", "strided"):  # a 2-D float64 array, C order or a transposed view
            rows = max(1, int(math.sqrt(len(self.values))))
            table = np.array(self.values[: rows * (len(self.values) // rows)], dtype=np.float64).reshape(rows, -1)
            return table if self.kind == "rows" else table.T.copy().T
        if self.kind == "tuple":
            return tuple(self.values)
        if self.kind == "array":
            return np.array(self.values, dtype=np.float64)
        if self.kind == "float32":
            with np.errstate(over="ignore"):
                return np.array(self.values, dtype=np.float32)
        if self.kind == "int64":
            return np.array([v if isinstance(v, int) else 0 for v in self.values], dtype=np.int64)
        if self.kind == "generator":
            return (v for v in self.values)
        if self.kind == "set":
            return set(self.values)
        values = list(self.values)
        if self.kind == "shrinking":
            values.insert(len(values) // 2, Shrinking(values))
        return values

    @property
    def size(self):
        """The most numbers the sequence can hand over."""
        return len(self.values) + (self.kind == "shrinking")

    def __repr__(self):
        return f"{self.kind}({self.values!r})"


class Call(NamedTuple):
    name: str
    args: tuple
    kwargs: dict
    m: int  # size of the first vector argument, the most any count can be

    @property
    def module(self):
        return "_fast" if self.name in MASKS else "_vardo"

    def __repr__(self):
        arguments = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs.items()]
        return f"{self.module}.{self.name}({', '.join(arguments)})"


def random_length(rng):
    return rng.choice([0, 1, 2, rng.randint(3, 12), rng.randint(13, 60), rng.randint(61, 300)])


def random_values(rng, m):
    """m floats: special values, uniform ones, heavy-tailed ones, repeats."""
    pool = rng.sample(SPECIAL, rng.randint(1, 5)) if rng.random() < 0.5 else []
    scale = rng.choice([1.0, 0.01, 100.0])
    values = []
    for _ in range(m):
        pick = rng.random()
        if pool and pick < 0.3:
            values.append(rng.choice(pool))
        elif pick < 0.6:
            values.append(rng.random() * scale)
        elif pick < 0.9:
            values.append(rng.expovariate(1.0) ** 3 * scale)
        else:
            values.append(values[-1] if values else 0.0)
    order = rng.choice(["ascending", "descending", "unsorted"])
    if order != "unsorted":
        values.sort(key=lambda x: (math.isnan(x), x), reverse=order == "descending")
    return values


def random_vector(rng, m, values=None):
    """A sequence of m random values (or of `values`) in a random container, or a wrong type."""
    if rng.random() < 0.04:
        return rng.choice(BAD_VECTORS)
    values = random_values(rng, m) if values is None else values
    kind = rng.choices(
        ["list", "tuple", "array", "float32", "int64", "generator", "set", "shrinking"], [10, 2, 3, 1, 1, 1, 1, 1]
    )[0]
    if kind == "int64":
        values = [rng.randint(-3, 50) for _ in values]
    elif rng.random() < 0.05 and values:
        values[rng.randrange(len(values))] = rng.choice([True, 3, np.float64(0.5), np.int32(2)])
    return Vector(kind, values)


def random_harmonic(rng, m):
    pick = rng.random()
    if pick < 0.6:
        return random_vector(rng, m + 1, harmonic(m))
    if pick < 0.8:
        return random_vector(rng, 0, harmonic(max(0, m + rng.choice([-2, -1, 1, 50]))))
    return random_vector(rng, rng.randint(0, m + 2))


def random_count(rng, m):
    """r or warm_s: in range, on the edges, far outside, or not an int."""
    pick = rng.random()
    if pick < 0.5:
        return rng.randint(0, max(m, 0))
    if pick < 0.75:
        return rng.choice([0, 1, -1, m - 1, m, m + 1, m + 2, -m])
    if pick < 0.9:
        return rng.choice(BIG_INTS)
    return rng.choice([True, False, np.int64(m), 1.0, float(m), np.float64(1.0), "1", None])


def random_subset(rng, m):
    if rng.random() < 0.04:
        return rng.choice(BAD_VECTORS + [[0.5], [1.0], [2**31], [-(2**31) - 1]])
    size = rng.choice([0, 1, rng.randint(1, max(1, m)), m + rng.randint(0, 5)])
    indices = [rng.randrange(m) if m and rng.random() < 0.85 else random_count(rng, m) for _ in range(size)]
    indices = [i for i in indices if isinstance(i, int)]
    kind = rng.choices(["list", "tuple", "int64", "set", "shrinking"], [6, 1, 1, 1, 1])[0]
    if kind == "int64" and any(not -(2**63) <= i < 2**63 for i in indices):
        kind = "list"
    return Vector(kind, indices)


def random_alpha(rng):
    pick = rng.random()
    if pick < 0.6:
        return rng.choice(ALPHAS)
    if pick < 0.9:
        return rng.random()
    return rng.choice(BAD_SCALARS + [True, 1, np.float64(0.1), np.float32(0.2)])


def random_method(rng):
    return rng.choice(METHODS) if rng.random() < 0.95 else rng.choice(BAD_METHODS)


def mask_arguments(rng, name, m, alpha):
    """Arguments of a _fast function: values (2-D for rows), method, alpha, then total, workers or codes."""
    values = random_vector(rng, m)
    if isinstance(values, Vector) and (name == "row_rejections") != (rng.random() < 0.05):
        values = Vector(rng.choice(["rows", "strided"]), values.values)
    workers = rng.choice([1, 1, 2, 3, 0, -1, 2**31, None, 1.5, True])
    if name == "rejections":
        # 10**12 + 1: just past the largest total a family may have
        total = rng.choice([None, None, m, m + rng.randint(0, 5000), m - 1, -1, 0, 10**12 + 1, 1.0, "5"])
        return [values, random_method(rng), alpha, total]
    if name == "row_rejections":
        return [values, random_method(rng), alpha, workers]
    families = rng.choice([rng.randint(1, max(1, m)), m, m + 1, 0, -1, 2**40])
    codes = [
        rng.randrange(max(1, families)) if rng.random() < 0.95 else rng.choice([-1, families, 2**40])
        for _ in range(m + rng.choice([0, 0, 0, 1, -1]))
    ]
    codes_vector = (
        Vector(rng.choice(["list", "int64", "array"]), codes) if rng.random() < 0.97 else rng.choice(BAD_VECTORS)
    )
    return [values, codes_vector, families, random_method(rng), alpha, workers]


def random_call(index):
    """Call number `index`, the same in every process."""
    rng = random.Random(index)
    name = rng.choice(list(PARAMETERS))
    m = random_length(rng)
    alpha = random_alpha(rng)
    if name in ("closede_bh_cpp", "largest_mean_consistent_k"):  # alpha and approximate have defaults
        args = [random_vector(rng, m), alpha, rng.choice(SWITCHES)][: rng.randint(1, 3)]
    elif name in MASKS:
        args = mask_arguments(rng, name, m, alpha)
    elif name == "is_subset_mean_consistent":
        args = [random_vector(rng, m), random_subset(rng, m), alpha][: rng.randint(2, 3)]
    elif name == "meanconsistent_wrapper_cpp":
        ascending = sorted(random_values(rng, m), key=lambda x: (math.isnan(x), x))
        profile = list(itertools.accumulate(ascending, initial=0.0)) if rng.random() < 0.7 else None
        args = [random_vector(rng, m + 1, profile), random_count(rng, m), alpha]
    elif name == "BY_cpp":
        args = [random_vector(rng, m), random_harmonic(rng, m), alpha]
    elif name == "cBY_check_cpp":
        args = [random_vector(rng, m), random_count(rng, m), random_harmonic(rng, m), random_count(rng, m), alpha]
    else:
        args = [random_vector(rng, m), alpha]
    size = args[0].size if isinstance(args[0], Vector) else 0
    kwargs = {}
    if rng.random() < 0.2:  # pass a tail of the arguments by keyword
        keep = rng.randint(0, len(args))
        kwargs = dict(zip(PARAMETERS[name][keep:], args[keep:]))
        args = args[:keep]
    return Call(name, tuple(args), kwargs, size)


def result_fault(call, result):
    """What is wrong with a returned value, or None."""
    if call.name in MASKS:
        ndim = 2 if call.name == "row_rejections" else 1
        if not (isinstance(result, np.ndarray) and result.dtype == np.bool_ and result.ndim == ndim):
            return f"returned {result!r}, not a {ndim}-dimensional boolean array"
    elif call.name in COUNTS:
        if type(result) is not int or not 0 <= result <= call.m:
            return f"returned {result!r}, not a count in 0 ... {call.m}"
    elif call.name == "cBY_check_cpp":
        if type(result) is not dict or list(result) != ["res", "at_s"]:
            return f"returned {result!r}, not a dict with the keys res, at_s"
        res, at_s = result["res"], result["at_s"]
        if type(res) is not bool or type(at_s) is not int or not (at_s == 0 if res else 1 <= at_s <= call.m):
            return f"returned {result!r}: res must be a bool, at_s 0 when it passes, else in 1 ... {call.m}"
    elif type(result) is not bool:
        return f"returned {result!r}, not a bool"
    return None


def run_calls(first, count):
    """Worker: make calls first ... first + count - 1, announcing each on stdout."""
    from tarvimo import _fast, _vardo

    modules = {"_fast": _fast, "_vardo": _vardo}
    for index in range(first, first + count):
        call = random_call(index)
        arguments = tuple(a.build() if isinstance(a, Vector) else a for a in call.args)
        keywords = {k: v.build() if isinstance(v, Vector) else v for k, v in call.kwargs.items()}
        try:
            fault = result_fault(
                call,
                announced_call(
                    index, CALL_TIME_LIMIT, getattr(modules[call.module], call.name), *arguments, **keywords
                ),
            )
        except RAISES:
            fault = None
        except Exception as error:  # noqa: BLE001 - any other exception is the finding
            fault = f"raised {type(error).__name__}: {error}"
        if fault:
            print(f"fault {index} {fault}", flush=True)
    print("done", flush=True)


def test_random_calls_return_documented_types_or_raise_documented_errors():
    shares = [CALLS // WORKERS + (w < CALLS % WORKERS) for w in range(WORKERS)]
    firsts = [sum(shares[:w]) for w in range(WORKERS)]
    workers = [
        subprocess.Popen(
            [sys.executable, __file__, str(first), str(count)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for first, count in zip(firsts, shares)
    ]
    findings = []
    for worker in workers:
        stdout, stderr = worker.communicate()
        done = subprocess.CompletedProcess(worker.args, worker.returncode, stdout, stderr)
        findings += [
            f"{repr(random_call(int(line.split()[1])))[:3000]} {line.split(maxsplit=2)[2]}"
            for line in done.stdout.splitlines()
            if line.startswith("fault ")
        ]
        index = unfinished_call(done)
        if index is not None:
            culprit = repr(random_call(index))[:3000] if index >= 0 else "its start-up"
            findings.append(f"worker died in {culprit}: {death_note(done)}")
    assert not findings, "\n".join(findings[:20])


if __name__ == "__main__":
    run_calls(int(sys.argv[1]), int(sys.argv[2]))
