"""Families of more than 2^31 - 1 hypotheses (m up to 10^12): the harmonic numbers against mpmath, the
step-up procedures against a direct evaluation of their lines, the closed procedures against the
properties they must keep, levels against masks, the refusal beyond 10^12, the command line and Dask."""

import math
import subprocess
import sys

import numpy as np
import pytest

import tarvimo
from tarvimo import _fast

mpmath = pytest.importorskip("mpmath")

WIDE = 2**31  # the first m whose H_m is rounded, not summed
LARGEST = 10**12
ALPHAS = (0.01, 0.05, 0.2)


def true_harmonic(m):
    """The double nearest to H_m, from mpmath at 200 bits (psi(m + 1) + gamma)."""
    with mpmath.workprec(200):
        return float(mpmath.harmonic(m))


def spread_totals(rng, count):
    """Totals from 2^31 to 10^12, log-uniform, with both ends."""
    drawn = np.exp(rng.uniform(math.log(WIDE), math.log(LARGEST), count)).astype(np.int64)
    return np.unique(np.concatenate([[WIDE, WIDE + 1, LARGEST - 1, LARGEST], drawn]))


def test_harmonic_numbers_are_the_nearest_doubles():
    totals = spread_totals(np.random.default_rng(2026), 600)
    values, _ = _fast.harmonic_numbers(totals)
    expected = np.array([true_harmonic(int(m)) for m in totals])
    np.testing.assert_array_equal(values, expected)


def test_harmonic_numbers_near_midpoints_take_the_wide_evaluation():
    # A run of consecutive totals holds about one in 340 whose H_m lies too close to a midpoint between
    # two doubles for the 64-bit evaluation; each is rounded by the 113-bit one, correctly.
    start = 123_456_789_012
    near = [m for m in range(start, start + 4000) if _fast.harmonic_numbers(np.array([m]))[1] == 1]
    assert 1 <= len(near) <= 30
    values, wide = _fast.harmonic_numbers(np.array(near))
    assert wide == len(near)
    for m, value in zip(near, values, strict=True):
        with mpmath.workprec(200):
            h = mpmath.harmonic(m)
            below, above = math.nextafter(value, -math.inf), math.nextafter(value, math.inf)
            # nearest: closer than either neighbour, and close to a midpoint (why it was hard)
            assert abs(h - value) < abs(h - below) and abs(h - value) < abs(h - above)
            assert abs(abs(h - value) - (above - value) / 2) < (above - value) / 128
    # Forcing the 113-bit evaluation everywhere changes no value.
    totals = spread_totals(np.random.default_rng(5), 3000)
    quick, _ = _fast.harmonic_numbers(totals)
    forced, count = _fast.harmonic_numbers(totals, extended=True)
    assert count == totals.size
    np.testing.assert_array_equal(quick, forced)


def test_the_definition_changes_at_2_31_by_about_a_thousandth_of_a_billionth():
    (summed, rounded), _ = _fast.harmonic_numbers(np.array([WIDE - 1, WIDE]))
    with mpmath.workprec(200):
        below = mpmath.harmonic(WIDE - 1)
        # The summed H at 2^31 - 1 lies 1.15e-12 below the true value, the rounded one on it.
        assert 1.1e-12 < float(below - summed) < 1.2e-12
        assert rounded == float(mpmath.harmonic(WIDE))


def crafted_pvalues(rng, m, n, alpha):
    """n p-values around BY's line for a family of m: some just inside, some just outside."""
    harmonic = true_harmonic(m)
    ranks = rng.integers(1, n + 1, n)
    line = alpha * ranks / (m * harmonic)
    return line * rng.choice([1 - 1e-6, 1 + 1e-6, 0.5, 2.0, 1.0], n)


def step_up_count(values, m, alpha, factor, evalues=False):
    """The step-up count written from its definition: the largest rank k whose k-th strongest value
    passes; BY/BH ((p F) / k) - alpha <= 1e-10 with F = m H, e-BH (k e) (alpha / m) >= 1 + 1e-12."""
    strongest = np.sort(values)[::-1] if evalues else np.sort(values)
    for k in range(strongest.size, 0, -1):
        v = float(strongest[k - 1])
        if evalues and (k * v) * (alpha / m) >= 1 + 1e-12:
            return k
        if not evalues and ((v * factor) / k) - alpha <= 1e-10:
            return k
    return 0


