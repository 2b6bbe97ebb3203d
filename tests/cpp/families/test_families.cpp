// The family layer: masks against a literal oracle (sort, count with the
// literal routines on the padded vector, mark the strongest), layouts by
// code, and the thread pool's scheduling, failures and stop requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "families/families.hpp"

using namespace tarvimo::closed_by;
using namespace tarvimo::closed_ebh;
using namespace tarvimo::families;
using namespace tarvimo::common;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The count of the literal routines on all present values sorted, with
// total - n pads (p = 1 or e = 0) placed before them.
int literal_count(const Method& method, double alpha, std::vector<double> present, int total) {
    std::sort(present.begin(), present.end());
    const bool pvalues = method.evidence == Evidence::pvalues;
    if (pvalues) {
        std::reverse(present.begin(), present.end());
    }
    std::vector<double> padded(static_cast<std::size_t>(total) - present.size(), pvalues ? 1.0 : 0.0);
    padded.insert(padded.end(), present.begin(), present.end());
    // BH: the BY routine with every harmonic number 1
    const std::vector<double> factors =
        method.harmonic ? harmonic_numbers_cpp(total) : std::vector<double>(static_cast<std::size_t>(total) + 1, 1.0);
    int step_up = pvalues ? BY_cpp(padded, factors, alpha) : eBH_cpp(padded, alpha);
    if (!method.closed) {
        return std::min<int>(step_up, static_cast<int>(present.size()));
    }
    const int closed = pvalues ? (method.approximate ? largestcBYsignificant_approximate_cpp(padded, alpha)
                                                     : largestcBYsignificant_cpp(padded, alpha))
                               : (method.approximate ? largestmeanconsistent_approximate_cpp(padded, alpha)
                                                     : largestmeanconsistent_cpp(padded, alpha));
    return std::min<int>(std::max(step_up, closed), static_cast<int>(present.size()));
}

std::vector<double> random_family(std::mt19937& rng, bool pvalues, int n) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(n));
    for (double& v : values) {
        const double u = uniform(rng);
        v = u < 0.1 ? NaN : pvalues ? std::pow(uniform(rng), 4.0) : 1.0 / std::pow(uniform(rng), 2.0);
        if (u > 0.9) {
            v = values[0];  // ties
        }
    }
    return values;
}

TEST(FamilyDecisions, MasksMatchTheLiteralCountsAndMarkTheStrongest) {
    std::mt19937 rng(3);
    const char* names[] = {"ebh", "closed_ebh", "closed_ebh_approximate", "by", "closed_by", "closed_by_approximate",
                           "bh"};
    std::vector<double> scratch;
    for (int round = 0; round < 490; ++round) {
        const Method method = method_named(names[round % 7]);
        const bool pvalues = method.evidence == Evidence::pvalues;
        const double alpha = std::vector<double>{0.01, 0.05, 0.2}[round % 3];
        const std::vector<double> values = random_family(rng, pvalues, 1 + round % 60);
        std::vector<double> present;
        std::copy_if(values.begin(), values.end(), std::back_inserter(present),
                     [](double v) { return !std::isnan(v); });
        const int extra = round % 4 == 0 ? 7 : 0;  // omitted hypotheses
        const int total = static_cast<int>(present.size()) + extra;

        std::vector<double> arranged = present;
        const int count = rejection_count(method, alpha, total, arranged, false, nullptr);
        ASSERT_EQ(count, literal_count(method, alpha, present, total)) << names[round % 7] << " round " << round;

        std::vector<char> mask(values.size(), 2);
        mark_strongest(
            static_cast<std::int64_t>(values.size()), [&](std::int64_t j) { return values[j]; },
            [&](std::int64_t j, bool r) { mask[j] = r; }, arranged, count, !pvalues);
        // The oracle: a stable sort of the present positions, strongest first.
        std::vector<std::size_t> order;
        for (std::size_t j = 0; j < values.size(); ++j) {
            if (!std::isnan(values[j])) order.push_back(j);
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return pvalues ? values[a] < values[b] : values[a] > values[b];
        });
        std::vector<char> expected(values.size(), 0);
        for (int k = 0; k < count; ++k) expected[order[k]] = 1;
        ASSERT_EQ(mask, expected) << names[round % 7] << " round " << round;
    }
}

