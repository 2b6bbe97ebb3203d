"""The array route of the public API: the same counts as the low-level module
on the fully sorted (and padded) values, masks that mark exactly the
strongest ones, and families in rows or by code that match one call each."""

import threading
import time

import numpy as np
import pytest
from definitions import harmonic, scaled_for_core

from tarvimo import _fast, _vardo

ALPHAS = [1e-6, 0.01, 0.05, 0.2, 0.9]


def strongest(values, count, largest):
    """Mask of the `count` strongest values; a stable sort puts earlier ties first."""
    order = np.argsort(-values if largest else values, kind="stable")
    mask = np.zeros(values.size, dtype=bool)
    mask[order[:count]] = True
    return mask


def evalue_families(rng, alpha):
    for m in (0, 1, 2, 3, 7, 40, 300):
        k = np.arange(1, m + 1)
        yield rng.exponential(1.0, m) ** 3
        yield rng.choice([0.0, 0.5, 1.0, 2.0, 20.0, 50.0, np.inf], m)
        # On the e-BH lines m / (k alpha) and just around them, and around the
        # value below which a hypothesis can never be rejected.
        yield m / (k * alpha) * rng.choice([1 - 1e-12, 1.0, 1 + 1e-12, 1 + 1e-11], m)
        yield np.full(m, 0.5 / alpha) * rng.choice([1 - 1e-15, 1.0, 1 + 1e-15], m)


def pvalue_families(rng, alpha):
    for m in (0, 1, 2, 3, 7, 40, 300):
        k = np.arange(1, m + 1)
        yield rng.random(m) ** 4
        yield rng.choice([0.0, 1e-6, 0.001, 0.01, 0.04, 0.5, 1.0], m)
        # On the BY lines k alpha / (m H_m), within and just beyond the tolerance.
        line = k * alpha / (m * harmonic(m)[-1])
        yield np.clip(line + rng.choice([-1e-10, 0.0, 9e-11, 2e-10], m), 0.0, 1.0)
        if m:
            yield np.full(m, 2 * alpha / harmonic(m)[-1]) * rng.choice([1 - 1e-15, 1.0, 1 + 1e-15], m)


def padded(values, extra, pad, descending):
    return [pad] * extra + sorted(values.tolist(), reverse=descending)


@pytest.mark.parametrize("alpha", ALPHAS)
def test_evalue_masks_match_the_core_on_sorted_lists(alpha):
    rng = np.random.default_rng(int(alpha * 1e6))
    for e in evalue_families(rng, alpha):
        e = rng.permutation(e)
        for extra in (0, 3):
            ascending = padded(e, extra, 0.0, descending=False)
            total = e.size + extra if extra else None
            count = _vardo.eBH_cpp(ascending, alpha)
            np.testing.assert_array_equal(_fast.rejections(e, "ebh", alpha, total), strongest(e, count, largest=True))
            for approximate in (False, True):
                # the closed procedure rejects at least the e-BH set
                count = max(_vardo.closede_bh_cpp(ascending, alpha, approximate), _vardo.eBH_cpp(ascending, alpha))
                method = "closed_ebh_approximate" if approximate else "closed_ebh"
                mask = _fast.rejections(e, method, alpha, total)
                np.testing.assert_array_equal(mask, strongest(e, min(count, e.size), largest=True))


@pytest.mark.parametrize("alpha", ALPHAS)
def test_pvalue_masks_match_the_core_on_sorted_lists(alpha):
    rng = np.random.default_rng(int(alpha * 1e6) + 1)
    for p in pvalue_families(rng, alpha):
        p = rng.permutation(p)
        for extra in (0, 3):
            # below 0.05 the engine decides on scaled p-values at a scaled level
            descending, level = scaled_for_core(padded(p, extra, 1.0, descending=True), alpha)
            total = p.size + extra if extra else None
            by_count = _vardo.BY_cpp(descending, harmonic(len(descending)), level)
            np.testing.assert_array_equal(
                _fast.rejections(p, "by", alpha, total), strongest(p, min(by_count, p.size), largest=False)
            )
            for method, search in (
                ("closed_by", _vardo.largestcBYsignificant_cpp),
                ("closed_by_approximate", _vardo.largestcBYsignificant_approximate_cpp),
            ):
                count = min(max(search(descending, level), by_count), p.size)
                mask = _fast.rejections(p, method, alpha, total)
                np.testing.assert_array_equal(mask, strongest(p, count, largest=False))


