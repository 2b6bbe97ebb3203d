// Families of more than 2^31 - 1 hypotheses: the rounded harmonic numbers,
// the table that mixes summed and rounded ones, and the closed searches on
// truncated lists whose omitted part no vector could hold.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "closed_by/bounds.hpp"
#include "closed_by/closed_by.hpp"
#include "closed_by/fast_search.hpp"
#include "closed_by/harmonic_table.hpp"
#include "closed_by/rounded_harmonic.hpp"
#include "closed_by/size_decider.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "closed_ebh/fast_search.hpp"

namespace {

using tarvimo::closed_by::HarmonicTable;
using tarvimo::closed_by::LAST_SUMMED_HARMONIC;
using tarvimo::closed_by::rounded_harmonic;

constexpr std::int64_t WIDE = LAST_SUMMED_HARMONIC + 1;
constexpr std::int64_t LARGEST = 1000000000000;

std::vector<std::int64_t> spread_totals(std::mt19937_64& rng, int count) {
    std::vector<std::int64_t> totals{WIDE, WIDE + 1, LARGEST - 1, LARGEST, std::int64_t{1} << 35};
    std::uniform_real_distribution<double> exponent(std::log(static_cast<double>(WIDE)),
                                                    std::log(static_cast<double>(LARGEST)));
    while (static_cast<int>(totals.size()) < count) {
        totals.push_back(static_cast<std::int64_t>(std::exp(exponent(rng))));
    }
    return totals;
}

// The 64-bit evaluation and the 113-bit one name the same double wherever
// the first decides, and the first leaves about one m in 340 to the second.
TEST(RoundedHarmonic, BothPrecisionsAgreeAndTheFallbackIsRare) {
    std::mt19937_64 rng(20261209);
    int fallbacks = 0;
    const std::vector<std::int64_t> totals = spread_totals(rng, 20000);
    for (const std::int64_t m : totals) {
        const auto quick = rounded_harmonic(m);
        const auto wide = rounded_harmonic(m, true);
        ASSERT_TRUE(wide.extended);
        ASSERT_EQ(quick.value, wide.value) << "m = " << m;
        fallbacks += quick.extended ? 1 : 0;
    }
    EXPECT_GT(fallbacks, 0);
    EXPECT_LT(fallbacks, static_cast<int>(totals.size()) / 100);
}

// Against ln m + gamma + 1/(2m) in double, which lies within a few ulps.
TEST(RoundedHarmonic, CloseToTheExpansionInDoubleAndIncreasing) {
    constexpr double gamma = 0.57721566490153286;
    std::mt19937_64 rng(7);
    for (const std::int64_t m : spread_totals(rng, 2000)) {
        const double value = rounded_harmonic(m).value;
        const double rough = std::log(static_cast<double>(m)) + gamma + 0.5 / static_cast<double>(m);
        EXPECT_NEAR(value, rough, 8 * std::ldexp(1.0, -48)) << "m = " << m;
        if (m < LARGEST) {
            EXPECT_LE(value, rounded_harmonic(m + 1).value) << "m = " << m;
        }
    }
}

TEST(RoundedHarmonic, RefusesWhatItDoesNotCover) {
    EXPECT_THROW(rounded_harmonic(LAST_SUMMED_HARMONIC), std::domain_error);
    EXPECT_THROW(rounded_harmonic(0), std::domain_error);
    EXPECT_THROW(rounded_harmonic((std::int64_t{1} << 45) + 1), std::domain_error);
    EXPECT_NO_THROW(rounded_harmonic(std::int64_t{1} << 45));
}

// The table holds the summed numbers up to 2^31 - 1 and the rounded ones
// above, and resumes both below its dense part.
TEST(HarmonicTable, SummedBelowTheBoundaryRoundedAbove) {
    const std::int64_t m = WIDE + 40;
    const HarmonicTable table(m, LAST_SUMMED_HARMONIC - 20, nullptr);
    EXPECT_EQ(table(LAST_SUMMED_HARMONIC), tarvimo::closed_by::harmonic_number(LAST_SUMMED_HARMONIC));
    EXPECT_EQ(table(LAST_SUMMED_HARMONIC - 20), tarvimo::closed_by::harmonic_number(LAST_SUMMED_HARMONIC - 20));
    for (std::int64_t s = WIDE; s <= m; ++s) {
        EXPECT_EQ(table(s), rounded_harmonic(s).value) << "s = " << s;
    }
    EXPECT_EQ(table(1000), tarvimo::closed_by::harmonic_number(1000));
    const HarmonicTable far(LARGEST, LARGEST - 5, nullptr);
    EXPECT_EQ(far(LARGEST - 100), rounded_harmonic(LARGEST - 100).value);  // resumed below the dense part
    EXPECT_EQ(far(LARGEST), rounded_harmonic(LARGEST).value);
    // The definition changes at the boundary: the sum of 2^31 - 1 terms lies
    // about 1.15e-12 (some 320 ulps) below the true H, the rounded H right on it.
    const double summed = tarvimo::closed_by::harmonic_number(LAST_SUMMED_HARMONIC);
    const double jump = (rounded_harmonic(WIDE).value - summed) - 1.0 / static_cast<double>(WIDE);
    EXPECT_GT(jump, 1.0e-12);
    EXPECT_LT(jump, 1.3e-12);
}

// The penalty counts of closed e-BH: the 64-bit product below 2^31 and the
// 128-bit one agree wherever both are exact, and the wide one is exact beyond.
TEST(WideFamilies, PairCountsRoundTheExactProductOnce) {
    using tarvimo::closed_ebh::pair_count;
    __extension__ using Wide = __int128;
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100000; ++i) {
        const std::int64_t i_in = 1 + static_cast<std::int64_t>(rng() % (i % 2 == 0 ? 2147483647 : LARGEST));
        const std::int64_t i_out = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(LARGEST - i_in + 1));
        const Wide exact = static_cast<Wide>(i_in) * (i_in + i_out);
        ASSERT_EQ(pair_count(i_in, i_out), static_cast<double>(exact)) << i_in << " " << i_out;
        if (i_in + i_out <= 2147483647) {
            ASSERT_EQ(pair_count(i_in, i_out), static_cast<double>(i_in * (i_in + i_out)));
        }
    }
    EXPECT_EQ(pair_count(LARGEST, 0), 1e24);
}