TEST(FamilyDecisions, MasksSplitTiesInInputOrderAcrossBlocks) {
    // Few distinct values, so that the ties at the threshold spread over
    // several blocks; every count from none to all, both directions, and the
    // contiguous marker against the one that reads through accessors.
    std::mt19937 rng(11);
    for (const std::int64_t n : {1, 255, 256, 257, 1000, 1537}) {
        std::uniform_int_distribution<int> level(0, 5);
        std::vector<double> values(static_cast<std::size_t>(n));
        for (double& v : values) {
            const int l = level(rng);
            v = l == 5 ? NaN : 0.125 * l;
        }
        std::vector<std::size_t> present;
        for (std::size_t j = 0; j < values.size(); ++j) {
            if (!std::isnan(values[j])) present.push_back(j);
        }
        for (const bool larger_is_stronger : {true, false}) {
            std::vector<std::size_t> order = present;  // strongest first, earlier first among equals
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return larger_is_stronger ? values[a] > values[b] : values[a] < values[b];
            });
            std::vector<double> arranged;  // strongest last
            for (auto it = order.rbegin(); it != order.rend(); ++it) arranged.push_back(values[*it]);
            for (std::size_t count = 0; count <= order.size(); count += 1 + count / 7) {
                std::vector<char> expected(values.size(), 0);
                for (std::size_t k = 0; k < count; ++k) expected[order[k]] = 1;
                bool contiguous[2000];
                mark_strongest(values.data(), contiguous, n, arranged, static_cast<int>(count), larger_is_stronger);
                std::vector<char> through(values.size(), 2);
                mark_strongest(
                    n, [&](std::int64_t j) { return values[j]; }, [&](std::int64_t j, bool r) { through[j] = r; },
                    arranged, static_cast<int>(count), larger_is_stronger);
                ASSERT_EQ(std::vector<char>(contiguous, contiguous + n), expected) << n << " " << count;
                ASSERT_EQ(through, expected) << n << " " << count;
            }
        }
    }
}

TEST(FamilyDecisions, ClosedCountsAreAtLeastTheStepUpCountOnTheMargin) {
    // One p-value 5e-11 above alpha: BY rejects it within its tolerance, the
    // closed BY check does not; the closed procedure takes the larger count.
    std::vector<double> p{0.05 + 5e-11};
    EXPECT_EQ(largestcBYsignificant_cpp(p, 0.05), 0);
    EXPECT_EQ(rejection_count(method_named("closed_by"), 0.05, 1, p, false, nullptr), 1);
    std::vector<double> beyond{0.05 + 2e-10};
    EXPECT_EQ(rejection_count(method_named("closed_by"), 0.05, 1, beyond, false, nullptr), 0);
}

TEST(FamilyDecisions, RefusesTotalsBelowTheGivenValuesAndUnknownMethods) {
    std::vector<double> p{0.1, 0.2};
    EXPECT_THROW(rejection_count(method_named("by"), 0.05, 1, p, false, nullptr), std::invalid_argument);
    std::vector<double> none;
    EXPECT_THROW(rejection_count(method_named("by"), 0.05, -1, none, false, nullptr), std::invalid_argument);
    EXPECT_THROW(method_named("closed-by"), std::invalid_argument);
}

// The mask of `count` rejections from values arranged by a count, in the
// order of `values` (all present).
std::vector<char> mask_of(const std::vector<double>& values, const std::vector<double>& arranged, int count,
                          bool pvalues) {
    std::vector<char> mask(values.size(), 2);
    mark_strongest(
        static_cast<std::int64_t>(values.size()), [&](std::int64_t j) { return values[j]; },
        [&](std::int64_t j, bool r) { mask[j] = r; }, arranged, count, !pvalues);
    return mask;
}