METHODS = ["ebh", "closed_ebh", "closed_ebh_approximate", "by", "closed_by", "closed_by_approximate"]


def random_table(rng, method, rows, n):
    if "ebh" in method:
        values = rng.exponential(1.0, (rows, n)) ** 3 * rng.choice([1.0, 10.0, 100.0], (rows, 1))
    else:
        values = rng.random((rows, n)) ** rng.choice([1.0, 4.0, 12.0], (rows, 1))
    values[rng.random((rows, n)) < 0.1] = np.nan
    values[:, ::7] = values[:, :1]  # ties
    return values


@pytest.mark.parametrize("method", METHODS)
def test_rows_and_codes_give_each_family_its_own_mask(method):
    rng = np.random.default_rng(len(method))
    for rows, n in ((0, 5), (3, 0), (1, 1), (7, 40), (300, 9), (40, 300)):
        values = random_table(rng, method, rows, n)
        expected = np.array([_fast.rejections(row, method, 0.1) for row in values], dtype=bool).reshape(rows, n)
        for workers in (1, 2, 5):
            np.testing.assert_array_equal(_fast.row_rejections(values, method, 0.1, workers), expected)
            # the transposed view: strided rows
            np.testing.assert_array_equal(_fast.row_rejections(values.T.copy().T, method, 0.1, workers), expected)
        # the same families by code, interleaved in a long table
        order = rng.permutation(rows * n)
        table, codes = values.ravel()[order], np.repeat(np.arange(rows), n)[order]
        expected = np.zeros(table.size, dtype=bool)
        for family in range(rows):
            members = np.flatnonzero(codes == family)
            expected[members] = _fast.rejections(table[members], method, 0.1)
        mask = _fast.grouped_rejections(table, codes, rows if n else 0, method, 0.1, 2)
        np.testing.assert_array_equal(mask, expected)


def test_closed_procedures_split_ties_in_input_order():
    # Five rejections out of 1.0, 1.0, 10, 10, 40, 100: one of the two 1.0.
    e = np.array([1.0, 100.0, 10.0, 1.0, 40.0, 10.0])
    assert _vardo.closede_bh_cpp(sorted(e.tolist()), 0.2, False) == 5
    np.testing.assert_array_equal(_fast.rejections(e, "closed_ebh", 0.2), [1, 1, 1, 0, 1, 1])
    # Four rejections out of 0.001, 0.005, 0.02, 0.05, 0.05, 0.1: one of the two 0.05.
    p = np.array([0.05, 0.1, 0.001, 0.05, 0.02, 0.005])
    assert _vardo.largestcBYsignificant_cpp(sorted(p.tolist(), reverse=True), 0.1) == 4
    np.testing.assert_array_equal(_fast.rejections(p, "closed_by", 0.1), [1, 0, 1, 0, 1, 1])
    np.testing.assert_array_equal(
        _fast.grouped_rejections(p, np.zeros(6, dtype=np.intp), 1, "closed_by", 0.1, 1), [1, 0, 1, 0, 1, 1]
    )


