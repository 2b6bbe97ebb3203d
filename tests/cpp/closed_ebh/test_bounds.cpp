// The bounds of the fast searches, each against what it claims, target by
// target: rows cleared by the bulk bound have no target below 0 for any
// i_out; counts of a proven run all fail at their first probe; values before
// the eBH scan's start never qualify. Profiles near the margins (ties, plateaus,
// dyadic levels, values beyond the ordered prefix) are where a bound that is
// almost right would show. TARVIMO_EBH_ROUNDS scales the run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "closed_ebh/bounds.hpp"
#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"
#include "closed_ebh/vardo.hpp"

using namespace tarvimo::closed_ebh;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
    std::string what;
    std::vector<double> given;
    int zeros;
    double alpha;
    int critical_r = 0;  // a size whose check is decided within rounding of 0
};

// Ascending profiles of m values of several shapes, with margins that the
// rounding can decide: realistic, small integers, plateaus with jumps, ties
// at 1/alpha, and some whose top is infinite, NaN, descending or negative.
int scaled_rounds(int base) {
    const char* scale = std::getenv("TARVIMO_EBH_ROUNDS");
    return scale == nullptr ? base : base * std::max(1, std::atoi(scale));
}

std::vector<Case> cases(int m, int rounds, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<Case> all;
    for (int round = 0; round < rounds; ++round) {
        const double dyadic = std::ldexp(1.0, -static_cast<int>(1 + rng() % 4));
        const int zeros = round % 3 == 0 ? static_cast<int>(rng() % 50) : 0;
        std::vector<double> realistic(static_cast<std::size_t>(m));
        std::vector<double> grid(realistic.size());
        std::vector<double> plateaus(realistic.size());
        for (std::size_t t = 0; t < realistic.size(); ++t) {
            realistic[t] = std::exp(3.0 * (normal(rng) + (rng() % 5 == 0 ? 3.0 : 0.0)) - 4.5);
            grid[t] = static_cast<double>(rng() % 9);
            plateaus[t] = static_cast<double>(1 + rng() % 3) * (1.0 + 1e-12 * static_cast<double>(rng() % 3)) / dyadic;
        }
        for (std::vector<double>* e : {&realistic, &grid, &plateaus}) {
            std::sort(e->begin(), e->end());
        }
        std::vector<double> odd_top = realistic;
        const std::vector<double> tops{INF, NaN, -1.0, 0.5, 1e300};
        for (std::size_t k = 0; k < 3; ++k) {
            odd_top[odd_top.size() - 1 - k] = tops[(round + k) % tops.size()];
        }
        all.push_back({"realistic", realistic, zeros, 0.05 * static_cast<double>(1 + round % 4)});
        all.push_back({"grid", grid, zeros, dyadic});
        all.push_back({"plateaus", plateaus, zeros, dyadic});
        all.push_back({"ties at 1/alpha", std::vector<double>(realistic.size(), 1.0 / dyadic), zeros, dyadic});
        std::vector<double> descending_top = realistic;
        std::reverse(descending_top.begin() + m * 2 / 3, descending_top.end());
        // Values up to 1, three at 1/alpha, then tiny ones: for the size whose
        // candidates start at the three, the inside sums stop rising where
        // the rows' penalties still grow.
        std::vector<double> spike_then_drop(realistic.size());
        for (int t = 0; t < m; ++t) {
            spike_then_drop[t] = t < m / 3 ? std::min(realistic[t], 1.0) : t < m / 3 + 3 ? 20.0 : 1e-3;
        }
        all.push_back({"odd top", odd_top, zeros, 0.1});
        all.push_back({"descending top", descending_top, zeros, 0.2});
        all.push_back({"spike then drop", spike_then_drop, 0, 0.05, m - m / 3});
    }
    return all;
}

// The smallest target of every row of the check of size r.
std::vector<double> smallest_targets(const EvalueProfile& profile, int r, double div_ra) {
    const int s = profile.total() - r;
    std::vector<double> smallest(static_cast<std::size_t>(r) + 1, INF);
    for (int i_in = 1; i_in <= r; ++i_in) {
        for (int i_out = 0; i_out <= s; ++i_out) {
            smallest[i_in] = std::min(smallest[i_in], compute_target(profile, i_in, i_out, s, div_ra));
        }
    }
    return smallest;
}