// Values on the step-up thresholds of their ranks, a double either side of
// them, ties, and values that can never be rejected.
std::vector<double> margin_family(std::mt19937& rng, bool pvalues, int n, int total, double alpha,
                                  bool harmonic = true) {
    const double factor = static_cast<double>(total) * (harmonic ? harmonic_numbers_cpp(total)[total] : 1.0);
    std::uniform_int_distribution<int> rank(1, n);
    std::uniform_int_distribution<int> kind(0, 5);
    std::vector<double> values(static_cast<std::size_t>(n));
    for (double& v : values) {
        const double k = rank(rng);
        const double on = pvalues ? (k * (alpha + 1e-10)) / factor : static_cast<double>(total) / (k * alpha);
        switch (kind(rng)) {
            case 0:
                v = std::nextafter(on, 0.0);
                break;
            case 1:
                v = std::nextafter(on, 2.0 * on);
                break;
            case 2:
                v = values[0];
                break;  // ties
            case 3:
                v = pvalues ? std::min(1.0, 40.0 * on) : on / 40.0;
                break;
            default:
                v = on;
        }
    }
    return values;
}

TEST(RankedCounts, StepUpCountsAndMasksEqualTheSortedRouteOnTheMargin) {
    std::mt19937 rng(17);
    RankedCountStats stats;
    int rejecting = 0;
    for (int round = 0; round < 600; ++round) {
        const bool pvalues = round % 2 == 0;
        const bool bh = round % 4 == 2;  // BH's line: the same test with H_m replaced by 1
        const Method method = method_named(pvalues ? (bh ? "bh" : "by") : "ebh");
        const double alpha = std::vector<double>{0.05, 0.01, 0.2, 0.05 / 1024, 0.9}[round % 5];
        const int n = 1 + round % 97;
        const int total = n + (round % 3 == 0 ? 0 : 1 + round % 50);
        const std::vector<double> values = margin_family(rng, pvalues, n, total, alpha, !bh);
        std::vector<double> ranked = values;
        std::vector<double> sorted = values;
        const int count = ranked_step_up_count(method, alpha, total, ranked, &stats);
        const int expected = sorted_route_step_up_count(method, alpha, total, sorted);
        ASSERT_EQ(count, expected) << round;
        if (!bh) {
            ASSERT_EQ(count, literal_count(method, alpha, values, total)) << round;
        }
        ASSERT_EQ(mask_of(values, ranked, count, pvalues), mask_of(values, sorted, count, pvalues)) << round;
        rejecting += count > 0 && count < n;
    }
    EXPECT_GT(rejecting, 300);  // the margins are reached: counts that stop inside the family
    EXPECT_EQ(stats.ranked, 600);
    EXPECT_EQ(stats.sorted, 0);
}

TEST(RankedCounts, OutsideTheProofTheSortedRouteDecides) {
    // A level of 0 and omitted p-values that pass at rank m (alpha above H_m
    // - 1e-10) and a negative level are left to the sorted route; the counts
    // stay the literal ones.
    RankedCountStats stats;
    const std::vector<double> p{0.0, 0.3, 0.0, 1.0};
    for (const auto& [alpha, total] : std::vector<std::pair<double, int>>{{0.0, 4}, {2.5, 6}, {-0.5, 4}}) {
        std::vector<double> values = p;
        const int count = ranked_step_up_count(method_named("by"), alpha, total, values, &stats);
        EXPECT_EQ(count, literal_count(method_named("by"), alpha, p, total)) << alpha;
    }
    std::vector<double> e{0.0, 30.0, 30.0};
    EXPECT_EQ(ranked_step_up_count(method_named("ebh"), 0.0, 3, e, &stats), 0);
    EXPECT_EQ(stats.sorted, 4);
    EXPECT_EQ(stats.ranked, 0);
}