@pytest.mark.parametrize("m", [WIDE, 3 * WIDE + 7, 5 * 10**11, LARGEST])
def test_step_up_procedures_follow_their_lines(m):
    rng = np.random.default_rng(m % 1000)
    for alpha in ALPHAS:
        p = crafted_pvalues(rng, m, 300, alpha)
        by_factor = float(m) * true_harmonic(m)
        assert tarvimo.by(p, alpha, m=m).sum() == step_up_count(p, m, alpha, by_factor)
        assert tarvimo.bh(p, alpha, m=m).sum() == step_up_count(p, m, alpha, float(m))
        e = m / (alpha * np.maximum(rng.integers(1, 301, 300), 1)) * rng.choice([1 - 1e-9, 1 + 1e-9, 2.0], 300)
        assert tarvimo.ebh(e, alpha, m=m).sum() == step_up_count(e, m, alpha, None, evalues=True)


@pytest.mark.parametrize("m", [WIDE + 1, 40 * WIDE, LARGEST])
def test_closed_procedures_keep_their_properties(m):
    rng = np.random.default_rng(3)
    for _ in range(4):
        p = np.concatenate([crafted_pvalues(rng, m, 60, 0.05), rng.uniform(0, 1e-6, 20)])
        e = 1 / p
        masks = {}
        for alpha in ALPHAS:
            by, closed = tarvimo.by(p, alpha, m=m), tarvimo.closed_by(p, alpha, m=m)
            approximate = tarvimo.closed_by(p, alpha, m=m, approximate=True)
            assert not (by & ~approximate).any() and not (approximate & ~closed).any()
            ebh, closed_e = tarvimo.ebh(e, alpha, m=m), tarvimo.closed_ebh(e, alpha, m=m)
            assert not (ebh & ~closed_e).any()
            masks[alpha] = closed, closed_e
        for low, high in zip(ALPHAS, ALPHAS[1:]):  # nested in alpha
            for smaller, larger in zip(masks[low], masks[high], strict=True):
                assert not (smaller & ~larger).any()


def test_closed_by_is_continuous_across_2_31():
    # Values far from every threshold decide alike whether H comes from the sum or the expansion.
    rng = np.random.default_rng(8)
    for _ in range(5):
        p = np.concatenate([rng.uniform(1e-15, 1e-13, 30), rng.uniform(1e-9, 1e-6, 30)])
        for method in ("by", "closed_by"):
            below = tarvimo.adjust(p, method, m=WIDE - 1) <= 0.05
            np.testing.assert_array_equal(getattr(tarvimo, method)(p, m=WIDE + 1), below)
            assert below[:30].all() and not below[30:].any()


@pytest.mark.parametrize("method", ["by", "bh", "closed_by", "ebh", "closed_ebh"])
def test_levels_are_where_the_masks_change(method):
    m = 7 * 10**10
    rng = np.random.default_rng(11)
    p = np.concatenate([crafted_pvalues(rng, m, 40, 0.05), [1e-13, 2e-13]])
    values = 1 / p if "ebh" in method else p
    levels = tarvimo.adjust(values, method, m=m)
    procedure = getattr(tarvimo, method)
    for i in rng.choice(values.size, 8, replace=False):
        level = float(levels[i])
        if level < 1.0:
            assert procedure(values, level, m=m)[i]
            assert not procedure(values, math.nextafter(level, 0.0), m=m)[i]