// Realistic e-values scaled by the two neighbouring factors between which
// the smallest target of the check of size r changes sign: the binding row
// sits within a few units of roundoff of 0, below with the one, above with
// the other.
std::vector<Case> critical_cases(int m, int rounds, unsigned seed) {
    std::vector<Case> critical;
    for (const Case& c : cases(m, rounds, seed)) {
        if (c.what != "realistic" || c.zeros != 0) {
            continue;
        }
        const int r = m / 8 + static_cast<int>(critical.size()) % (m / 2);
        const auto smallest_at = [&](double scale) {
            std::vector<double> scaled = c.given;
            for (double& e : scaled) {
                e *= scale;
            }
            const EvalueProfile profile(scaled.data(), m, m);
            const std::vector<double> rows = smallest_targets(profile, r, 1.0 / (c.alpha * r));
            return std::pair{*std::min_element(rows.begin() + 1, rows.end()), scaled};
        };
        double low = 1e-3;  // smallest target below 0
        double high = 1e6;  // at least 0
        while (std::nextafter(low, high) < high) {
            const double mid = std::sqrt(low) * std::sqrt(high);
            const double next = mid > low && mid < high ? mid : low + (high - low) / 2;
            if (next <= low || next >= high) {
                break;
            }
            (smallest_at(next).first < 0.0 ? low : high) = next;
        }
        critical.push_back({"critical, below", smallest_at(low).second, 0, c.alpha, r});
        critical.push_back({"critical, above", smallest_at(high).second, 0, c.alpha, r});
    }
    return critical;
}

// 1 for the rows the bounds clear, 0 for those they leave (and for row 0).
std::vector<unsigned char> cleared_rows(const EvalueProfile& profile, int r, double div_ra) {
    std::vector<unsigned char> clean(static_cast<std::size_t>(r) + 1, 1);
    clean[0] = 0;
    const std::vector<std::int64_t> left = rows_left_by_bounds(profile, r, div_ra);
    EXPECT_TRUE(std::is_sorted(left.begin(), left.end()));
    EXPECT_EQ(std::adjacent_find(left.begin(), left.end()), left.end());
    for (const int row : left) {
        EXPECT_TRUE(1 <= row && row <= r) << row;
        clean[row] = 0;
    }
    return clean;
}

TEST(RowsLeftByBounds, ClearRowsWithoutTargetsBelowZeroAndMostWithRoomToSpare) {
    std::int64_t roomy = 0;  // rows whose smallest target is well above 0
    std::int64_t roomy_cleared = 0;
    std::vector<Case> all = cases(150, scaled_rounds(12), 1);
    for (const Case& c : critical_cases(100, scaled_rounds(30), 4)) {
        all.push_back(c);
    }
    for (const Case& c : all) {
        const int n = static_cast<int>(c.given.size());
        const EvalueProfile profile(c.given.data(), n, n + c.zeros);
        const int m = profile.total();
        std::vector<int> sizes;
        for (int r = 1; r <= n; r += 1 + r / 4) {
            sizes.push_back(r);
        }
        if (c.critical_r > 0) {
            sizes = {c.critical_r};
        }
        for (const int r : sizes) {
            const double div_ra = 1.0 / (c.alpha * r);
            if (!rows_can_be_bounded(profile, r, div_ra)) {
                continue;
            }
            const std::vector<unsigned char> clean = cleared_rows(profile, r, div_ra);
            const double room = 1e-9 * (std::fabs(profile[m]) + static_cast<double>(r) * m * div_ra);
            const std::vector<double> smallest = smallest_targets(profile, r, div_ra);
            for (int i_in = 1; i_in <= r; ++i_in) {
                ASSERT_FALSE(clean[i_in] && smallest[i_in] < 0.0)
                    << c.what << ": r = " << r << ", row " << i_in << ", smallest target " << smallest[i_in];
                if (smallest[i_in] > room) {
                    ++roomy;
                    roomy_cleared += clean[i_in];
                }
            }
        }
    }
    EXPECT_GT(roomy, 10000);
    EXPECT_GT(roomy_cleared, roomy * 95 / 100);
}

