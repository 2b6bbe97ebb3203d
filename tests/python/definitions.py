"""The procedures' conditions brute-forced from their definitions on small
inputs, and runners for calls that might crash or hang: shared by the tests."""

import itertools
import math
import os
import signal
import subprocess
import sys

import numpy as np

EBH_TOLERANCE = 1e-12
BY_TOLERANCE = 1e-10


def harmonic(m):
    """H_0 ... H_m, each H_i = H_(i-1) + 1/i, summed left to right."""
    return [0.0, *itertools.accumulate(1.0 / i for i in range(1, m + 1))]


def scaled_for_core(descending, alpha):
    """The p-values and level at which the public procedures decide: below 0.05 the p-values times 2^j
    (at most 1) at alpha 2^j, with j putting the level in [0.05, 0.1); unchanged from 0.05 on."""
    j = 0
    while math.ldexp(alpha, j) < 0.05:
        j += 1
    return [min(math.ldexp(p, j), 1.0) for p in descending], math.ldexp(alpha, j)


def groups(m):
    """Every non-empty group of the hypotheses 0 ... m-1."""
    return itertools.chain.from_iterable(itertools.combinations(range(m), k) for k in range(1, m + 1))


def evalue_slacks(evalues, chosen, alpha):
    """For every group meeting the chosen set: its e-value sum minus |group & chosen| * |group| / (r * alpha)."""
    chosen = set(chosen)
    r = len(chosen)
    return [
        math.fsum(evalues[i] for i in group) - len(chosen.intersection(group)) * len(group) / (r * alpha)
        for group in groups(len(evalues))
        if chosen.intersection(group)
    ]


def mean_consistent(evalues, chosen, alpha):
    """Every group holding i >= 1 chosen hypotheses has a mean e-value of at least i / (r * alpha)."""
    return min(evalue_slacks(evalues, chosen, alpha), default=0.0) >= -EBH_TOLERANCE


def by_evalues(p, alpha):
    """Row s holds the BY e-values at size s of the p-values (row 0 unused)."""
    m = len(p)
    h = np.array(harmonic(m))[:, None]
    s = np.arange(m + 1)[:, None]
    q = np.asarray(p, dtype=float)[None, :]
    with np.errstate(invalid="ignore"):
        ceiling = np.maximum(1.0, np.ceil(q * ((s * h) * (1.0 / alpha)) - BY_TOLERANCE))
    return np.where(q * h > alpha + BY_TOLERANCE, 0.0, (1.0 / alpha) / ceiling)


def cby_failing_sizes(p, chosen, alpha):
    """Sizes of the groups that meet the chosen set in u members and whose BY
    e-values at their own size sum to less than u / (alpha * r)."""
    m, chosen = len(p), sorted(set(chosen))
    if not chosen:
        return set()
    subsets = np.array(list(itertools.product((False, True), repeat=m)))[1:]
    sizes = subsets.sum(axis=1)
    totals = (subsets * by_evalues(p, alpha)[sizes]).sum(axis=1)
    overlap = subsets[:, chosen].sum(axis=1)
    short = (overlap > 0) & (totals < overlap * (1.0 / alpha) / len(chosen) - BY_TOLERANCE)
    return set(sizes[short].tolist())


def error_in_subprocess(call):
    """Run `_vardo.<call>` in a fresh interpreter, so that a crash fails only the
    calling test; returns "ErrorType: message", or "" when nothing was raised."""
    code = (
        "from tarvimo import _vardo\nnan = float('nan')\n"
        f"try:\n    _vardo.{call}\nexcept Exception as error:\n    print(f'{{type(error).__name__}}: {{error}}')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def announced_call(index, time_limit, function, *args, **kwargs):
    """In a child process: write "call <index>" to stdout, then make the call.
    A call that runs longer than `time_limit` seconds ends the process through
    SIGALRM's default action, so a hang in C++ code fails too."""
    os.write(1, f"call {index}\n".encode())
    signal.setitimer(signal.ITIMER_REAL, time_limit)
    try:
        return function(*args, **kwargs)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def unfinished_call(done):
    """The index of the call that a child process of announced calls died in
    (it prints "done" when it finishes), or None when it finished."""
    lines = done.stdout.splitlines()
    if lines[-1:] == ["done"] and done.returncode == 0:
        return None
    started = [int(line.split()[1]) for line in lines if line.startswith("call ")]
    return started[-1] if started else -1


def death_note(done):
    """How a child process ended, with the tail of its standard error."""
    code = done.returncode
    how = f"killed by {signal.Signals(-code).name}" if code < 0 else f"exit {code}"
    return f"{how}\n{done.stderr[-3000:]}"