TEST(WideFamilies, RefusedBeyondTheLargestTotal) {
    const std::vector<double> p{0.001};
    EXPECT_THROW(tarvimo::closed_by::by_count(p.data(), 1, LARGEST + 1, 0.05), std::invalid_argument);
    EXPECT_THROW(tarvimo::closed_by::closed_by_count(p.data(), 1, LARGEST + 1, 0.05, false, nullptr),
                 std::invalid_argument);
    EXPECT_THROW(tarvimo::closed_ebh::closed_ebh_count(p.data(), 1, LARGEST + 1, 0.05, false, nullptr),
                 std::invalid_argument);
}

// Strong signals in a family of 10^12: BY's line p m H_m / k; closed BY and
// closed e-BH reject at least as many, never an omitted hypothesis, without
// touching anything of the size of m.
TEST(WideFamilies, ClosedSearchesOnHugeTruncatedLists) {
    std::mt19937_64 rng(11);
    for (const std::int64_t m : {WIDE, std::int64_t{5} * WIDE, LARGEST}) {
        for (int round = 0; round < 20; ++round) {
            const int n = 1 + static_cast<int>(rng() % 200);
            std::vector<double> p(static_cast<std::size_t>(n));
            std::uniform_real_distribution<double> log_p(std::log(1e-18), std::log(1e-9));
            for (double& v : p) {
                v = std::exp(log_p(rng));
            }
            std::sort(p.begin(), p.end(), std::greater<>());
            const auto started = std::chrono::steady_clock::now();
            for (const double alpha : {0.01, 0.05, 0.2}) {
                const std::int64_t by = tarvimo::closed_by::by_count(p.data(), n, m, alpha);
                tarvimo::closed_by::CertifiedCbyStats stats;
                const std::int64_t closed =
                    tarvimo::closed_by::certified_closed_by_count(p.data(), n, m, alpha, false, nullptr, &stats);
                const std::int64_t approximate =
                    tarvimo::closed_by::certified_closed_by_count(p.data(), n, m, alpha, true, nullptr);
                EXPECT_EQ(stats.literal_runs, 0);
                EXPECT_LE(closed, n) << "m = " << m << ", alpha = " << alpha;
                EXPECT_LE(approximate, closed);
                EXPECT_GE(approximate, by);
                // BY's count from its definition, H_m the rounded double.
                const double factor = static_cast<double>(m) * rounded_harmonic(m).value;
                std::int64_t expected = 0;
                for (int k = n; k >= 1 && expected == 0; --k) {
                    if (((p[static_cast<std::size_t>(n - k)] * factor) / static_cast<double>(k)) - alpha <= 1e-10) {
                        expected = k;
                    }
                }
                EXPECT_EQ(by, expected);
                // e-values 1 / p: closed e-BH at least e-BH, never beyond the given ones.
                std::vector<double> e(p.size());
                for (std::size_t i = 0; i < p.size(); ++i) {
                    e[i] = 1.0 / p[i];
                }
                const std::int64_t ebh = tarvimo::closed_ebh::ebh_count(e.data(), n, m, alpha);
                const std::int64_t closed_e =
                    tarvimo::closed_ebh::closed_ebh_count(e.data(), n, m, alpha, false, nullptr);
                EXPECT_GE(closed_e, ebh);
                EXPECT_LE(closed_e, n);
            }
            // Nothing runs over m: at 10^12 a few milliseconds, however loaded the machine. (Near 2^31
            // the first search of a process sums the harmonic checkpoints up to the root size m / 2.)
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            if (m == LARGEST) {
                EXPECT_LT(seconds, 5.0) << "n = " << n;
            }
        }
    }
}

