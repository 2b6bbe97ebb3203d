"""The array route of the public API: the same counts as the low-level module
on the fully sorted values, and masks that mark exactly the strongest ones."""

import threading
import time

import numpy as np
import pytest
from definitions import harmonic

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


@pytest.mark.parametrize("alpha", ALPHAS)
def test_evalue_masks_match_the_core_on_sorted_lists(alpha):
    rng = np.random.default_rng(int(alpha * 1e6))
    for e in evalue_families(rng, alpha):
        e = rng.permutation(e)
        ascending = sorted(e.tolist())
        count = _vardo.eBH_cpp(ascending, alpha)
        np.testing.assert_array_equal(_fast.ebh_rejections(e, alpha), strongest(e, count, largest=True))
        for approximate in (False, True):
            count = _vardo.closede_bh_cpp(ascending, alpha, approximate)
            mask = _fast.closed_ebh_rejections(e, alpha, approximate)
            np.testing.assert_array_equal(mask, strongest(e, count, largest=True))


@pytest.mark.parametrize("alpha", ALPHAS)
def test_pvalue_masks_match_the_core_on_sorted_lists(alpha):
    rng = np.random.default_rng(int(alpha * 1e6) + 1)
    for p in pvalue_families(rng, alpha):
        p = rng.permutation(p)
        descending = sorted(p.tolist(), reverse=True)
        count = _vardo.BY_cpp(descending, harmonic(p.size), alpha)
        np.testing.assert_array_equal(_fast.by_rejections(p, alpha), strongest(p, count, largest=False))
        for approximate, search in ((False, _vardo.largestcBYsignificant_cpp),
                                    (True, _vardo.largestcBYsignificant_approximate_cpp)):
            mask = _fast.closed_by_rejections(p, alpha, approximate)
            np.testing.assert_array_equal(mask, strongest(p, search(descending, alpha), largest=False))


def test_closed_procedures_split_ties_in_input_order():
    # Five rejections out of 1.0, 1.0, 10, 10, 40, 100: one of the two 1.0.
    e = np.array([1.0, 100.0, 10.0, 1.0, 40.0, 10.0])
    assert _vardo.closede_bh_cpp(sorted(e.tolist()), 0.2, False) == 5
    np.testing.assert_array_equal(_fast.closed_ebh_rejections(e, 0.2, False), [1, 1, 1, 0, 1, 1])
    # Four rejections out of 0.001, 0.005, 0.02, 0.05, 0.05, 0.1: one of the two 0.05.
    p = np.array([0.05, 0.1, 0.001, 0.05, 0.02, 0.005])
    assert _vardo.largestcBYsignificant_cpp(sorted(p.tolist(), reverse=True), 0.1) == 4
    np.testing.assert_array_equal(_fast.closed_by_rejections(p, 0.1, False), [1, 0, 1, 0, 1, 1])


def test_arrays_of_other_layouts_and_dtypes_are_read_as_float64():
    p = np.array([0.5, 0.001, 0.9, 0.0001, 0.7, 0.002], dtype=np.float32)[::-1]
    expected = _fast.by_rejections(np.ascontiguousarray(p, dtype=np.float64), 0.05)
    np.testing.assert_array_equal(_fast.by_rejections(p, 0.05), expected)
    np.testing.assert_array_equal(_fast.ebh_rejections(np.array([0, 400, 3]), 0.05), [False, True, False])


def test_other_threads_run_while_the_core_works():
    # With the interpreter lock held through the call, this thread would stall
    # for the whole call; released, it keeps ticking.
    rng = np.random.default_rng(5)
    p = np.where(rng.random(200_000) < 0.1, rng.random(200_000) * 1e-4, rng.random(200_000))
    call = {}
    finished = threading.Event()

    def work():
        call["start"] = time.perf_counter()
        _fast.closed_by_rejections(p, 0.05, False)
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