TEST(RowsLeftByBounds, LongTiesOnTheThresholdAreNotCleared) {
    // 40,000 copies of x: the running sum drifts from j x by far more than
    // the bounds' margin, so the row with i_in / (r alpha) = x has targets a
    // little below 0 deep inside the outside block, and the rows next to it
    // targets within the drift of 0. Inside values just above x move the
    // margin across the drift.
    int critical_rows = 0;
    for (const double x : {0.1, 0.3, 1.0 / 3.0, 0.7}) {
        for (const double lift : {0.0, 1e-13, 1e-12, 1e-11}) {
            const int m = 40000;
            const int r = 20000;
            const double alpha = 0.25;
            std::vector<double> e(m, x);
            std::fill(e.begin() + (m - r), e.end(), x + lift);
            const EvalueProfile profile(e.data(), m, m);
            const double div_ra = 1.0 / (alpha * r);
            ASSERT_TRUE(rows_can_be_bounded(profile, r, div_ra));
            const std::vector<unsigned char> clean = cleared_rows(profile, r, div_ra);
            const int on_threshold = static_cast<int>(std::lround(x / div_ra));
            for (int i_in = on_threshold - 3; i_in <= on_threshold + 3; ++i_in) {
                double smallest = INF;
                for (int i_out = 0; i_out <= m - r; ++i_out) {
                    smallest = std::min(smallest, compute_target(profile, i_in, i_out, m - r, div_ra));
                }
                critical_rows += std::fabs(smallest) < 1e-6;
                EXPECT_FALSE(clean[i_in] && smallest < 0.0)
                    << "x = " << x << ", lift " << lift << ", row " << i_in << ", smallest target " << smallest;
            }
        }
    }
    EXPECT_GT(critical_rows, 10);
}

// The smallest target of row i_in of the check of size r, and where it lies.
std::pair<double, int> row_minimum_target(const EvalueProfile& profile, int r, int i_in, double div_ra) {
    const int s = static_cast<int>(profile.total()) - r;
    std::pair<double, int> smallest{INF, 0};
    for (int i_out = 0; i_out <= s; ++i_out) {
        smallest = std::min(smallest, {compute_target(profile, i_in, i_out, s, div_ra), i_out});
    }
    return smallest;
}

// A row shown clear near a pair has no target below -TOLERANCE at all, from
// whatever start. At its own level (the smallest double alpha at which no
// target of the row is below -TOLERANCE, its smallest target then within
// rounding of it) the row is shown clear from its smallest target on
// realistic values, and never at the double below, where it violates. Ties
// on the threshold (a grid of values, 1/alpha ties) keep the search.
TEST(RowClearsNear, OnlyRowsWithoutViolationsAndTightRowsAtTheirLevel) {
    std::int64_t claimed = 0;
    std::int64_t refused_clean = 0;
    std::int64_t tight = 0;
    std::int64_t tight_cleared = 0;
    std::mt19937_64 rng(12);
    for (const Case& c : cases(120, scaled_rounds(6), 2)) {
        const int n = static_cast<int>(c.given.size());
        const EvalueProfile profile(c.given.data(), n, n + c.zeros);
        for (int r = 2; r <= n; r += 1 + r / 3) {
            const double div_ra = 1.0 / (c.alpha * r);
            if (!rows_can_be_bounded(profile, r, div_ra)) {
                continue;
            }
            const int s = static_cast<int>(profile.total()) - r;
            for (int i_in = 1; i_in <= r; ++i_in) {
                const auto [smallest, at] = row_minimum_target(profile, r, i_in, div_ra);
                for (const int from : {at, at - 2, at + 3, static_cast<int>(rng() % (s + 1))}) {
                    const bool clear = row_clears_near(profile, r, div_ra, i_in, from, 16);
                    ASSERT_FALSE(clear && smallest < -TOLERANCE) << c.what << ": r = " << r << ", row " << i_in
                                                                 << ", from " << from << ", smallest " << smallest;
                    claimed += clear ? 1 : 0;
                    refused_clean += !clear && smallest >= -TOLERANCE ? 1 : 0;
                }
            }
            if (c.what != "realistic" || c.zeros != 0 || r > 60) {
                continue;
            }
            // Each row at its own level: bisect the doubles for the smallest
            // alpha at which the row's smallest target is not below -TOLERANCE.
            for (int i_in = 1; i_in <= r; i_in += 1 + i_in / 4) {
                const auto passes = [&](double alpha) {
                    return row_minimum_target(profile, r, i_in, 1.0 / (alpha * r)).first >= -TOLERANCE;
                };
                double low = 1e-9;
                double high = 1e9;
                if (passes(low) || !passes(high)) {
                    continue;
                }
                while (std::nextafter(low, high) < high) {
                    double mid = std::sqrt(low) * std::sqrt(high);
                    mid = mid > low && mid < high ? mid : low + (high - low) / 2;
                    if (mid <= low || mid >= high) {
                        mid = std::nextafter(low, high);
                    }
                    (passes(mid) ? high : low) = mid;
                }
                for (const double alpha : {low, high}) {
                    const double level_div_ra = 1.0 / (alpha * r);
                    const auto [smallest, at] = row_minimum_target(profile, r, i_in, level_div_ra);
                    const bool clear = row_clears_near(profile, r, level_div_ra, i_in, at, 16);
                    ASSERT_FALSE(clear && smallest < -TOLERANCE) << "r = " << r << ", row " << i_in;
                    tight += alpha == high ? 1 : 0;
                    tight_cleared += alpha == high && clear ? 1 : 0;
                }
            }
        }
    }
    EXPECT_GT(claimed, 15000);
    EXPECT_GT(refused_clean, 1000);
    EXPECT_GT(tight, 150);
    EXPECT_GT(tight_cleared, tight * 9 / 10);
}