// Sizes near m in a family of 10^12 given in part, at levels a millionth
// off the crossing of their first overlap (where the level searches look),
// and a few ulps off it, where rounding decides.
// The omitted values are cut off, so each size's sums hold at most the given
// values' terms: the certificates decide nearly every size, singly and in
// ranges, with the literal steps' verdict. Allowing for roundings of s
// terms, about 5e-4 relative at s = 10^12, had left these to the literal
// steps.
TEST(WideFamilies, CertificatesDecideTightSizesNearTheFamilySize) {
    using namespace tarvimo::closed_by;
    std::mt19937_64 rng(5);
    const std::int64_t m = LARGEST;
    const int n = 2000;
    std::vector<double> p(static_cast<std::size_t>(n));
    std::uniform_real_distribution<double> log_p(std::log(1e-18), std::log(1e-11));
    for (double& v : p) {
        v = std::exp(log_p(rng));
    }
    std::sort(p.begin(), p.end(), std::greater<>());
    const PFamily family{p.data(), n, m - n, m};
    const HarmonicTable table(m, m - 4096, nullptr);
    const double factor = static_cast<double>(m) * table(m);
    std::unique_ptr<ReciprocalSums> sums;
    long long certified = 0;
    long long uncertain = 0;
    long long sizes_seen = 0;
    long long ranges = 0;
    for (int r = n; r >= 1; r -= 37) {
        const double crossing = p[static_cast<std::size_t>(n - r)] * factor / r;
        for (const double off : {-1e-6, -4e-16, 4e-16, 1e-6}) {
            const double alpha = crossing * (1.0 + off);
            if (!(alpha < 0.9)) {
                continue;
            }
            CertifiedCbyStats stats;
            SizeDecider decider(family, table, alpha, stats);
            const CountSizes sizes(family, table, alpha, r, &sums);
            for (int i = 0; i < 10; ++i) {
                const std::int64_t s = m - static_cast<std::int64_t>(rng() % 2000);
                const SizeSetup z = sizes.setup(s);
                const SizeVerdict literal = sizes.literal(z, UNLIMITED, nullptr);
                if (decider.bound_passes(sizes, s) || literal == SizeVerdict::stale) {
                    continue;
                }
                sizes_seen += std::abs(off) > 1e-9 ? 1 : 0;
                std::int64_t argmin = -1;
                const SizeVerdict verdict =
                    decider.decide(sizes, z, sizes.cut_index(z.Hs, family.pad - 1), &argmin, true, false);
                if (verdict == SizeVerdict::uncertain) {
                    uncertain += std::abs(off) > 1e-9 ? 1 : 0;
                } else {
                    ASSERT_EQ(verdict, literal) << "r = " << r << ", s = " << s << ", alpha = " << alpha;
                }
            }
            certified += stats.sizes_certified;
            // A range of sizes ending at m, certified only if each passes.
            const std::int64_t s1 = m - 1 - static_cast<std::int64_t>(rng() % 1000);
            const SizeSetup z1 = sizes.setup(s1);
            const SizeSetup z2 = sizes.setup(m);
            std::int64_t argmin = -1;
            if (sizes.certify_block(z1, sizes.cut_index(z1.Hs, family.pad - 1), z2,
                                    sizes.cut_index(z2.Hs, family.pad - 1), &argmin)) {
                ++ranges;
                for (const std::int64_t s : {s1, (s1 + m) / 2, m}) {
                    ASSERT_EQ(sizes.literal(sizes.setup(s), UNLIMITED, nullptr), SizeVerdict::pass)
                        << "r = " << r << ", s = " << s << ", alpha = " << alpha;
                }
            }
        }
    }
    EXPECT_GT(sizes_seen, 200);
    EXPECT_GT(certified, sizes_seen / 2);
    EXPECT_LT(uncertain, sizes_seen / 20);
    EXPECT_GT(ranges, 10);
}