TEST(RankedCounts, FirstPassingRankMatchesAScanForAnyEstimate) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (const int limit : {1, 2, 7, 100}) {
        for (int first = 1; first <= limit + 1; ++first) {
            int calls = 0;
            const auto passes = [&](int k) {
                EXPECT_TRUE(k >= 1 && k <= limit) << k;
                ++calls;
                return k >= first;
            };
            for (const double estimate : {NaN, -inf, 0.0, first - 2.5, first - 1.0, first - 0.5, first + 0.0,
                                          first + 1.0, first + 3.0, 1e300, inf}) {
                RankedCountStats stats;
                calls = 0;
                EXPECT_EQ(first_passing_rank(passes, estimate, limit, stats), first) << limit << " " << estimate;
                // An estimate one rank low or exact takes two evaluations at most.
                if (std::ceil(estimate) == first || std::ceil(estimate) == first - 1) {
                    EXPECT_EQ(stats.bisections, 0) << limit << " " << first << " " << estimate;
                    EXPECT_LE(calls, 2);
                }
            }
        }
    }
    RankedCountStats stats;
    const auto from_ten = [](int k) { return k >= 10; };
    EXPECT_EQ(first_passing_rank(from_ten, 50.0, 100, stats), 10);
    EXPECT_EQ(first_passing_rank(from_ten, 2.0, 100, stats), 10);
    EXPECT_EQ(stats.bisections, 2);
}

// The first rank at which `test` holds for v, by a scan of 1 ... limit
// (limit + 1 where none does).
template <typename Test>
int scanned_rank(const Test& test, double v, int limit) {
    for (int k = 1; k <= limit; ++k) {
        if (test.passes(v, static_cast<double>(k))) return k;
    }
    return limit + 1;
}

TEST(RankedCounts, RanksSettledInVectorCodeEqualAScanAndTheRestAreBisected) {
    // Values on the tests' thresholds, a double either side, zeros, NaN-free
    // extremes; estimates true and off (a per_level 3 times too large and
    // too small), so that both the settled and the bisected ranks are used.
    std::mt19937 rng(43);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (const int limit : {1, 3, 50, 777}) {
        const double alpha = 0.05;
        const double factor = 1000.0 * harmonic_numbers_cpp(1000)[1000];
        std::vector<double> p;
        std::vector<double> e;
        for (int i = 0; i < 800; ++i) {  // at least the largest limit: the first `limit` values are ranked
            const double k = 1.0 + std::floor(uniform(rng) * (limit + 3));
            const double on_p = (k * (alpha + 1e-10)) / factor;
            const double on_e = 1000.0 / (k * alpha);
            const int side = i % 4;
            p.push_back(side == 0 ? std::nextafter(on_p, 0.0) : side == 1 ? std::nextafter(on_p, 1.0) : on_p);
            e.push_back(side == 0 ? std::nextafter(on_e, 0.0) : side == 1 ? std::nextafter(on_e, inf) : on_e);
        }
        p.insert(p.end(), {0.0, 1.0, 1e-300, 5e-324});
        e.insert(e.end(), {0.0, inf, 1e300, 5e-324});
        long long bisected = 0;
        for (const double skew : {1.0, 3.0, 1.0 / 3.0}) {
            const PvalueRankTest by{factor, alpha, 1e-10, skew / (alpha + 1e-10)};
            const EvalueRankTest ebh{alpha / 1000.0, 1.0 + 1e-12};
            RankedCountStats stats;
            std::vector<int> ranks;
            candidate_ranks(by, p.data(), limit, ranks, stats, nullptr);
            for (int i = 0; i < limit; ++i) ASSERT_EQ(ranks[i], scanned_rank(by, p[i], limit)) << limit << " " << i;
            if (skew == 1.0) {
                candidate_ranks(ebh, e.data(), limit, ranks, stats, nullptr);
                for (int i = 0; i < limit; ++i) ASSERT_EQ(ranks[i], scanned_rank(ebh, e[i], limit)) << i;
            }
            // The whole lists, settled in slices: the limit only bounds the ranks.
            std::vector<int> all;
            candidate_ranks(by, p.data(), static_cast<int>(p.size()), all, stats, nullptr);
            for (std::size_t i = 0; i < p.size(); ++i) {
                ASSERT_EQ(all[i], scanned_rank(by, p[i], static_cast<int>(p.size()))) << i;
            }
            bisected += stats.bisections;
        }
        EXPECT_GT(bisected, 0) << limit;  // the fallback ran
    }
    CancelFlag stop{true};
    std::vector<int> ranks;
    RankedCountStats stats;
    const std::vector<double> values{0.1};
    EXPECT_THROW(candidate_ranks(PvalueRankTest{1.0, 0.05, 1e-10, 20.0}, values.data(), 1, ranks, stats, &stop),
                 SearchCancelled);
}