// The search through the samples against a scan of every value, for both
// predicates the band searches use, thresholds on and a few ulps around the
// values, on ascending values with ties, omitted zeros and ranges of every
// length, aligned to the samples or not. The values are small integers
// scaled, or spread over hundreds of binades (the key index then takes a
// coarser shift), with negative zeros among the zeros; thresholds also lie
// at 0, below every value, beyond the last and at infinity.
TEST(FirstValueWhere, EqualsTheScanOfEveryValue) {
    std::mt19937_64 rng(10);
    std::int64_t searches = 0;
    for (const int n : {1, 5, 31, 32, 33, 100, 1000, 5000}) {
        for (const int zeros : {0, 1, 40}) {
            for (const bool spread : {false, true}) {
                std::vector<double> e(static_cast<std::size_t>(n));
                for (double& v : e) {
                    v = spread ? std::ldexp(1.0 + static_cast<double>(rng() % 1000) / 1000.0,
                                            static_cast<int>(rng() % 600) - 300)
                               : static_cast<double>(rng() % 50) * (rng() % 4 == 0 ? 1.0 : 0.37);
                    v = rng() % 50 == 0 ? (rng() % 2 == 0 ? 0.0 : -0.0) : v;
                }
                std::sort(e.begin(), e.end());
                const EvalueProfile profile(e.data(), n, n + zeros);
                const ValueSamples samples(profile);
                const std::int64_t end = profile.ordered_prefix();
                ASSERT_EQ(end, n + zeros);
                for (int round = 0; round < 300; ++round) {
                    const std::int64_t lo = static_cast<std::int64_t>(rng() % (end + 1));
                    const std::int64_t hi = lo + static_cast<std::int64_t>(rng() % (end - lo + 1));
                    double x = profile.value(static_cast<std::int64_t>(rng() % end));
                    switch (round % 20) {
                        case 0:
                            x = 0.0;
                            break;
                        case 1:
                            x = profile.value(end - 1) * 3.0;
                            break;
                        case 2:
                            x = INF;
                            break;
                        case 3:
                            x = std::numeric_limits<double>::denorm_min();
                            break;
                        default:
                            break;
                    }
                    for (int ulps = static_cast<int>(rng() % 5) - 2; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
                        x = std::nextafter(x, ulps > 0 ? INF : -INF);
                    }
                    const auto above = [&](double v) { return !(v <= x); };
                    const auto at_least = [&](double v) { return v >= x; };
                    std::int64_t first_above = lo;
                    while (first_above < hi && !above(profile.value(first_above))) {
                        ++first_above;
                    }
                    std::int64_t first_at_least = lo;
                    while (first_at_least < hi && !at_least(profile.value(first_at_least))) {
                        ++first_at_least;
                    }
                    ASSERT_EQ(first_value_where(profile, samples, lo, hi, x, above), first_above)
                        << n << " " << lo << " " << hi << " " << x;
                    ASSERT_EQ(first_value_where(profile, samples, lo, hi, x, at_least), first_at_least);
                    ++searches;
                }
            }
        }
    }
    EXPECT_EQ(searches, 8 * 3 * 2 * 300);
}

