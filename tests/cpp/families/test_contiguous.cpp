// The fused pass of contiguous step-up families against the literal route
// (decide_family: gather, count, mark the strongest), with and without
// AVX2, on margin values, ties, NaN, totals and scaled levels; its domain
// check against a plain oracle; and the literal route where the pass does
// not reach, counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "families/families.hpp"

using namespace tarvimo::families;
using namespace tarvimo::common;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Values on the step-up lines of random ranks at `level`, a double either
// side, ties with the first value, values far from any line, and NaN.
std::vector<double> margin_entries(std::mt19937& rng, const Method& method, int n, double level, double nan_share) {
    const bool pvalues = method.evidence == Evidence::pvalues;
    const double factor =
        static_cast<double>(n) * (method.harmonic && pvalues ? tarvimo::closed_by::harmonic_number(n) : 1.0);
    std::uniform_int_distribution<int> rank(1, std::max(1, n / 3));
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(n));
    for (double& v : values) {
        const double k = rank(rng);
        const double on = pvalues ? (k * (level + 1e-10)) / factor : static_cast<double>(n) / (k * level);
        switch (kind(rng)) {
            case 0:
                v = std::nextafter(on, 0.0);
                break;
            case 1:
                v = std::nextafter(on, 2.0 * on);
                break;
            case 2:
                v = values[0];
                break;
            case 3:
                v = pvalues ? uniform(rng) : uniform(rng) * 3.0;
                break;
            default:
                v = on;
        }
        if (uniform(rng) < nan_share) {
            v = NaN;
        }
    }
    return values;
}

// The mask of the literal route.
std::vector<bool> literal_mask(const Method& method, double alpha, const std::vector<double>& values,
                               std::optional<std::int64_t> total) {
    std::vector<double> scratch;
    std::vector<bool> mask(values.size());
    decide_family(
        method, alpha, static_cast<std::int64_t>(values.size()), total, [&](std::int64_t j) { return values[j]; },
        [&](std::int64_t j, bool r) { mask[static_cast<std::size_t>(j)] = r; }, scratch, nullptr, StdSortInSteps{});
    return mask;
}

struct Decided {
    bool in_domain;
    std::vector<bool> mask;
};

Decided decide_contiguous(const Method& method, double alpha, const std::vector<double>& values,
                          std::optional<std::int64_t> total, DomainCheck domain, ContiguousStats& stats, bool avx2) {
    ContiguousScratch scratch;
    std::unique_ptr<bool[]> out(new bool[values.size() + 1]);
    const bool in_domain =
        decide_contiguous_family(method, alpha, static_cast<std::int64_t>(values.size()), total, values.data(),
                                 out.get(), domain, scratch, nullptr, StdSortInSteps{}, &stats, avx2);
    // A refused family's mask is left unwritten: read only what a decided one wrote.
    if (!in_domain) return {false, {}};
    return {true, std::vector<bool>(out.get(), out.get() + values.size())};
}