def test_beyond_10_12_is_refused():
    with pytest.raises(ValueError, match=r"m = 1,000,000,000,001 is more than 1,000,000,000,000 \(10\^12\)"):
        tarvimo.closed_by([0.01], m=LARGEST + 1)
    with pytest.raises(ValueError, match="more than 1,000,000,000,000"):
        tarvimo.adjust([0.01, 0.02], "by", groups=["a", "b"], m={"a": 5, "b": LARGEST + 1})
    with pytest.raises(ValueError, match=r"at most 10\^12"):
        _fast.rejections(np.array([0.01]), "by", 0.05, LARGEST + 1)
    with pytest.raises(ValueError, match=r"at most 10\^12"):
        _fast.harmonic_numbers(np.array([LARGEST + 1]))
    # At the largest, every procedure decides, the grouped route too.
    for method in ("by", "bh", "closed_by"):
        assert getattr(tarvimo, method)([1e-16, 0.5], m=LARGEST).tolist() == [True, False]
    for method in ("ebh", "closed_ebh"):
        assert getattr(tarvimo, method)([1e15, 2.0], m=LARGEST).tolist() == [True, False]
    grouped = tarvimo.closed_by([1e-16, 0.5, 1e-16], groups=["a", "a", "b"], m={"a": LARGEST, "b": WIDE})
    assert grouped.tolist() == [True, False, True]


def run_cli(*arguments, table):
    return subprocess.run(
        [sys.executable, "-m", "tarvimo", "run", *arguments],
        input=table,
        capture_output=True,
        text=True,
        check=False,
    )


def test_command_line_takes_m_up_to_10_12():
    table = "id\tp\na\t1e-16\nb\t1e-15\nc\t0.02\n"
    done = run_cli("closed-by", "-", "--column", "p", "--m", "5e11", table=table)
    assert done.returncode == 0, done.stderr
    assert "2 of 500000000000 hypotheses rejected" in done.stdout
    expected = tarvimo.closed_by([1e-16, 1e-15, 0.02], m=5 * 10**11)
    assert expected.tolist() == [True, True, False]
    refused = run_cli("by", "-", "--column", "p", "--m", "2e12", table=table)
    assert refused.returncode != 0
    assert "1,000,000,000,000" in refused.stderr
    per_family = "g\tp\tm\nx\t1e-16\t400000000000\nx\t0.3\t400000000000\ny\t1e-13\t3000000000\n"
    done = run_cli("by", "-", "--column", "p", "--groups", "g", "--m-column", "m", table=per_family)
    assert done.returncode == 0, done.stderr
    assert "2 of 403000000000 hypotheses rejected" in done.stdout


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as local,
        distributed.Client(local) as client,
    ):
        yield client


def test_dask_takes_m_up_to_10_12(cluster):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    tdask = pytest.importorskip("tarvimo.dask")
    m = 3 * 10**11
    rng = np.random.default_rng(4)
    p = np.concatenate([crafted_pvalues(rng, m, 400, 0.05), rng.uniform(0, 0.2, 400)])
    frame = pd.DataFrame({"p": p, "e": 1 / p})
    dask_frame = dd.from_pandas(frame, npartitions=3)
    for name, column in [("by", "p"), ("closed_by", "p"), ("ebh", "e"), ("closed_ebh", "e")]:
        expected = getattr(tarvimo, name)(frame[column].to_numpy(), m=m)
        result = getattr(tdask, name)(dask_frame, column, m=m).compute()
        np.testing.assert_array_equal(result.to_numpy(), expected)
        assert expected.any()
    # Counting passes shrink BY's candidates with m in their bounds (to the 237 values within the
    # bound of 506 candidates, which hold the rejected ones).
    narrowed = tdask.by(dask_frame, "p", m=m, max_candidates=300).compute()
    np.testing.assert_array_equal(narrowed.to_numpy(), tarvimo.by(p, m=m))
    with pytest.raises(ValueError, match="one family of 300,000,000,000 hypotheses has 506 p-values"):
        tdask.by(dask_frame, "p", m=m, max_candidates=200)
    levels = tdask.adjust(dask_frame, "p", "closed_by", m=m).compute()
    np.testing.assert_array_equal(levels.to_numpy(), tarvimo.adjust(p, "closed_by", m=m))
    with pytest.raises(ValueError, match="more than 1,000,000,000,000"):
        tdask.by(dask_frame, "p", m=10**12 + 1)
    with pytest.raises(ValueError, match="smaller than the number of values given"):
        tdask.by(dask_frame, "p", m=10)
    with pytest.raises(ValueError, match="m gives the size of one family"):
        tdask.by(dask_frame.assign(g=1), "p", groups="g", m=m)