def test_arrays_of_other_layouts_and_dtypes_are_read_as_float64():
    p = np.array([0.5, 0.001, 0.9, 0.0001, 0.7, 0.002], dtype=np.float32)[::-1]
    expected = _fast.rejections(np.ascontiguousarray(p, dtype=np.float64), "by", 0.05)
    np.testing.assert_array_equal(_fast.rejections(p, "by", 0.05), expected)
    np.testing.assert_array_equal(_fast.rejections(np.array([0, 400, 3]), "ebh", 0.05), [False, True, False])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _fast.rejections(np.ones(3), "closed-by", 0.05), "unknown method 'closed-by'"),
        (lambda: _fast.rejections(np.ones(3), "by", 0.05, 2), r"total number of hypotheses \(2\) must be at least"),
        (lambda: _fast.rejections(np.ones((2, 2)), "by", 0.05), "must have 1 dimension, got 2"),
        (lambda: _fast.row_rejections(np.ones(3), "by", 0.05, 1), "must have 2 dimensions, got 1"),
        (lambda: _fast.row_rejections(np.ones((2, 2)), "by", 0.05, 0), "workers must be at least 1"),
        (lambda: _fast.grouped_rejections(np.ones(3), np.zeros(2, np.intp), 1, "by", 0.05, 1), "one family number per"),
        (lambda: _fast.grouped_rejections(np.ones(3), np.array([0, 1, 3]), 3, "by", 0.05, 1), r"codes\[2\] = 3"),
        (lambda: _fast.grouped_rejections(np.ones(3), np.array([0, -1, 0]), 3, "by", 0.05, 1), r"codes\[1\] = -1"),
        (lambda: _fast.grouped_rejections(np.ones(3), np.zeros(3, np.intp), 4, "by", 0.05, 1), "families must lie"),
        # totals per family, which the public call checks first with messages that name the family
        (
            lambda: _fast.grouped_rejections(np.ones(3), np.array([0, 0, 1]), 2, "bh", 0.05, 1, np.array([2])),
            r"one total per family \(2\), got 1",
        ),
        (
            lambda: _fast.grouped_rejections(np.ones(3), np.array([0, 0, 1]), 2, "bh", 0.05, 1, np.array([1, 5])),
            r"totals\[0\] = 1 must lie in the family's 2 entries",
        ),
        (
            lambda: _fast.grouped_rejections(
                np.ones(3), np.array([0, 0, 1]), 2, "by", 0.05, 1, np.array([2, 10**12 + 1])
            ),
            r"totals\[1\] = 1000000000001",
        ),
    ],
)
def test_bad_arguments_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


# Calls of a tenth of a second or more, whatever the speed of the closed
# searches: step-up counts that sort millions of candidates, on the calling
# thread, and on a worker thread that the calling thread waits for.
STRONG = np.random.default_rng(5).random(3_000_000) * 1e-9
# Families are decided faster than one of the same size, so more of them keep the call long enough.
STRONG_ROWS = np.tile(STRONG, 4).reshape(1200, -1)
LONG_CALLS = {
    "on the calling thread": lambda: _fast.rejections(STRONG, "by", 0.05),
    "on a worker thread": lambda: _fast.row_rejections(STRONG_ROWS, "by", 0.05, 1),
}


@pytest.mark.parametrize("route", LONG_CALLS)
def test_other_threads_run_while_the_core_works(route):
    # With the interpreter lock held through the call, this thread would stall
    # for the whole call; released, it keeps ticking.
    call = {}
    finished = threading.Event()

    def work():
        call["start"] = time.perf_counter()
        LONG_CALLS[route]()
        call["end"] = time.perf_counter()
        finished.set()

    stalls = []
    worker = threading.Thread(target=work)
    last = time.perf_counter()
    worker.start()
    while not finished.is_set():
        now = time.perf_counter()
        if now - last > 1e-3:
            stalls.append((last, now))
        last = now
    stalls.append((last, time.perf_counter()))
    worker.join()
    start, end = call["start"], call["end"]
    assert end - start > 0.05, "the call is too short to tell"
    longest = max(min(b, end) - max(a, start) for a, b in stalls)
    assert longest < (end - start) / 2