// The key index's brackets hold what they claim, on the same kinds of
// values: every sample before below_end is below y, every one from
// above_start on above it, and they narrow the search on positive y.
TEST(ValueSamples, BracketsHoldAndNarrow) {
    std::mt19937_64 rng(11);
    std::int64_t narrowed = 0;
    for (const bool spread : {false, true}) {
        const int n = 20000;
        std::vector<double> e(n);
        for (double& v : e) {
            v = spread ? std::ldexp(1.0 + static_cast<double>(rng() % 1000) / 1000.0,
                                    static_cast<int>(rng() % 2000) - 1000)
                       : std::exp(static_cast<double>(rng() % 100000) / 5000.0 - 10.0);
        }
        std::sort(e.begin(), e.end());
        const EvalueProfile profile(e.data(), n, n + 10);
        const ValueSamples samples(profile);
        for (int round = 0; round < 2000; ++round) {
            const double y = round % 100 == 0 ? -1.0 : profile.value(static_cast<std::int64_t>(rng() % (n + 10)));
            const ValueSamples::Bracket known = samples.bracket(y);
            ASSERT_LE(known.below_end, known.above_start);
            for (std::int64_t k = 0; k < samples.size(); ++k) {
                if (k < known.below_end) {
                    ASSERT_LT(samples.values()[k], y) << k;
                } else if (k >= known.above_start) {
                    ASSERT_GT(samples.values()[k], y) << k;
                }
            }
            narrowed += known.above_start - known.below_end < samples.size() / 8 ? 1 : 0;
        }
    }
    EXPECT_GT(narrowed, 3000);
}

// The samples change only how the band searches find their answers: the
// rows left are the same, on the cases above and on larger families where
// the samples do most of the searching. A tight row (here each check's
// binding row) is left without a bound and no block holding it is tried:
// the rows cleared then still have no target below 0.
TEST(RowsLeftByBounds, SamplesLeaveTheSameRowsAndATightRowIsLeftSoundly) {
    std::vector<Case> all = cases(150, scaled_rounds(6), 7);
    for (const std::vector<Case>& more : {cases(3000, 2, 8), critical_cases(100, scaled_rounds(10), 9)}) {
        all.insert(all.end(), more.begin(), more.end());
    }
    std::int64_t compared = 0;
    std::int64_t tight_checked = 0;
    for (const Case& c : all) {
        const int n = static_cast<int>(c.given.size());
        const EvalueProfile profile(c.given.data(), n, n + c.zeros);
        const ValueSamples samples(profile);
        std::vector<int> sizes;
        for (int r = 1; r <= n; r += 1 + r / 3) {
            sizes.push_back(r);
        }
        if (c.critical_r > 0) {
            sizes = {c.critical_r};
        }
        for (const int r : sizes) {
            const double div_ra = 1.0 / (c.alpha * r);
            if (!rows_can_be_bounded(profile, r, div_ra)) {
                continue;
            }
            ASSERT_EQ(rows_left_by_bounds(profile, r, div_ra, &samples), rows_left_by_bounds(profile, r, div_ra))
                << c.what << ": r = " << r;
            ++compared;
            if (n > 500) {
                continue;
            }
            const std::vector<double> smallest = smallest_targets(profile, r, div_ra);
            const int tight =
                static_cast<int>(std::min_element(smallest.begin() + 1, smallest.end()) - smallest.begin());
            const std::vector<std::int64_t> left = rows_left_by_bounds(profile, r, div_ra, &samples, tight);
            ASSERT_TRUE(std::is_sorted(left.begin(), left.end()));
            ASSERT_TRUE(std::binary_search(left.begin(), left.end(), tight));
            for (int i_in = 1; i_in <= r; ++i_in) {
                ASSERT_FALSE(!std::binary_search(left.begin(), left.end(), i_in) && smallest[i_in] < 0.0)
                    << c.what << ": r = " << r << ", tight row " << tight << ", row " << i_in;
            }
            ++tight_checked;
        }
    }
    EXPECT_GT(compared, 500);
    EXPECT_GT(tight_checked, 300);
}

