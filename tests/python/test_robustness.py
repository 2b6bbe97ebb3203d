"""Every search and check ends for any level and for NaN in the vectors, the
public procedures refuse a bad level, and calls leak no memory: run in child
processes (this file run as a script), so that a hang or a crash fails."""

import gc
import itertools
import math
import os
import subprocess
import sys
from functools import partial

import numpy as np
import pytest
from definitions import announced_call, death_note, harmonic, unfinished_call

import tarvimo
from tarvimo import _vardo as v

CALL_TIME_LIMIT = 5.0  # seconds; every call below takes milliseconds
M = 300
BAD_ALPHAS = [math.nan, 0.0, -0.0, -0.05, -math.inf, math.inf, 1.0]
CORE_ALPHAS = [*BAD_ALPHAS, 5e-324, 1e308, 0.05]
LEAK_CALLS = 100_000
LEAK_WARM_UP = 20_000
MIB = 1 << 20


def study_values():
    """Sorted p-values (largest first) and e-values (ascending), 10% signals."""
    rng = np.random.default_rng(11)
    z = rng.normal(size=M) + np.where(np.arange(M) < M // 10, 3.0, 0.0)
    p = np.sort(np.exp(-(z**2) / 2) / 2)[::-1]  # a crude tail, enough for the searches to do work
    e = np.sort(np.exp(3 * z - 4.5))
    return p.tolist(), e.tolist()


def with_nans(values, every):
    return [math.nan if i % every == 0 else x for i, x in enumerate(values)]


def core_calls(p, e, alpha):
    """Every _vardo function on these vectors and level, with several sizes."""
    h = harmonic(len(p))
    cum_e = list(itertools.accumulate(e, initial=0.0))
    sizes = sorted({1, len(p) // 2, len(p), 2**31 - 1})  # the last one far beyond any vector
    calls = [
        partial(v.closede_bh_cpp, e, alpha, False),
        partial(v.closede_bh_cpp, e, alpha, True),
        partial(v.largest_mean_consistent_k, e, alpha, False),
        partial(v.largest_mean_consistent_k, e, alpha, True),
        partial(v.largestmeanconsistent_cpp, e, alpha),
        partial(v.largestmeanconsistent_approximate_cpp, e, alpha),
        partial(v.eBH_cpp, e, alpha),
        partial(v.is_subset_mean_consistent, e, list(range(0, len(e), 3)), alpha),
        partial(v.BY_cpp, p, h, alpha),
        partial(v.largestcBYsignificant_cpp, p, alpha),
        partial(v.largestcBYsignificant_approximate_cpp, p, alpha),
    ]
    calls += [partial(v.meanconsistent_wrapper_cpp, cum_e, r, alpha) for r in sizes]
    calls += [partial(v.cBY_check_cpp, p, r, h, warm_s, alpha) for r in sizes for warm_s in (0, len(p) // 3)]
    return calls


def termination_cases():
    """(call, exceptions allowed, whether one must be raised): the core on every
    level and on vectors with NaN, then the public procedures, which refuse a
    bad level and either refuse or omit NaN."""
    p, e = study_values()
    vectors = [(p, e), (with_nans(p, 7), with_nans(e, 7)), ([math.nan] * 20, [math.nan] * 20)]
    core = (TypeError, ValueError, IndexError)
    cases = [(call, core, False) for alpha in CORE_ALPHAS for pv, ev in vectors for call in core_calls(pv, ev, alpha)]
    subset = [i for i in range(0, M, 3) if i % 5]  # no position that with_nans(..., 5) blanks
    procedures = [
        (tarvimo.ebh, e, {}),
        (tarvimo.closed_ebh, e, {}),
        (tarvimo.closed_ebh, e, {"approximate": True}),
        (tarvimo.by, p, {}),
        (tarvimo.closed_by, p, {}),
        (tarvimo.closed_by, p, {"approximate": True}),
        (tarvimo.is_mean_consistent, e, {"subset": subset}),
    ]
    for procedure, values, options in procedures:
        omit = {**options, "nan_policy": "omit"}
        cases += [(partial(procedure, values, alpha=alpha, **options), ValueError, True) for alpha in BAD_ALPHAS]
        cases += [
            (partial(procedure, with_nans(values, 5), alpha=alpha, **omit), ValueError, True) for alpha in BAD_ALPHAS
        ]
        cases += [
            (partial(procedure, values, alpha=alpha, **options), TypeError, True) for alpha in (True, "0.05", None)
        ]
        cases += [(partial(procedure, with_nans(values, 5), **options), ValueError, True)]
        cases += [
            (partial(procedure, with_nans(values, 5), alpha=alpha, **omit), (), False)
            for alpha in (5e-324, 0.05, 1 - 2**-53)
        ]
        all_omitted = {**omit, "subset": []} if "subset" in options else omit
        cases += [(partial(procedure, [math.nan] * 5, **all_omitted), (), False)]
        if "subset" not in options:  # many families, on threads, with NaN omitted per family
            table = np.tile(with_nans(values, 5), (8, 1))
            cases += [
                (partial(procedure, table, alpha=alpha, axis=1, workers=2, **omit), (), False)
                for alpha in (5e-324, 0.05, 1 - 2**-53)
            ]
            cases += [(partial(procedure, values, groups=np.arange(M) % 3, **options), (), False)]
    return cases


def run_termination_cases():
    """Child: make every case, announcing each; "fault" lines name the wrong outcomes."""
    for index, (call, allowed, must_raise) in enumerate(termination_cases()):
        try:
            announced_call(index, CALL_TIME_LIMIT, call)
        except allowed:
            continue
        except Exception as error:  # noqa: BLE001 - anything else is the finding
            print(f"fault {index} raised {type(error).__name__}: {error}", flush=True)
            continue
        if must_raise:
            print(f"fault {index} returned", flush=True)
    print("done", flush=True)


def describe(case):
    call, allowed, must_raise = case

    def brief(a):
        return repr(a) if not isinstance(a, list) or len(a) < 8 else f"<{len(a)} values>"

    shown = [brief(a) for a in call.args] + [f"{k}={brief(a)}" for k, a in call.keywords.items()]
    return f"{call.func.__name__}({', '.join(shown)}), which {'must' if must_raise else 'may'} raise {allowed}"


def run_child(mode):
    return subprocess.run([sys.executable, __file__, mode], capture_output=True, text=True, timeout=600)


def test_searches_and_checks_end_and_public_procedures_refuse_bad_levels():
    done = run_child("termination")
    cases = termination_cases()
    findings = [
        f"{describe(cases[int(line.split()[1])])}: {line.split(maxsplit=2)[2]}"
        for line in done.stdout.splitlines()
        if line.startswith("fault ")
    ]
    index = unfinished_call(done)
    if index is not None:
        findings.append(f"died in {describe(cases[index]) if index >= 0 else 'start-up'}: {death_note(done)}")
    assert not findings, "\n".join(findings[:20])


def leak_calls():
    """Calls of every function and procedure: successes, conversion errors, ValueError, IndexError."""
    rng = np.random.default_rng(5)
    p = np.sort(rng.random(200))[::-1].tolist()
    e = np.sort(rng.exponential(20.0, 200)).tolist()
    h = harmonic(200)
    cum_e = list(itertools.accumulate(e, initial=0.0))
    bad = [*p[:100], "x", *p[100:]]  # fails conversion half-way through the vector
    table = np.tile(np.asarray(p), (10, 1))  # 2,000 values: decided on threads
    labels = np.arange(200) % 7
    return [
        lambda: v.closede_bh_cpp(e, 0.1),
        lambda: v.largest_mean_consistent_k((x for x in e), 0.1, True),
        lambda: v.is_subset_mean_consistent(e, list(range(100, 200)), 0.1),
        lambda: v.is_subset_mean_consistent(e, [0, 200]),  # IndexError
        lambda: v.is_subset_mean_consistent([*e, math.nan], [0]),  # ValueError
        lambda: v.largestmeanconsistent_cpp(e, 0.05),
        lambda: v.largestmeanconsistent_approximate_cpp(e, 0.05),
        lambda: v.eBH_cpp(tuple(e), 0.05),
        lambda: v.eBH_cpp(bad, 0.05),  # TypeError
        lambda: v.meanconsistent_wrapper_cpp(cum_e, 50, 0.1),
        lambda: v.meanconsistent_wrapper_cpp(cum_e, -1, 0.1),
        lambda: v.BY_cpp(p, h, 0.05),
        lambda: v.BY_cpp(p, h[:100], 0.05),  # ValueError
        lambda: v.largestcBYsignificant_cpp(p, 0.05),
        lambda: v.largestcBYsignificant_approximate_cpp(p, 0.05),
        lambda: v.cBY_check_cpp(p, 150, h, 20, 0.05),
        lambda: v.cBY_check_cpp(p, 201, h, 0, 0.05),
        lambda: v.cBY_check_cpp(p, 2**31, h, 0, 0.05),
        lambda: v.largestcBYsignificant_cpp(bad, 0.05),
        # The public procedures, on the array route.
        lambda: tarvimo.by(p),
        lambda: tarvimo.ebh([*e, math.nan], nan_policy="omit"),
        lambda: tarvimo.closed_ebh(e, 0.1),
        lambda: tarvimo.closed_by(p, approximate=True),
        lambda: tarvimo.by(bad),
        lambda: tarvimo.closed_ebh([*e, -1.0]),  # TypeError, ValueError
        lambda: tarvimo.is_mean_consistent(e, [0, 200]),  # IndexError
        # Many families on the thread pool, truncated lists, masked arrays.
        lambda: tarvimo.closed_by(table, axis=1, workers=2),
        lambda: tarvimo.closed_ebh(table.T * 50.0, workers=2),
        lambda: tarvimo.by(p, groups=labels),
        lambda: tarvimo.closed_ebh(e, groups=labels, workers=1),
        lambda: tarvimo.closed_by(p, m=300),
        lambda: tarvimo.ebh(e, m=100),  # ValueError: m too small
        lambda: tarvimo.by(np.ma.masked_greater(p, 0.9), nan_policy="omit"),
        lambda: tarvimo.by(np.ma.masked_greater(p, 0.9)),  # ValueError: masked
    ]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_leak_calls():
    """Child: print the growth of resident memory over LEAK_CALLS calls after a warm-up."""
    calls = leak_calls()

    def make(count):
        for call in itertools.islice(itertools.cycle(calls), count):
            try:
                call()
            except (TypeError, ValueError, IndexError):
                pass

    make(LEAK_WARM_UP)
    before = resident_bytes()
    make(LEAK_CALLS)
    print(resident_bytes() - before)


@pytest.mark.skipif(
    bool(os.environ.get("TARVIMO_SANITIZED")), reason="AddressSanitizer's quarantine keeps freed memory resident"
)
def test_calls_do_not_grow_resident_memory():
    done = run_child("leak")
    assert done.returncode == 0, death_note(done)
    growth = int(done.stdout)
    assert growth <= MIB, f"resident memory grew by {growth / MIB:.2f} MiB over {LEAK_CALLS} calls"


INTERRUPTED_CALLS = 200
KIB = 1 << 10


def run_interrupted_calls():
    """Child: print the growth of traced memory (Python objects and numpy arrays, the masks among them)
    over calls stopped half-way by a signal handler that raises. Resident memory says little here: the
    threads' freed buffers fragment the heap by a varying amount."""
    import signal
    import tracemalloc

    def stop(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, stop)
    m = 2000
    line = np.arange(1, m + 1) * 0.05 / (m * harmonic(m)[-1])
    table = np.tile(1.1 * line, (400, 1))  # about a second of closed BY searches on two threads

    def make(count):
        for _ in range(count):
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            try:
                tarvimo.closed_by(table, axis=1, workers=2)
            except KeyboardInterrupt:
                continue
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            raise AssertionError("the call was not interrupted")

    make(20)
    tracemalloc.start()
    gc.collect()  # tracebacks through the handler's frame argument can form cycles
    before = tracemalloc.get_traced_memory()[0]
    make(INTERRUPTED_CALLS)
    gc.collect()
    print(tracemalloc.get_traced_memory()[0] - before)


def test_interrupted_calls_do_not_keep_memory():
    done = run_child("interrupted")
    assert done.returncode == 0, death_note(done)
    growth = int(done.stdout)
    # one kept mask alone would be 800 KiB
    assert growth <= 64 * KIB, (
        f"traced memory grew by {growth / KIB:.0f} KiB over {INTERRUPTED_CALLS} interrupted calls"
    )


if __name__ == "__main__":
    {"termination": run_termination_cases, "leak": run_leak_calls, "interrupted": run_interrupted_calls}[sys.argv[1]]()