TEST(FamilyDecisions, ClosedByDecidesTheSameWithoutTheValuesBeyondTheOmissionBound) {
    // Values at the bound alpha + 1e-10, a double either side, and below:
    // decide_family drops those above it, the oracle keeps every value.
    std::mt19937 rng(23);
    for (int round = 0; round < 120; ++round) {
        const Method method = method_named(round % 2 == 0 ? "closed_by" : "closed_by_approximate");
        const double alpha = std::vector<double>{0.05, 0.2, 0.01}[round % 3];
        const double bound = alpha + 1e-10;
        std::uniform_int_distribution<int> kind(0, 4);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        std::vector<double> values(static_cast<std::size_t>(1 + round % 40));
        for (double& v : values) {
            const int k = kind(rng);
            v = k == 0   ? bound
                : k == 1 ? std::nextafter(bound, 1.0)
                : k == 2 ? std::nextafter(bound, 0.0)
                : k == 3 ? uniform(rng)
                         : alpha * std::pow(uniform(rng), 3.0);
        }
        std::vector<double> scratch;
        std::vector<char> mask(values.size(), 2);
        decide_family(
            method, alpha, static_cast<std::int64_t>(values.size()), std::nullopt,
            [&](std::int64_t j) { return values[j]; }, [&](std::int64_t j, bool r) { mask[j] = r; }, scratch, nullptr,
            StdSortInSteps{});
        std::vector<double> arranged = values;
        std::sort(arranged.begin(), arranged.end(), std::greater<>());
        // Below 0.05 the family decides at alpha 2^j on the p-values times 2^j.
        const int j = level_exponent(alpha);
        std::vector<double> scaled = values;
        for (double& p : scaled) {
            p = scaled_pvalue(p, j);
        }
        const int count = literal_count(method, std::ldexp(alpha, j), scaled, static_cast<int>(values.size()));
        ASSERT_EQ(mask, mask_of(values, arranged, count, true)) << round;
    }
}

// The mask of a family decided on every present value, as before the
// gather narrowed them: the route decide_family must agree with.
std::vector<char> mask_from_every_present_value(const Method& method, double alpha, const std::vector<double>& values,
                                                std::optional<int> total) {
    std::vector<double> present;
    std::copy_if(values.begin(), values.end(), std::back_inserter(present), [](double v) { return !std::isnan(v); });
    const int family_total = total.value_or(static_cast<int>(present.size()));
    const int count = rejection_count(method, alpha, family_total, present, false, nullptr);
    std::vector<char> mask(values.size(), 2);
    mark_strongest(
        static_cast<std::int64_t>(values.size()), [&](std::int64_t j) { return values[j]; },
        [&](std::int64_t j, bool r) { mask[j] = r; }, present, count, method.evidence == Evidence::evalues);
    return mask;
}