// The states of the literal exact scan: at each count, the violation found
// at the count before.
struct ScanState {
    int r;
    int warm_i_in;
    int warm_i_out;
};

std::vector<ScanState> literal_scan(const std::vector<double>& family, double alpha) {
    std::vector<double> cum_e{0.0};
    for (const double e : family) {
        cum_e.push_back(cum_e.back() + e);
    }
    std::vector<ScanState> states;
    int warm_i_in = -1;
    int warm_i_out = -1;
    for (int r = static_cast<int>(family.size()); r >= 1; --r) {
        if (warm_i_in >= 0) {
            states.push_back({r, warm_i_in, warm_i_out});
        }
        const MeanConsistentResult mc = meanconsistent_cpp(cum_e, r, alpha, warm_i_in, warm_i_out);
        if (mc.meanconsistent) {
            break;
        }
        warm_i_in = mc.at_i_in;
        warm_i_out = mc.at_i_out;
    }
    return states;
}

TEST(FailingRun, EveryCountOfAProvenRunFailsAtItsFirstProbe) {
    std::int64_t proven = 0;
    for (const Case& c : cases(300, scaled_rounds(8), 2)) {
        const int n = static_cast<int>(c.given.size());
        const EvalueProfile profile(c.given.data(), n, n + c.zeros);
        const int m = profile.total();
        std::vector<double> family(static_cast<std::size_t>(c.zeros), 0.0);
        family.insert(family.end(), c.given.begin(), c.given.end());
        for (const ScanState& state : literal_scan(family, c.alpha)) {
            for (const int length : {1, 2, 3, 5, 8, 13, 40, 100, 1000}) {
                const FailingRun run =
                    failing_run(profile, c.alpha, state.r, state.warm_i_in, state.warm_i_out, length);
                ASSERT_LE(run.r_lo, state.r);
                ASSERT_GE(run.r_lo, std::max(1, state.r - length + 1));
                if (length == 1 && run.bounded) {
                    const int i_in = std::min(state.warm_i_in, state.r);
                    const double first =
                        compute_target(profile, i_in, state.warm_i_out, m - state.r, 1.0 / (c.alpha * state.r));
                    EXPECT_TRUE(std::memcmp(&first, &run.bound, sizeof first) == 0 ||
                                (std::isnan(first) && std::isnan(run.bound)));
                }
                if (!run.bounded || !(run.bound < -TOLERANCE)) {
                    continue;
                }
                int i_in = state.warm_i_in;
                for (int r = state.r; r >= run.r_lo; --r) {
                    i_in = std::min(i_in, r);
                    ++proven;
                    ASSERT_LT(compute_target(profile, i_in, state.warm_i_out, m - r, 1.0 / (c.alpha * r)), -TOLERANCE)
                        << c.what << ": run from " << state.r << " to " << run.r_lo << " of length " << length
                        << ", count " << r;
                }
            }
        }
    }
    EXPECT_GT(proven, 100000);
}

TEST(BelowEbhThreshold, ValuesBeforeTheScanStartNeverQualify) {
    for (const Case& c : cases(400, scaled_rounds(10), 3)) {
        for (const double alpha : {c.alpha, 0.5, 0.0, -0.1, NaN, INF}) {
            const int n = static_cast<int>(c.given.size());
            const int total = n + c.zeros;
            const EvalueProfile profile(c.given.data(), n, total);
            const int start = below_ebh_threshold(profile, alpha);
            ASSERT_GE(start, 0);
            ASSERT_LE(start, n);
            const double apm = alpha / static_cast<double>(total);
            for (int t = 0; t < start; ++t) {
                ASSERT_FALSE((static_cast<double>(n - t) * c.given[t]) * apm >= 1.0 + TOLERANCE)
                    << c.what << ", t = " << t;
            }
            EXPECT_EQ(ebh_count(c.given.data() + start, n - start, total, alpha),
                      ebh_count(c.given.data(), n, total, alpha));
        }
    }
}

}  // namespace