std::vector<bool> vector_units() {
    return processor_has_avx2() ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

TEST(ContiguousFamilies, FusedMasksEqualTheLiteralRouteOnTheMargin) {
    // Sizes across the pass's blocks and vector tails, NaN (the default total
    // then drops them and the pass runs again), given totals, levels scaled
    // below 0.05; both the AVX2 and the portable pass.
    std::mt19937 rng(29);
    const char* names[] = {"by", "bh", "ebh"};
    const double alphas[] = {0.05, 0.2, 0.01, 0.05 / 1024, 0.9};
    ContiguousStats stats;
    int rejecting = 0;
    for (int round = 0; round < 300; ++round) {
        const Method method = method_named(names[round % 3]);
        const double alpha = alphas[(round / 3) % 5];
        const int n = 1 + (round * 37) % 2600;
        const int j = method.evidence == Evidence::pvalues ? level_exponent(alpha) : 0;
        std::vector<double> values = margin_entries(rng, method, n, std::ldexp(alpha, j), round % 4 == 0 ? 0.2 : 0.0);
        for (double& v : values) v = std::ldexp(v, -j);
        const std::optional<std::int64_t> totals[] = {std::nullopt, n, n + 40};
        for (const std::optional<std::int64_t> total : totals) {
            const std::vector<bool> expected = literal_mask(method, alpha, values, total);
            for (const bool avx2 : vector_units()) {
                const Decided decided = decide_contiguous(method, alpha, values, total, {}, stats, avx2);
                ASSERT_TRUE(decided.in_domain);
                ASSERT_EQ(decided.mask, expected) << names[round % 3] << " alpha " << alpha << " round " << round;
            }
            const auto rejected = std::count(expected.begin(), expected.end(), true);
            rejecting += rejected > 0 && rejected < n ? 1 : 0;
        }
    }
    EXPECT_GT(rejecting, 400);  // counts that stop inside the family
    EXPECT_EQ(stats.literal, 0);
    EXPECT_EQ(stats.fused, 900 * static_cast<long long>(vector_units().size()));
}

TEST(ContiguousFamilies, OutsideThePassTheLiteralRouteDecidesAndIsCounted) {
    // A subnormal level (2^j beyond a double), a level where omitted p-values
    // of 1 pass at rank m, a level of 0, and closed BY: the literal route,
    // with the same masks, every time; closed e-BH takes its own sort.
    std::mt19937 rng(31);
    const std::vector<std::pair<const char*, double>> cases{{"by", 5e-324},      {"bh", 5e-324}, {"bh", 1.0 - 1e-11},
                                                            {"by", 0.0},         {"ebh", 0.0},   {"closed_by", 0.05},
                                                            {"closed_ebh", 0.05}};
    ContiguousStats stats;
    for (int round = 0; round < 70; ++round) {
        const auto& [name, alpha] = cases[static_cast<std::size_t>(round) % cases.size()];
        const Method method = method_named(name);
        const int n = 1 + round * 11;
        const std::vector<double> values =
            margin_entries(rng, method, n, alpha > 0.0 ? std::min(alpha, 0.5) : 0.05, 0.1);
        for (const std::optional<std::int64_t> total :
             {std::optional<std::int64_t>{}, std::optional<std::int64_t>{n}}) {
            const Decided decided = decide_contiguous(method, alpha, values, total, {true, true}, stats, false);
            ASSERT_TRUE(decided.in_domain);
            ASSERT_EQ(decided.mask, literal_mask(method, alpha, values, total)) << name << " round " << round;
        }
    }
    EXPECT_EQ(stats.literal, 120);
    EXPECT_EQ(stats.closed_ebh_sorted, 20);
    EXPECT_EQ(stats.fused, 0);
    EXPECT_EQ(stats.checked_in_gather, 20);  // closed BY: its gather checks the domain
    EXPECT_EQ(stats.domain_scans, 100);
    // BY at 2.0 on 4 entries: H_4 - 2 > 1e-10, the pass runs; one is NaN, and
    // at the default total of 3, H_3 - 2 <= 1e-10, so every present value is
    // rejected on the literal route after the pass.
    const std::vector<double> values{0.9, NaN, 0.3, 1.0};
    for (const bool avx2 : vector_units()) {
        const Decided decided =
            decide_contiguous(method_named("by"), 2.0, values, std::nullopt, {true, true}, stats, avx2);
        EXPECT_EQ(decided.mask, (std::vector<bool>{true, false, true, true}));
        EXPECT_EQ(decided.mask, literal_mask(method_named("by"), 2.0, values, std::nullopt));
    }
    EXPECT_EQ(stats.literal, 120 + static_cast<long long>(vector_units().size()));
    EXPECT_EQ(stats.fused, 0);
}

TEST(ContiguousFamilies, TheDomainIsCheckedInThePassAsTheOracleDoes) {
    // One bad entry at any place of a family (in vector lanes and tails),
    // NaN under both policies, infinities, on the pass and on the literal route.
    struct Entry {
        double value;
        bool pvalue_ok;
        bool evalue_ok;
    };
    const Entry entries[] = {{-0.0, true, true},
                             {0.0, true, true},
                             {1.0, true, true},
                             {-1e-300, false, false},
                             {std::nextafter(1.0, 2.0), false, true},
                             {inf, false, true},
                             {-inf, false, false},
                             {NaN, true, true}};
    ContiguousStats stats;
    for (const char* name : {"by", "bh", "ebh", "closed_by", "closed_by_approximate", "closed_ebh"}) {
        const Method method = method_named(name);
        const bool pvalues = method.evidence == Evidence::pvalues;
        for (const int n : {1, 5, 1030}) {
            for (const int at : {0, n / 2, n - 1}) {
                for (const Entry& entry : entries) {
                    std::vector<double> values(static_cast<std::size_t>(n), pvalues ? 0.001 : 500.0);
                    values[static_cast<std::size_t>(at)] = entry.value;
                    const bool missing = std::isnan(entry.value);
                    const bool ok = pvalues ? entry.pvalue_ok : entry.evalue_ok;
                    for (const bool allowed : {false, true}) {
                        for (const bool avx2 : vector_units()) {
                            const Decided decided =
                                decide_contiguous(method, 0.05, values, std::nullopt, {true, allowed}, stats, avx2);
                            ASSERT_EQ(decided.in_domain, ok && (allowed || !missing))
                                << name << " n " << n << " at " << at << " value " << entry.value;
                            if (decided.in_domain) {
                                ASSERT_EQ(decided.mask, literal_mask(method, 0.05, values, std::nullopt));
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(stats.fused, 0);
    EXPECT_GT(stats.literal, 0);
    EXPECT_GT(stats.closed_ebh_sorted, 0);
    EXPECT_GT(stats.checked_in_gather, 0);
    EXPECT_EQ(stats.domain_scans, 0);  // each route here checks in a pass it makes anyway
}

TEST(ContiguousFamilies, ClosedByChecksInItsGatherOrFallsBackToAScanWithTheSameResults) {
    // Closed BY checks the domain in the gather of the p-values within the
    // bound where that gather is one pass; a subnormal level (every present
    // value gathered), a total below the entries and a level of 0 take a scan
    // of their own. Both give the literal route's mask, or refuse the same
    // families; a NaN or bad entry sits in every block of the gather in turn.
    std::mt19937 rng(37);
    ContiguousStats stats;
    const std::pair<double, bool> levels[] = {{0.05, true}, {0.003, true}, {0.9, true}, {5e-324, false}, {0.0, false}};
    for (const char* name : {"closed_by", "closed_by_approximate"}) {
        const Method method = method_named(name);
        for (const auto& [alpha, in_gather] : levels) {
            for (const int n : {3, 1024, 2500}) {
                std::vector<double> values = margin_entries(rng, method, n, alpha > 0.0 ? alpha : 0.05, 0.05);
                for (double& v : values) v = std::min(v, 1.0);
                const std::optional<std::int64_t> totals[] = {std::nullopt, n, n + 7};
                for (const std::optional<std::int64_t> total : totals) {
                    const ContiguousStats before = stats;
                    const Decided decided = decide_contiguous(method, alpha, values, total, {true, true}, stats, false);
                    ASSERT_TRUE(decided.in_domain);
                    ASSERT_EQ(decided.mask, literal_mask(method, alpha, values, total)) << name << " alpha " << alpha;
                    EXPECT_EQ(stats.checked_in_gather - before.checked_in_gather, in_gather ? 1 : 0);
                    EXPECT_EQ(stats.domain_scans - before.domain_scans, in_gather ? 0 : 1);
                }
                for (const int at : {0, n / 2, n - 1}) {
                    std::vector<double> bad = values;
                    bad[static_cast<std::size_t>(at)] = at % 2 == 0 ? -0.5 : 1.5;
                    EXPECT_FALSE(
                        decide_contiguous(method, alpha, bad, std::nullopt, {true, true}, stats, false).in_domain);
                    bad[static_cast<std::size_t>(at)] = NaN;
                    EXPECT_FALSE(
                        decide_contiguous(method, alpha, bad, std::nullopt, {true, false}, stats, false).in_domain);
                }
            }
        }
    }
    // The family of a total below its entries (two of them missing) takes the scan.
    const std::vector<double> values{0.001, NaN, 0.002, NaN, 0.9};
    const ContiguousStats before = stats;
    const Decided decided = decide_contiguous(method_named("closed_by"), 0.05, values, 3, {true, true}, stats, false);
    EXPECT_EQ(decided.mask, (std::vector<bool>{true, false, true, false, false}));
    EXPECT_EQ(decided.mask, literal_mask(method_named("closed_by"), 0.05, values, 3));
    EXPECT_EQ(stats.domain_scans - before.domain_scans, 1);
    EXPECT_EQ(stats.checked_in_gather, before.checked_in_gather);
}

// Closed e-BH through decide_closed_ebh_family, in one part or two from
// `two_part_from` entries on.
Decided decide_closed_ebh(const Method& method, double alpha, const std::vector<double>& values,
                          std::optional<std::int64_t> total, DomainCheck domain, int threads,
                          std::int64_t two_part_from) {
    std::unique_ptr<bool[]> out(new bool[values.size() + 1]);
    const bool in_domain =
        decide_closed_ebh_family(method, alpha, static_cast<std::int64_t>(values.size()), total, values.data(),
                                 out.get(), domain, threads, nullptr, StdSortInSteps{}, two_part_from);
    if (!in_domain) return {false, {}};
    return {true, std::vector<bool>(out.get(), out.get() + values.size())};
}

TEST(ContiguousFamilies, ClosedEbhSortedInTwoPartsGivesTheLiteralMasks) {
    // Margin e-values with ties, NaN, zeros of both signs and infinities;
    // default, exact and larger totals; levels that reject none, some, all;
    // one part and two (the halves then differ in length when NaN fall
    // unevenly), against the literal route.
    std::mt19937 rng(41);
    const double alphas[] = {0.05, 0.2, 0.01, 0.9};
    int partial = 0;
    for (int round = 0; round < 160; ++round) {
        const Method method = method_named(round % 2 == 0 ? "closed_ebh" : "closed_ebh_approximate");
        const double alpha = alphas[(round / 2) % 4];
        const int n = 1 + (round * 53) % 900;
        std::vector<double> values = margin_entries(rng, method, n, alpha, round % 3 == 0 ? 0.2 : 0.0);
        for (std::size_t j = 0; j < values.size(); j += 7) {
            values[j] = round % 4 == 1 ? -0.0 : (round % 4 == 2 ? inf : 0.0);
        }
        const std::optional<std::int64_t> totals[] = {std::nullopt, n, n + 40};
        for (const std::optional<std::int64_t> total : totals) {
            const std::vector<bool> expected = literal_mask(method, alpha, values, total);
            for (const int threads : {1, 2}) {
                const Decided decided = decide_closed_ebh(method, alpha, values, total, {true, true}, threads, 2);
                ASSERT_TRUE(decided.in_domain);
                ASSERT_EQ(decided.mask, expected) << "round " << round << " threads " << threads;
            }
            const auto rejected = std::count(expected.begin(), expected.end(), true);
            partial += rejected > 0 && rejected < n ? 1 : 0;
        }
    }
    EXPECT_GT(partial, 150);
}

TEST(ContiguousFamilies, ClosedEbhRefusesABadEntryInEitherHalfAndCountsItsRoutes) {
    ContiguousStats stats;
    const Method method = method_named("closed_ebh");
    for (const int n : {2, 9, 1031}) {
        for (const int at : {0, n / 2 - 1, n / 2, n - 1}) {
            std::vector<double> values(static_cast<std::size_t>(n), 30.0);
            values[static_cast<std::size_t>(at)] = -1e-300;
            for (const int threads : {1, 2}) {
                EXPECT_FALSE(decide_closed_ebh(method, 0.05, values, std::nullopt, {true, true}, threads, 2).in_domain);
            }
            values[static_cast<std::size_t>(at)] = NaN;
            EXPECT_FALSE(decide_closed_ebh(method, 0.05, values, std::nullopt, {true, false}, 2, 2).in_domain);
            const Decided omitted = decide_closed_ebh(method, 0.05, values, std::nullopt, {true, true}, 2, 2);
            EXPECT_EQ(omitted.mask, literal_mask(method, 0.05, values, std::nullopt));
        }
    }
    // From TWO_PART_VALUES entries on, two threads sort in two parts; a total
    // below the entries takes the literal route.
    std::vector<double> large(static_cast<std::size_t>(TWO_PART_VALUES), 1.0);
    large[5] = 1e9;
    for (const int threads : {1, 2}) {
        const Decided decided = decide_contiguous(method, 0.05, large, std::nullopt, {}, stats, false);
        EXPECT_EQ(decided.mask, literal_mask(method, 0.05, large, std::nullopt));
        ContiguousScratch scratch;
        std::unique_ptr<bool[]> out(new bool[large.size()]);
        decide_contiguous_family(method, 0.05, TWO_PART_VALUES, std::nullopt, large.data(), out.get(), {}, scratch,
                                 nullptr, StdSortInSteps{}, &stats, false, threads);
        EXPECT_TRUE(out[5]);
    }
    EXPECT_EQ(stats.closed_ebh_sorted, 4);
    EXPECT_EQ(stats.closed_ebh_two_parts, 1);
    const std::vector<double> values{40.0, NaN, 50.0, NaN, 0.5};
    const Decided decided = decide_contiguous(method, 0.1, values, 3, {true, true}, stats, false);
    EXPECT_EQ(decided.mask, literal_mask(method, 0.1, values, 3));
    EXPECT_EQ(stats.literal, 1);
}

TEST(ContiguousFamilies, AStopRequestEndsClosedEbhOnBothThreads) {
    const std::vector<double> values(5000, 30.0);
    std::vector<char> out(values.size());
    CancelFlag stop{true};
    for (const int threads : {1, 2}) {
        EXPECT_THROW(
            decide_closed_ebh_family(method_named("closed_ebh"), 0.05, 5000, std::nullopt, values.data(),
                                     reinterpret_cast<bool*>(out.data()), {}, threads, &stop, StdSortInSteps{}, 2),
            SearchCancelled);
    }
}

TEST(ContiguousFamilies, AStopRequestEndsThePass) {
    const std::vector<double> values(3000, 0.01);
    ContiguousScratch scratch;
    std::vector<char> out(values.size());
    CancelFlag stop{true};
    EXPECT_THROW(decide_contiguous_family(method_named("by"), 0.05, 3000, std::nullopt, values.data(),
                                          reinterpret_cast<bool*>(out.data()), {}, scratch, &stop, StdSortInSteps{}),
                 SearchCancelled);
}

}  // namespace