// Bounds on the summed H_s hold it and are narrow enough to decide the bound
// test away from where it turns; there the test reads the summed H_s.
TEST(HarmonicTable, BoundsDecideTheBoundTestAsTheSummedNumbers) {
    using namespace tarvimo::closed_by;
    std::mt19937_64 rng(17);
    std::vector<std::int64_t> sizes{BOUNDED_HARMONIC_FROM, BOUNDED_HARMONIC_FROM + 1, (std::int64_t{1} << 26) - 1};
    while (sizes.size() < 40) {
        sizes.push_back(BOUNDED_HARMONIC_FROM + static_cast<std::int64_t>(rng() % (std::int64_t{63} << 20)));
    }
    const HarmonicTable table(LARGEST, LARGEST - 4096, nullptr);
    std::unique_ptr<ReciprocalSums> sums;
    const double alpha = 0.05;
    CertifiedCbyStats stats;
    for (const std::int64_t s : sizes) {
        const double h = harmonic_number(s);
        const HarmonicBounds bounds = summed_harmonic_bounds(s);
        ASSERT_LE(bounds.lo, h) << "s = " << s;
        ASSERT_GE(bounds.hi, h) << "s = " << s;
        EXPECT_LT(bounds.hi - bounds.lo, 1e-6 * h);
        ASSERT_TRUE(table.resumes(s));
        // One given value p, the candidate set of count 1, on and around the
        // p at which p s H_s <= alpha turns, and far from it.
        const double turn = alpha / (static_cast<double>(s) * h);
        std::vector<double> values{turn * 0.5, turn * 0.999, turn * 1.001, turn * 2.0, turn};
        double below = turn;
        double above = turn;
        for (int k = 0; k < 3; ++k) {
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, 1.0);
            values.insert(values.end(), {below, above});
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            double p = values[i];
            const PFamily family{&p, 1, LARGEST - 1, LARGEST};
            const CountSizes count(family, table, alpha, 1, &sums);
            const SizeDecider decider(family, table, alpha, stats);
            const long long undecided = stats.bounds_undecided;
            EXPECT_EQ(decider.bound_passes(count, s), p * (static_cast<double>(s) * h) <= alpha)
                << "s = " << s << ", p = " << p;
            if (i < 4) {
                EXPECT_EQ(stats.bounds_undecided, undecided) << "s = " << s << ", p = " << p;
            }
        }
    }
    EXPECT_GT(stats.bounds_undecided, 0);  // the tight ones read the summed H_s
}

}  // namespace