TEST(NeededValues, FamiliesGatheringOnlyWhatTheCountReadsDecideAsOnEveryPresentValue) {
    // Margin values, NaN (the default total then differs from the entries,
    // and BY gathers again), given totals at, above and below the entries,
    // levels scaled below 0.05, a subnormal level (2^j beyond a double: every
    // value kept) and levels where omitted p-values of 1 pass.
    std::mt19937 rng(41);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const char* names[] = {"by", "bh", "ebh", "closed_by", "closed_by_approximate", "closed_ebh"};
    const double alphas[] = {0.05, 0.2, 0.01, 3e-300, 5e-324, 1.0 - 1e-11, 2.0};
    int gathered_fewer = 0;
    for (int round = 0; round < 840; ++round) {
        const Method method = method_named(names[round % 6]);
        const bool pvalues = method.evidence == Evidence::pvalues;
        const double alpha = alphas[(round / 6) % 7];
        const int n = 1 + round % 97;
        // Margins at the level the core decides at, p-values scaled back from it.
        const int j = pvalues ? level_exponent(alpha) : 0;
        const double level = j > 0 ? std::ldexp(alpha, j) : std::min(alpha, 0.5);
        std::vector<double> values = margin_family(rng, pvalues, n, n, level, method.harmonic);
        for (double& v : values) v = std::ldexp(v, -j);
        for (double& v : values) {
            if (uniform(rng) < (round % 3 == 0 ? 0.2 : 0.0)) v = NaN;
        }
        const int present =
            static_cast<int>(std::count_if(values.begin(), values.end(), [](double v) { return !std::isnan(v); }));
        const std::optional<int> totals[] = {std::nullopt, n, n + 40, present};
        for (const std::optional<int> total : totals) {
            std::vector<double> needed;
            std::vector<char> mask(values.size(), 2);
            decide_family(
                method, alpha, n, total, [&](std::int64_t j) { return values[j]; },
                [&](std::int64_t j, bool r) { mask[j] = r; }, needed, nullptr, StdSortInSteps{});
            ASSERT_EQ(mask, mask_from_every_present_value(method, alpha, values, total))
                << names[round % 6] << " alpha " << alpha << " round " << round;
            const int family_total = gather_needed(
                method, alpha, n, total, [&](std::int64_t j) { return values[j]; }, needed, nullptr, "a family");
            ASSERT_EQ(family_total, total.value_or(present));
            gathered_fewer += static_cast<int>(needed.size()) < present ? 1 : 0;
            // Contiguous entries: every present value copied in pieces, the same values.
            std::vector<double> copied;
            ASSERT_EQ(gather_needed(
                          method, alpha, n, total, [&](std::int64_t j) { return values[j]; }, copied, nullptr,
                          "a family", values.data()),
                      family_total);
            ASSERT_TRUE(std::equal(needed.begin(), needed.end(), copied.begin(), copied.end(),
                                   [](double a, double b) { return a == b || (a != a && b != b); }));
        }
    }
    EXPECT_GT(gathered_fewer, 500);  // the narrowing is exercised, not only the keep-all case
}

TEST(NeededValues, TotalsBelowThePresentValuesAreRefusedAsBefore) {
    const std::vector<double> values{0.01, NaN, 0.02, 0.5};
    std::vector<double> needed;
    const auto value = [&](std::int64_t j) { return values[j]; };
    for (const char* name : {"by", "ebh", "closed_by", "closed_ebh"}) {
        const Method method = method_named(name);
        EXPECT_THROW(gather_needed(method, 0.05, 4, 2, value, needed, nullptr, "a family"), std::invalid_argument);
        EXPECT_THROW(gather_needed(method, 0.05, 4, -1, value, needed, nullptr, "a family"), std::invalid_argument);
        EXPECT_EQ(gather_needed(method, 0.05, 4, 3, value, needed, nullptr, "a family"), 3);  // NaN is not given
    }
    CancelFlag stop{true};
    EXPECT_THROW(gather_needed(method_named("by"), 0.05, 4, std::nullopt, value, needed, &stop, "a family"),
                 SearchCancelled);
}

TEST(FamilyLayouts, GroupPositionsByCodeInInputOrder) {
    const std::vector<std::int64_t> codes{2, 0, 2, 1, 0, 2};
    const FamilyLayout layout = layout_by_code(codes.data(), 6, 4);
    EXPECT_EQ(layout.starts, (std::vector<std::int64_t>{0, 2, 3, 6, 6}));
    EXPECT_EQ(std::vector<std::int64_t>(layout.order.get(), layout.order.get() + 6),
              (std::vector<std::int64_t>{1, 4, 3, 0, 2, 5}));
    EXPECT_EQ(largest_first(layout), (std::vector<std::int64_t>{2, 0, 1, 3}));
    const std::vector<std::int64_t> bad{0, 4};
    EXPECT_THROW(layout_by_code(bad.data(), 2, 4), std::invalid_argument);
    const std::vector<std::int64_t> negative{-1};
    EXPECT_THROW(layout_by_code(negative.data(), 1, 4), std::invalid_argument);
}

TEST(FamilyLayouts, SharedOutOnThreadsTheLayoutIsTheSame) {
    // Enough codes for several parts: each family's positions must still be
    // ascending, and a code out of range is reported at its first position.
    const std::int64_t n = 3 * LAYOUT_CHUNK + 17;
    std::mt19937_64 rng(5);
    std::vector<std::int64_t> codes(static_cast<std::size_t>(n));
    for (std::int64_t& code : codes) code = static_cast<std::int64_t>(rng() % 1000);
    const FamilyLayout alone = layout_by_code(codes.data(), n, 1000, 1);
    for (const int threads : {2, 3, 8}) {
        const FamilyLayout shared = layout_by_code(codes.data(), n, 1000, threads);
        ASSERT_EQ(shared.starts, alone.starts);
        ASSERT_TRUE(std::equal(alone.order.get(), alone.order.get() + n, shared.order.get())) << threads;
    }
    for (std::int64_t f = 0; f < 1000; ++f) {
        ASSERT_TRUE(std::is_sorted(alone.order.get() + alone.starts[f], alone.order.get() + alone.starts[f + 1]));
    }
    codes[static_cast<std::size_t>(n - 5)] = 1000;
    codes[static_cast<std::size_t>(2 * LAYOUT_CHUNK + 3)] = -7;
    try {
        layout_by_code(codes.data(), n, 1000, 3);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()).rfind("codes[" + std::to_string(2 * LAYOUT_CHUNK + 3) + "] = -7", 0), 0u);
    }
}

TEST(ThreadPool, RunsEveryTaskOnceOnAnyNumberOfThreads) {
    for (const int threads : {1, 2, 3, 8, 300}) {
        std::vector<std::atomic<int>> runs(1000);
        const auto outcome = run_pool(
            1000, threads, [&](std::int64_t task, FamilyScratch&, const CancelFlag*) { ++runs[task]; },
            [] { return false; });
        EXPECT_EQ(outcome, PoolOutcome::finished);
        EXPECT_TRUE(std::all_of(runs.begin(), runs.end(), [](const std::atomic<int>& r) { return r == 1; }));
    }
    EXPECT_EQ(run_pool(
                  0, 2, [](std::int64_t, FamilyScratch&, const CancelFlag*) {}, [] { return true; }),
              PoolOutcome::finished);
    EXPECT_THROW(run_pool(
                     1, 0, [](std::int64_t, FamilyScratch&, const CancelFlag*) {}, [] { return false; }),
                 std::invalid_argument);
}

TEST(ThreadPool, AFailureStopsTheOtherThreadsAndIsRethrown) {
    std::atomic<int> started{0};
    const auto decide = [&](std::int64_t task, FamilyScratch&, const CancelFlag* cancel) {
        ++started;
        if (task == 1) {
            throw std::length_error("family 1");
        }
        while (!cancel->load()) {  // a long search that polls the flag
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        throw SearchCancelled();
    };
    EXPECT_THROW(run_pool(100000, 2, decide, [] { return false; }), std::length_error);
    EXPECT_LT(started, 100);
}

TEST(ThreadPool, AStopRequestEndsLongSearchesAndReportsTheInterruption) {
    std::atomic<int> polls{0};
    std::atomic<int> finished{0};
    const auto decide = [&](std::int64_t, FamilyScratch&, const CancelFlag* cancel) {
        for (;;) {
            stop_if_cancelled(cancel);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ++finished;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = run_pool(1000, 2, decide, [&] { return ++polls == 3; });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome, PoolOutcome::interrupted);
    EXPECT_EQ(polls, 3);  // no polling after the stop request
    EXPECT_EQ(finished, 0);
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST(ThreadPool, AStopRequestWinsOverTheFailuresItCauses) {
    const auto decide = [](std::int64_t, FamilyScratch&, const CancelFlag* cancel) {
        while (!cancel->load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        throw std::runtime_error("stopped half-way");
    };
    EXPECT_EQ(run_pool(4, 2, decide, [] { return true; }), PoolOutcome::interrupted);
}

}  // namespace
