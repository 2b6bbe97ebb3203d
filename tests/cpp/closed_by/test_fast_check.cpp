// The certified closed BY routines against the literal ones: res and at_s of
// every check, both searches, and families given in part, on random and
// crafted inputs (p-values on the BY e-value band edges k alpha / (s H_s)
// and one ulp or a tolerance off them, on the cut-off alpha / H_s, ties,
// zeros, ones, tiny alphas, realistic mixtures). The tunings force every
// route of the engine on small inputs. TARVIMO_CBY_ROUNDS scales the run.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "closed_by/bounds.hpp"
#include "closed_by/cBY.hpp"
#include "closed_by/closed_by.hpp"
#include "closed_by/fast_check.hpp"
#include "closed_by/fast_search.hpp"
#include "closed_by/harmonic_table.hpp"
#include "closed_by/reciprocal_sums.hpp"
#include "closed_by/size_decider.hpp"
#include "common/padded_values.hpp"

using namespace tarvimo::closed_by;
using namespace tarvimo::common;

namespace {

// Every route: the defaults; certificates for every size and a sweep after
// the first size, with and without range certificates and the lane; no
// sweep at all; a little of each, with harmonic checkpoints below the given
// values of any padded family; a sweep whose first range is wide.
const std::vector<CertifiedCbyTuning> TUNINGS{CertifiedCbyTuning{},
                                              CertifiedCbyTuning{0, 1, true, true},
                                              CertifiedCbyTuning{0, 1, false, false},
                                              CertifiedCbyTuning{0, 1 << 30, false, true},
                                              CertifiedCbyTuning{8, 3, true, true, 0},
                                              CertifiedCbyTuning{0, 1, true, true, 0, 16}};

int rounds(int base) {
    const char* scale = std::getenv("TARVIMO_CBY_ROUNDS");
    return scale == nullptr ? base : base * std::max(1, std::atoi(scale));
}

std::vector<double> largest_first(std::vector<double> p) {
    std::sort(p.begin(), p.end(), std::greater<>());
    return p;
}

// P-values of one kind, in any order, each in [0, 1].
std::vector<double> crafted_pvalues(std::mt19937_64& rng, int m, double alpha) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const std::vector<double> h = harmonic_numbers_cpp(m);
    const auto size = [&] { return 1 + static_cast<int>(rng() % static_cast<unsigned>(m)); };
    const auto nudge = [&](double x) {
        switch (rng() % 6) {
            case 0:
                return std::nextafter(x, 2.0);
            case 1:
                return std::nextafter(x, 0.0);
            case 2:
                return x + TOLERANCE;
            case 3:
                return x - TOLERANCE;
            case 4:
                return x * (1.0 + 1e-10);
            default:
                return x;
        }
    };
    std::vector<double> p(static_cast<std::size_t>(m));
    const int kind = static_cast<int>(rng() % 6);
    const int tied_size = size();
    for (double& x : p) {
        const int s = kind == 3 ? tied_size : size();
        switch (kind) {
            case 0:  // band edges k alpha / (s H_s) of the e-values
            case 3: {
                const int k = 1 + static_cast<int>(rng() % static_cast<unsigned>(s));
                x = nudge(k * alpha / (s * h[s]));
                break;
            }
            case 1:  // the cut-off alpha / H_s, or a null
                x = uniform(rng) < 0.25 ? uniform(rng) : nudge(alpha / h[s]);
                break;
            case 2:  // realistic: nulls uniform, signals near 0
                x = uniform(rng) < 0.8 ? uniform(rng) : std::pow(uniform(rng), 6.0) * 0.1;
                break;
            case 4:  // zeros, ones and a few distinct values
                x = std::vector<double>{0.0, 1.0, alpha / m, alpha, 2 * alpha / h[m]}[rng() % 5];
                break;
            default:  // the BY line times a factor
                x = nudge((1.0 + 0.5 * uniform(rng)) * size() * alpha / (m * h[m]));
                break;
        }
        x = std::clamp(x, 0.0, 1.0);
    }
    return p;
}

double random_alpha(std::mt19937_64& rng) {
    const std::vector<double> alphas{0.05, 0.1, 0.01, 0.2, 0.5, 0.9, 1e-3, 1e-6, 3e-7, 1e-9};
    return alphas[rng() % alphas.size()];
}

::testing::AssertionResult same_check(const std::vector<double>& p, int r, int warm_s, double alpha,
                                      const CertifiedCbyTuning& tuning, CertifiedCbyStats* stats) {
    const std::vector<double> h = harmonic_numbers_cpp(static_cast<int>(p.size()));
    const cBYCheckResult literal = cBY_check_cpp(p, r, h, warm_s, alpha);
    const cBYCheckResult fast = certified_cby_check(p, r, h, warm_s, alpha, stats, tuning);
    if (literal.res == fast.res && literal.at_s == fast.at_s) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "m = " << p.size() << ", r = " << r << ", warm_s = " << warm_s
                                         << ", alpha = " << alpha << ": literal {" << literal.res << ", "
                                         << literal.at_s << "}, certified {" << fast.res << ", " << fast.at_s << "}";
}

::testing::AssertionResult same_searches(const std::vector<double>& given, int total, double alpha,
                                         const CertifiedCbyTuning& tuning, CertifiedCbyStats* stats) {
    const int n = static_cast<int>(given.size());
    const std::vector<double> padded = padded_values(given.data(), n, total, 1.0);
    for (const bool approximate : {false, true}) {
        const int literal = approximate ? largestcBYsignificant_approximate_cpp(padded, alpha)
                                        : largestcBYsignificant_cpp(padded, alpha);
        const int fast = certified_closed_by_count(given.data(), n, total, alpha, approximate, nullptr, stats, tuning);
        if (literal != fast) {
            return ::testing::AssertionFailure()
                   << "n = " << n << ", total = " << total << ", alpha = " << alpha << ", approximate = " << approximate
                   << ": literal " << literal << ", certified " << fast;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(CertifiedCheck, EveryCountAndWarmStartAsTheLiteralCheck) {
    std::mt19937_64 rng(20240611);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(400); ++round) {
        const int m = 1 + static_cast<int>(rng() % 80);
        const double alpha = random_alpha(rng);
        const std::vector<double> p = sanitize_pvalues_cpp(largest_first(crafted_pvalues(rng, m, alpha)));
        const CertifiedCbyTuning& tuning = TUNINGS[round % TUNINGS.size()];
        for (int r = 0; r <= m; ++r) {
            for (const int warm_s : {0, 1, m / 2, m, static_cast<int>(rng() % (m + 1))}) {
                ASSERT_TRUE(same_check(p, r, warm_s, alpha, tuning, &stats));
            }
        }
    }
    // Each route ran.
    EXPECT_GT(stats.sizes_literal, 0);
    EXPECT_GT(stats.sizes_certified, 10000);
    EXPECT_GT(stats.blocks_certified, 100);
    EXPECT_GT(stats.sweeps, 100);
    EXPECT_GT(stats.fallbacks, 10);
}

TEST(CertifiedCheck, LargerInputsAtSampledCounts) {
    std::mt19937_64 rng(7);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(30); ++round) {
        const int m = 300 + static_cast<int>(rng() % 1500);
        const double alpha = random_alpha(rng);
        const std::vector<double> p = sanitize_pvalues_cpp(largest_first(crafted_pvalues(rng, m, alpha)));
        for (int sample = 0; sample < 20; ++sample) {
            const int r = 1 + static_cast<int>(rng() % m);
            const int warm_s = sample % 2 == 0 ? 0 : 1 + static_cast<int>(rng() % m);
            ASSERT_TRUE(same_check(p, r, warm_s, alpha, TUNINGS[sample % TUNINGS.size()], &stats));
        }
        ASSERT_TRUE(same_searches(p, m, alpha, TUNINGS[round % TUNINGS.size()], &stats));
    }
}

TEST(CertifiedSearches, BothSearchesAsTheLiteralOnes) {
    std::mt19937_64 rng(11);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(600); ++round) {
        const int m = static_cast<int>(rng() % 120);
        const double alpha = random_alpha(rng);
        const std::vector<double> p = largest_first(crafted_pvalues(rng, std::max(m, 1), alpha));
        ASSERT_TRUE(same_searches(std::vector<double>(p.begin(), p.begin() + m), m, alpha,
                                  TUNINGS[round % TUNINGS.size()], &stats));
    }
    EXPECT_GT(stats.lane_counts, 1000);
}

// Zeros among values below 1e-12: replaced by 1e-12 the zeros break the
// order, which left every search to the literal routine (6 s for 10^6
// p-values at 0.05, 33 s approximate). Where m H_m / alpha <= 0.8e12 the
// smallest value stands in for them and the certified searches run; at
// smaller alphas 1e-12 stays and the literal routine decides. Both as the
// literal searches, with 1e-12 for the zeros.
TEST(CertifiedSearches, ZerosAmongTinyValuesAsTheLiteralSearches) {
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    CertifiedCbyStats stood_in;
    CertifiedCbyStats kept;
    for (int round = 0; round < rounds(300); ++round) {
        const int n = 2 + static_cast<int>(rng() % 150);
        const int total = n + (round % 3 == 0 ? static_cast<int>(rng() % 20) : 0);
        const double alpha = std::vector<double>{0.05, 0.3, 1e-3, 1e-8, 1e-11}[round % 5];
        std::vector<double> p = crafted_pvalues(rng, n, std::max(alpha, 1e-3));
        const int zeros = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < n; ++i) {
            const double draw = uniform(rng);
            if (i < zeros) {
                p[static_cast<std::size_t>(i)] = 0.0;
            } else if (draw < 0.1) {
                p[static_cast<std::size_t>(i)] = std::pow(10.0, -300.0 + 288.0 * uniform(rng));
            }
        }
        p = largest_first(p);
        const double factor = static_cast<double>(total) * harmonic_numbers_cpp(total)[static_cast<std::size_t>(total)];
        CertifiedCbyStats& stats = factor * (1.0 / alpha) <= 0.8e12 ? stood_in : kept;
        ASSERT_TRUE(same_searches(p, total, alpha, TUNINGS[round % TUNINGS.size()], &stats)) << round;
    }
    EXPECT_EQ(stood_in.literal_runs, 0);
    EXPECT_GT(kept.literal_runs, 0);
}

// The shapes that made the literal searches slow, where certificates,
// ranges of sizes and exact sums carry the load: the BY line k alpha /
// (m H_m) times a factor, with noise or in ties, bent upward past a knee,
// in blocks, and realistic mixtures.
std::vector<double> structured_pvalues(int shape, int m, double alpha, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const double h = harmonic_numbers_cpp(m)[m];
    std::vector<double> p(static_cast<std::size_t>(m));
    for (int k = 1; k <= m; ++k) {
        const double line = k * alpha / (m * h);
        double x = 0.0;
        switch (shape) {
            case 0:
                x = 1.1 * line;
                break;
            case 1:
                x = 2.0 * line;
                break;
            case 2:
                x = 0.7 * line * std::exp(1.1 * normal(rng));
                break;
            case 3:
                x = 2.0 * line * std::max(1.0, k / (0.5 * m));
                break;
            case 4:
                x = (k / std::max(1, m / 100)) % 2 == 0 ? 1.04 * line : 1.0;
                break;
            case 5:
                x = ((k + 9) / 10 * 10) * alpha / (m * h);
                break;
            default:
                x = uniform(rng) < 0.15 ? std::pow(uniform(rng), 5.0) * 0.01 : uniform(rng);
                break;
        }
        p[k - 1] = std::min(1.0, x);
    }
    return largest_first(p);
}

TEST(CertifiedSearches, StructuredPatternsAsTheLiteralSearchesAndChecks) {
    std::mt19937_64 rng(29);
    CertifiedCbyStats stats;
    for (const int m : {1000, 3000}) {
        for (int shape = 0; shape <= 6; ++shape) {
            const std::vector<double> p = structured_pvalues(shape, m, 0.05, rng);
            ASSERT_TRUE(same_searches(p, m, 0.05, CertifiedCbyTuning{}, &stats)) << "shape " << shape;
            const int found = largestcBYsignificant_cpp(p, 0.05);
            for (const int r : {found, found + 1, std::max(1, found - 1), m, m / 3}) {
                if (r >= 1 && r <= m) {
                    for (const int warm_s : {0, m / 4, m - 1}) {
                        ASSERT_TRUE(same_check(p, r, warm_s, 0.05, TUNINGS[(r + warm_s) % TUNINGS.size()], &stats))
                            << "shape " << shape;
                    }
                }
            }
        }
    }
    EXPECT_GT(stats.exact_sums, 0);
    EXPECT_GT(stats.blocks_certified, 10);
}

// Families given in part: the omitted hypotheses count as p = 1 before the
// given ones, bound for bound as the explicitly padded vector.
TEST(CertifiedSearches, FamiliesGivenInPartAsTheirPaddedVector) {
    std::mt19937_64 rng(13);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(500); ++round) {
        const int n = static_cast<int>(rng() % (round % 10 == 0 ? 400 : 60));
        const int total = n + static_cast<int>(rng() % (round % 7 == 0 ? 20000 : 3 * n + 5));
        const double alpha = random_alpha(rng);
        std::vector<double> given = largest_first(crafted_pvalues(rng, std::max(n, 1), alpha));
        given.resize(static_cast<std::size_t>(n));
        ASSERT_TRUE(same_searches(given, total, alpha, TUNINGS[round % TUNINGS.size()], &stats));
        const std::vector<double> padded = padded_values(given.data(), n, total, 1.0);
        ASSERT_EQ(by_count(given.data(), n, total, alpha), BY_cpp(padded, harmonic_numbers_cpp(total), alpha))
            << "n = " << n << ", total = " << total << ", alpha = " << alpha;
    }
    EXPECT_GT(stats.skipped_counts, 1000);
    EXPECT_GT(stats.lane_single, 0);  // counts holding omitted values, which the lane tests one at a time
}

// The lane's test of a block of counts against its test of one count, on
// every count of the given values at random warm sizes: crafted values on
// the e-value band edges, the cut-off and ties (and a tolerance or an ulp
// off them), with and without omitted values, at every alpha of the tests.
TEST(WarmSizeLane, BlocksSettleAsCountsOneByOne) {
    std::mt19937_64 rng(29);
    long long settled = 0;
    long long unsettled = 0;
    constexpr int largest = 300;
    for (int round = 0; round < rounds(300); ++round) {
        const int n = 1 + static_cast<int>(rng() % largest);
        const std::int64_t total = n + (round % 3 == 0 ? 0 : static_cast<std::int64_t>(rng() % (4 * n)));
        const double alpha = random_alpha(rng);
        std::vector<double> given = largest_first(crafted_pvalues(rng, n, alpha));
        const PFamily family{given.data(), n, total - n, total};
        const HarmonicTable harmonic(total, 0, nullptr);
        for (int trial = 0; trial < 8; ++trial) {
            const std::int64_t s = 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(total));
            // A few counts r whose first candidate p lies on the edge p s H_s = min(s, r) alpha.
            for (int edge = 0; edge < 4; ++edge) {
                const std::int64_t r = 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n));
                const double factor = static_cast<double>(s) * harmonic(s);
                const double limit = static_cast<double>(std::min(s, r)) * alpha;
                double p = limit / factor;
                for (int step = 0; step < 4 && p * factor != limit; ++step) {
                    p = std::nextafter(p, p * factor < limit ? 2.0 : 0.0);
                }
                given[static_cast<std::size_t>(n - r)] = p;
            }
            const WarmSizeLane lane(family, harmonic, alpha, s);
            bool block[largest];
            const int top = 1 + static_cast<int>(rng() % static_cast<unsigned>(n));
            lane.settles_block(top, top, block);
            for (int i = 0; i < top; ++i) {
                ASSERT_EQ(block[i], lane.settles(top - i))
                    << "n = " << n << ", total = " << total << ", alpha = " << alpha << ", s = " << s
                    << ", r = " << top - i;
                ++(block[i] ? settled : unsettled);
            }
        }
    }
    EXPECT_GT(settled, 10000);
    EXPECT_GT(unsettled, 10000);
}

// One given p-value whose e-value at the last size equals the threshold to
// the last bit: at alpha = 1e-7 the tolerance vanishes in rounding, and the
// count passes only because the test is >=. The last size sees only omitted
// values outside.
TEST(CertifiedSearches, AFamilyGivenInPartPassesOnATie) {
    const double alpha = 1e-7;
    const int total = 10;
    const double factor = total * harmonic_numbers_cpp(total)[total];
    double p = alpha / factor;
    while (!(p * factor > alpha)) {
        p = std::nextafter(p, 1.0);  // the bound test fails at the last size, by a hair
    }
    ASSERT_EQ(stable_ceiling_cpp(p * (factor * (1.0 / alpha))), 1.0);
    ASSERT_EQ(largestcBYsignificant_cpp(padded_values(&p, 1, total, 1.0), alpha), 1);
    for (const bool approximate : {false, true}) {
        EXPECT_EQ(closed_by_count(&p, 1, total, alpha, approximate, nullptr), 1);
    }
}

// Count 2 of (1, p, tiny) at alpha = 1e-7 passes at its warm size 2, where
// count 3 failed, only by a tie: p's e-value invalpha / 2 equals the
// threshold to the last bit. The outside value 1 is cut off there, so the
// search settles count 2 without a full check, and must not fail it.
TEST(CertifiedSearches, ASettledCountPassesOnATie) {
    const double alpha = 1e-7;
    double p = 2.0 * alpha / 3.0;
    while (!(p * 3.0 > 2.0 * alpha)) {
        p = std::nextafter(p, 1.0);  // the bound test fails at size 2, by a hair
    }
    const std::vector<double> values{1.0, p, 1e-20};
    ASSERT_EQ(stable_ceiling_cpp(p * (3.0 * (1.0 / alpha))), 2.0);
    ASSERT_EQ(cBY_check_cpp(values, 3, harmonic_numbers_cpp(3), 0, alpha).at_s, 2);
    ASSERT_EQ(largestcBYsignificant_cpp(values, alpha), 2);
    EXPECT_EQ(closed_by_count(values.data(), 3, 3, alpha, false, nullptr), 2);
}

TEST(CertifiedSearches, FamilySizesAreChecked) {
    const double p[] = {0.01, 0.001};
    for (const auto& [n, total] : {std::pair{2, 1}, std::pair{-1, 3}}) {
        EXPECT_THROW(closed_by_count(p, n, total, 0.05, false, nullptr), std::invalid_argument);
        EXPECT_THROW(by_count(p, n, total, 0.05), std::invalid_argument);
    }
    EXPECT_EQ(closed_by_count(p, 2, 5, 0.0, false, nullptr), 0);
    EXPECT_EQ(closed_by_count(p, 0, 0, 0.05, true, nullptr), 0);
    // Nothing given of a family large enough to keep only checkpoints.
    EXPECT_EQ(closed_by_count(p, 0, 3000000, 0.05, false, nullptr), 0);
    EXPECT_EQ(closed_by_count(p, 0, 3000000, 0.05, true, nullptr), 0);
}

// A billion hypotheses of which 100,000 are given: the cost is the one pass
// over the harmonic numbers plus work in the given values, and no memory in
// the total.
TEST(CertifiedSearches, HugeFamilyGivenInPartIsQuick) {
    const int n = 100000;
    const int total = std::getenv("TARVIMO_CBY_ROUNDS") != nullptr ? 1000000000 : 200000000;
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> given(static_cast<std::size_t>(n));
    for (double& x : given) {
        x = uniform(rng) < 0.5 ? std::pow(uniform(rng), 2.0) * 1e-9 : uniform(rng) * 1e-3;
    }
    given = largest_first(given);
    for (const bool approximate : {false, true}) {
        CertifiedCbyStats stats;
        const auto start = std::chrono::steady_clock::now();
        const int count = certified_closed_by_count(given.data(), n, total, 0.05, approximate, nullptr, &stats);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GT(count, 0);
        EXPECT_LE(count, n);
        EXPECT_EQ(stats.literal_runs, 0);
        EXPECT_LT(seconds, 60.0) << "approximate = " << approximate;
    }
}

TEST(CertifiedSearches, CancellationStopsTheSearch) {
    const std::vector<double> p(1000, 0.001);
    std::atomic<bool> cancel{true};
    EXPECT_THROW(closed_by_count(p.data(), 1000, 1000, 0.05, false, &cancel), SearchCancelled);
    EXPECT_THROW(closed_by_count(p.data(), 1000, 500000000, 0.05, true, &cancel), SearchCancelled);
    cancel = false;
    EXPECT_EQ(closed_by_count(p.data(), 1000, 1000, 0.05, false, &cancel), 1000);
    // Set while the harmonic numbers of two billion hypotheses are summed
    // (seconds), it takes effect within milliseconds.
    std::chrono::steady_clock::time_point set_at;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        set_at = std::chrono::steady_clock::now();
        cancel = true;
    });
    EXPECT_THROW(closed_by_count(p.data(), 1000, 2000000000, 0.05, false, &cancel), SearchCancelled);
    const auto stopped_at = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_LT(std::chrono::duration<double>(stopped_at - set_at).count(), 0.5);
}

// Outside the proven domain the literal routines answer, errors included.
TEST(CertifiedCheck, InputsOutsideTheDomainGoToTheLiteralRoutines) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> vectors{
        {0.01, 0.02, 0.001}, {0.5, nan, 0.01}, {1.5, 0.01, 0.001}, {0.5, 0.01, 0.0}, {0.5, 0.01, -0.001}};
    for (const std::vector<double>& p : vectors) {
        for (const double alpha : {0.05, 1.0, 2.0, nan, 1e-300}) {
            CertifiedCbyStats stats;
            for (int r = 0; r <= 3; ++r) {
                EXPECT_TRUE(same_check(p, r, 0, alpha, CertifiedCbyTuning{}, &stats));
            }
            EXPECT_TRUE(same_searches(p, 3, alpha, CertifiedCbyTuning{}, &stats));
        }
    }
    // by_count takes any values; it skips ahead only in a sorted family.
    std::mt19937_64 rng(23);
    for (int round = 0; round < 200; ++round) {
        std::vector<double> given = crafted_pvalues(rng, 1 + static_cast<int>(rng() % 30), 0.05);
        if (round % 3 == 0) {
            given[rng() % given.size()] = nan;
        }
        const int n = static_cast<int>(given.size());
        const int total = n + static_cast<int>(rng() % 5);
        EXPECT_EQ(by_count(given.data(), n, total, 0.05),
                  BY_cpp(padded_values(given.data(), n, total, 1.0), harmonic_numbers_cpp(total), 0.05));
    }
    const std::vector<double> p{0.5, 0.01, 0.001};
    std::vector<double> h = harmonic_numbers_cpp(3);
    h[2] = 1.4;  // not the harmonic number: the literal check reads it as given
    EXPECT_EQ(certified_cby_check(p, 2, h, 0, 0.05).at_s, cBY_check_cpp(p, 2, h, 0, 0.05).at_s);
    EXPECT_THROW(certified_cby_check(p, 4, h, 0, 0.05), std::invalid_argument);
    EXPECT_THROW(certified_cby_check(p, 1, {0.0, 1.0}, 0, 0.05), std::invalid_argument);
}

// The domain test is read in blocks without branches: a single bad value
// anywhere, at a block's first or last place or next to one, fails it, as
// the test value by value does.
TEST(CertifiedCheck, ValuesInDomainAsTheTestValueByValue) {
    const auto by_value = [](const std::vector<double>& q) {
        double previous = 1.0;
        for (const double v : q) {
            if (!(v > 0.0 && v <= previous)) {
                return false;
            }
            previous = v;
        }
        return true;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    std::vector<double> base(3000);
    for (std::size_t i = 0; i < base.size(); ++i) {
        base[i] = 1.0 / static_cast<double>(i + 1);
    }
    EXPECT_TRUE(values_in_domain(base.data(), static_cast<std::int64_t>(base.size())));
    EXPECT_TRUE(values_in_domain(base.data(), 0));
    for (const std::size_t at : {0, 1, 2, 1023, 1024, 1025, 2048, 2049, 2999}) {
        for (const double bad : {nan, inf, -inf, 0.0, -0.0, -tiny, 1.5, tiny}) {
            std::vector<double> q = base;
            q[at] = bad;
            EXPECT_EQ(values_in_domain(q.data(), static_cast<std::int64_t>(q.size())), by_value(q))
                << "value " << bad << " at " << at;
        }
        std::vector<double> q = base;
        q[at] = at == 0 ? 1.0 : std::nextafter(q[at - 1], 2.0);  // one ulp above the value before
        EXPECT_EQ(values_in_domain(q.data(), static_cast<std::int64_t>(q.size())), by_value(q)) << "rise at " << at;
    }
}

// The loop of a size reads e_out below its cut-off only after two overlaps
// in a row where neither test fires: the candidate e-values all invalpha / r
// and summing a hair below the threshold, the outside sum's rounding
// residual just bridging the gap. At a tiny alpha the tolerance is below an
// ulp of the sums and both happen: this input reaches the entries below the
// cut-off at size 40, count 30.
std::vector<double> stale_reading_input(int* r, int* s, double* alpha) {
    *alpha = 1.2947774604146154e-07;
    *r = 30;
    const int minu = 9;
    const std::vector<int> outside_ceilings{30, 30, 30, 30, 30, 32, 32, 32, 32, 33, 33};  // slot maxv first
    const int fresh = static_cast<int>(outside_ceilings.size());
    const int cut_off = 20;
    const int m = cut_off + fresh + *r;
    *s = cut_off + fresh + minu;
    const std::vector<double> h = harmonic_numbers_cpp(m);
    const double factor = *s * h[*s];
    const double F = factor * (1.0 / *alpha);
    // The largest candidate has ceiling r but fails the bound test by a hair.
    double first = *r / F;
    while (!(first * factor > *r * *alpha)) {
        first = std::nextafter(first, 1.0);
    }
    std::vector<double> p(static_cast<std::size_t>(m), 1.0);
    for (int j = 0; j < *r; ++j) {
        p[m - *r + j] = j == 0 ? first : (*r - 0.5) / F;
    }
    for (int i = 0; i < fresh; ++i) {
        const int k = outside_ceilings[i];
        p[cut_off + fresh - 1 - i] = k == *r ? first : (k - 0.5) / F;
    }
    return p;
}

TEST(CertifiedCheck, LoopsThatReadLeftoverEntriesReplayTheHistory) {
    int r = 0;
    int s = 0;
    double alpha = 0.0;
    const std::vector<double> p = stale_reading_input(&r, &s, &alpha);
    ASSERT_TRUE(std::is_sorted(p.rbegin(), p.rend()));
    for (const CertifiedCbyTuning& tuning : TUNINGS) {
        CertifiedCbyStats stats;
        for (const int warm_s : {s, 0, 1, 55}) {
            EXPECT_TRUE(same_check(p, r, warm_s, alpha, tuning, &stats));
        }
        EXPECT_GT(stats.history_replays, 0);
    }
}

// EoutHistory against a plain e_out vector under the literal walk's writes
// and clearing, with reads of every slot.
TEST(EoutHistory, ReplaysWritesAndClearingLikeTheLiteralVector) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < rounds(300); ++round) {
        const int m = 2 + static_cast<int>(rng() % 40);
        std::vector<double> p(static_cast<std::size_t>(m));
        for (int i = 0; i < m; ++i) {
            p[i] = 1.0 - static_cast<double>(i) / m;
        }
        const PFamily family{p.data(), m, 0, m};
        const double invalpha = 20.0;
        std::vector<double> e_out(static_cast<std::size_t>(m) + 1, 0.0);
        EoutHistory history;
        for (int op = 0; op < 30; ++op) {
            const int maxv = static_cast<int>(rng() % (m + 1));
            const int cut = maxv == 0 ? -1 : static_cast<int>(rng() % (maxv + 1)) - 1;
            const double F = 1.0 + static_cast<double>(rng() % 1000);
            for (int i = maxv - 1; i > cut; --i) {
                e_out[i + 1] = invalpha / stable_ceiling_cpp(p[i] * F);
            }
            if (cut >= 0) {
                for (int j = cut + 1; j >= 1 && e_out[j] != 0.0; --j) {
                    e_out[j] = 0.0;
                }
            }
            history.apply(maxv, cut, F);
            for (int slot = 1; slot <= m; ++slot) {
                ASSERT_EQ(history.read(slot, family, invalpha), e_out[slot]) << "round " << round << ", slot " << slot;
            }
        }
    }
}

TEST(HarmonicTable, CheckpointsGiveTheLeftToRightSums) {
    const int m = 3 * HarmonicTable::CHECKPOINT_STRIDE + 17;
    const std::vector<double> h = harmonic_numbers_cpp(m);
    const HarmonicTable table(m, m - 100, nullptr);
    for (int s = 0; s <= m; ++s) {
        ASSERT_EQ(table(s), h[s]) << s;
    }
    EXPECT_EQ(harmonic_number(m), h[m]);
    EXPECT_EQ(HarmonicTable(h.data(), m)(m / 2), h[m / 2]);
}

// The held sums filled a stride at a time in the order they are first
// read, from a dense_from inside a stride to an m inside another: each is
// the running left-to-right sum.
TEST(HarmonicTable, SumsFilledAsReadInAnyOrderAreTheLeftToRightSums) {
    std::mt19937_64 rng(31);
    const int stride = HarmonicTable::CHECKPOINT_STRIDE;
    const int m = 9 * stride + 123;
    const std::vector<double> h = harmonic_numbers_cpp(m);
    for (const int dense_from : {0, 1, stride, 2 * stride - 1, 5 * stride + 77, m}) {
        const HarmonicTable table(m, dense_from, nullptr);
        for (int read = 0; read < 3000; ++read) {
            const int s = static_cast<int>(rng() % static_cast<unsigned>(m + 1));
            ASSERT_EQ(table(s), h[s]) << "dense_from = " << dense_from << ", s = " << s;
        }
        for (const int s :
             {dense_from, m, (dense_from / stride + 1) * stride - 1, (dense_from / stride + 1) * stride}) {
            ASSERT_EQ(table(std::min(s, m)), h[std::min(s, m)]) << "dense_from = " << dense_from << ", s = " << s;
        }
    }
}

// More strides below dense_from than the table holds at once: strides
// replaced and resumed again still give the left-to-right sums.
TEST(HarmonicTable, ResumedStridesReplacedAndResumedAgainAreTheLeftToRightSums) {
    std::mt19937_64 rng(32);
    const int stride = HarmonicTable::CHECKPOINT_STRIDE;
    const int strides = static_cast<int>(HarmonicTable::RESUMED_STRIDES) + 7;
    const int m = strides * stride + 5;
    const std::vector<double> h = harmonic_numbers_cpp(m);
    const HarmonicTable table(m, m, nullptr);
    for (int read = 0; read < 20000; ++read) {
        // A few strides read often, the rest now and then.
        const int k = read % 4 == 0 ? static_cast<int>(rng() % 3) : static_cast<int>(rng() % strides);
        const int s = std::min(m, k * stride + static_cast<int>(rng() % stride));
        ASSERT_EQ(table(s), h[s]) << "s = " << s << " at read " << read;
    }
}

TEST(HarmonicTable, SharedCheckpointsGiveTheSameSumsOnEveryThread) {
    // Threads extending the shared checkpoints at once, each to a different
    // reach, must all read the left-to-right sums.
    const int m = 40 * HarmonicTable::CHECKPOINT_STRIDE + 5;
    const std::vector<double> h = harmonic_numbers_cpp(m);
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int s = m - t * 997; s >= 0; s -= 4099) {
                wrong[t] += harmonic_number(s) != h[s];
                wrong[t] += HarmonicTable(s, s / 2, nullptr)(s / 3) != h[s / 3];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
    EXPECT_EQ(harmonic_checkpoint(3, nullptr), h[3 * HarmonicTable::CHECKPOINT_STRIDE]);
}

// The largest family size: both sums end (an int index would overflow past
// the last term) and land near ln m + Euler's constant.
TEST(HarmonicTable, TheLargestFamilySizeEndsItsSums) {
    const int m = std::numeric_limits<int>::max();
    const double h = harmonic_number(m);
    EXPECT_EQ(HarmonicTable(m, m - 3, nullptr)(m), h);
    EXPECT_NEAR(h, std::log(static_cast<double>(m)) + 0.5772156649015329, 1e-4);
}

// Every range sum within the stated relative error of the exact sum,
// computed here in long double from the exact reciprocals.
TEST(ReciprocalSums, RangeSumsWithinTheirErrorBound) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const int n = 5000;
    std::vector<double> q(static_cast<std::size_t>(n));
    for (double& x : q) {
        x = std::pow(uniform(rng), 8.0) + 1e-300;
    }
    q = largest_first(q);
    ReciprocalSums sums(q.data(), n);
    for (int round = 0; round < 3000; ++round) {
        int a = static_cast<int>(rng() % n);
        int b = static_cast<int>(rng() % n);
        if (round % 3 == 0) {
            b = std::min(n - 1, a + static_cast<int>(rng() % 300));
        }
        if (a > b) {
            std::swap(a, b);
        }
        long double first = 0.0L;
        long double second = 0.0L;
        for (int i = a; i <= b; ++i) {
            first += 1.0L / q[i];
            second += 1.0L / (static_cast<long double>(q[i]) * q[i]);
        }
        const double bound = ReciprocalSums::RELATIVE_ERROR;
        EXPECT_LE(std::fabs(static_cast<double>((sums.reciprocals(a, b) - first) / first)), bound) << a << " " << b;
        EXPECT_LE(std::fabs(static_cast<double>((sums.squared_reciprocals(a, b) - second) / second)), bound)
            << a << " " << b;
    }
}

// The parts of the certified check on their own, with the default tuning:
// every size of every count decided by a SizeDecider against the literal
// steps of that size, and the walk of CheckWalk against cBY_check_cpp.
TEST(SizeDecider, EverySizeOfEveryCountAsItsLiteralSteps) {
    std::mt19937_64 rng(20261209);
    long long certified = 0;
    for (int round = 0; round < rounds(30); ++round) {
        const int m = 100 + static_cast<int>(rng() % 200);
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        const std::vector<double> p = largest_first(sanitize_pvalues_cpp(crafted_pvalues(rng, m, alpha)));
        const std::vector<double> h = harmonic_numbers_cpp(m);
        const HarmonicTable table(h.data(), m);
        const PFamily family{p.data(), m, 0, m};
        CertifiedCbyStats stats;
        std::unique_ptr<ReciprocalSums> sums;
        for (int r = m; r >= 1; r -= 1 + static_cast<int>(rng() % 16)) {
            const CountSizes sizes(family, table, alpha, r, &sums);
            SizeDecider decider(family, table, alpha, stats);
            for (int s = 2; s <= m; ++s) {
                const SizeSetup z = sizes.setup(s);
                const SizeVerdict literal = sizes.literal(z, UNLIMITED, nullptr);
                if (decider.bound_passes(sizes, s) || literal == SizeVerdict::stale) {
                    continue;  // the walk drops it, or its verdict needs the sizes examined before it
                }
                std::int64_t argmin = -1;
                const long long before = stats.sizes_certified;
                ASSERT_EQ(decider.decide(sizes, z, sizes.cut_index(z.Hs, -1), &argmin, false, false), literal)
                    << "m = " << m << ", r = " << r << ", s = " << s << ", alpha = " << alpha;
                ASSERT_EQ(decider.evaluate_single(sizes, s), literal)
                    << "m = " << m << ", r = " << r << ", s = " << s << ", alpha = " << alpha;
                certified += stats.sizes_certified - before;
            }
        }
    }
    EXPECT_GT(certified, 0);  // the certificates decided some sizes, not only the literal steps
}

TEST(CheckWalk, EveryCountAndWarmStartAsTheLiteralCheck) {
    std::mt19937_64 rng(20261210);
    for (int round = 0; round < rounds(40); ++round) {
        const int m = 2 + static_cast<int>(rng() % 300);
        const double alpha = rng() % 2 == 0 ? 0.05 : 0.3;
        const std::vector<double> p = largest_first(sanitize_pvalues_cpp(crafted_pvalues(rng, m, alpha)));
        const std::vector<double> h = harmonic_numbers_cpp(m);
        const HarmonicTable table(h.data(), m);
        CertifiedCbyStats stats;
        CheckWalk walk(PFamily{p.data(), m, 0, m}, table, alpha, stats);
        for (int r = m; r >= 1; r -= 1 + static_cast<int>(rng() % 8)) {
            const int warm_s = static_cast<int>(rng() % static_cast<unsigned>(m + 1));
            const cBYCheckResult literal = cBY_check_cpp(p, r, h, warm_s, alpha);
            const SizeCheck fast = walk.check(r, warm_s);
            ASSERT_EQ(fast.res, literal.res) << "m = " << m << ", r = " << r << ", warm_s = " << warm_s;
            ASSERT_EQ(fast.at_s, literal.at_s) << "m = " << m << ", r = " << r << ", warm_s = " << warm_s;
        }
    }
}

// The sweep's verdicts kept as runs read back size by size as a vector of
// one verdict per size would: ranges pass, single sizes keep their own,
// sizes outside every run are unknown, and clear forgets everything.
TEST(SweptVerdicts, ReadBackEverySize) {
    SweptVerdicts runs;
    std::vector<SizeVerdict> expected(40, SizeVerdict::unknown);
    const auto range = [&](int lo, int hi) {
        runs.add_range(lo, hi);
        std::fill(expected.begin() + lo, expected.begin() + hi + 1, SizeVerdict::pass);
    };
    const auto single = [&](int s, SizeVerdict verdict) {
        runs.add(s, verdict);
        expected[static_cast<std::size_t>(s)] = verdict;
    };
    single(3, SizeVerdict::fail);
    single(4, SizeVerdict::uncertain);
    range(5, 6);
    range(7, 14);
    single(15, SizeVerdict::pass);
    single(16, SizeVerdict::stale);
    single(17, SizeVerdict::fail);
    range(18, 30);
    single(31, SizeVerdict::uncertain);
    for (int s = 0; s < 40; ++s) {
        EXPECT_EQ(runs.at(s), expected[static_cast<std::size_t>(s)]) << s;
    }
    // Every span of sizes: all known to pass exactly where each size passes,
    // across the runs that passing single sizes and ranges join into.
    for (int lo = 0; lo < 40; ++lo) {
        for (int hi = lo; hi < 40; ++hi) {
            const bool each = std::all_of(expected.begin() + lo, expected.begin() + hi + 1,
                                          [](SizeVerdict v) { return v == SizeVerdict::pass; });
            EXPECT_EQ(runs.all_pass(lo, hi), each) << lo << " " << hi;
        }
    }
    runs.clear();
    for (int s = 0; s < 40; ++s) {
        EXPECT_EQ(runs.at(s), SizeVerdict::unknown) << s;
    }
}

}  // namespace

namespace {

// A sweep that finds no failure decides the sizes it left uncertain right
// away, and where one of them fails or is stale leaves the rest to the walk;
// a decisive sweep leaves none uncertain. Every route gives the literal
// check's result, on families with tight sizes (the BY line and crafted
// values) under tunings that leave sizes uncertain, with and without its
// first sizes decided singly.
TEST(CheckWalk, SweepsSettleUncertainSizesAsTheLiteralCheck) {
    std::mt19937_64 rng(20261211);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(60); ++round) {
        const int m = 20 + static_cast<int>(rng() % 300);
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        std::vector<double> p = crafted_pvalues(rng, m, alpha);
        if (round % 2 == 0) {
            const std::vector<double> h = harmonic_numbers_cpp(m);
            const double scale = 0.5 + 3.5 * uniform(rng);
            for (int k = 1; k <= m; ++k) {
                p[static_cast<std::size_t>(k - 1)] = std::min(1.0, scale * k * alpha / (m * h[m]));
            }
        }
        p = largest_first(sanitize_pvalues_cpp(p));
        CertifiedCbyTuning tuning{static_cast<long>(rng() % 3), 1, true, true, 0, rng() % 2 == 0 ? 2 : 256};
        tuning.decisive_sweep = round % 3 == 2;
        tuning.first_singles = round % 4 < 2 ? 0 : 3;
        for (int r = m; r >= 1; r -= 1 + static_cast<int>(rng() % 4)) {
            const int warm_s = static_cast<int>(rng() % static_cast<unsigned>(m + 1));
            // Levels around the count's crossing, where sizes are tight.
            const double near = p[static_cast<std::size_t>(m - r)] * m * harmonic_numbers_cpp(m)[m] / r;
            for (const double level : {alpha, near * (1.0 + 1e-9), near * (1.0 - 1e-6), near * 1.01}) {
                if (level > 0.0 && level < 1.0) {
                    ASSERT_TRUE(same_check(p, r, warm_s, level, tuning, &stats));
                }
            }
        }
    }
    EXPECT_GT(stats.settled_sweeps, 0);
    EXPECT_GT(stats.unsettled_sweeps, 0);
}

}  // namespace

namespace {

// Levels in [floor, high] at which ranges certified up the levels must hold:
// both ends, the doubles next to them and random levels between.
std::vector<double> levels_between(std::mt19937_64& rng, double floor, double high) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> levels{floor, std::nextafter(floor, 1.0), high, std::nextafter(high, 0.0)};
    for (int i = 0; i < 6; ++i) {
        levels.push_back(floor + (high - floor) * unit(rng));
    }
    return levels;
}

// The families whose sizes are tight at some level: the BY line times a
// factor, or crafted values.
std::vector<double> tight_family(std::mt19937_64& rng, int m, double alpha) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> p = crafted_pvalues(rng, m, alpha);
    if (rng() % 2 == 0) {
        const std::vector<double> h = harmonic_numbers_cpp(m);
        const double scale = 0.5 + 3.5 * unit(rng);
        for (int k = 1; k <= m; ++k) {
            p[static_cast<std::size_t>(k - 1)] = std::min(1.0, scale * k * alpha / (m * h[m]));
        }
    }
    return largest_first(sanitize_pvalues_cpp(p));
}

// A range of sizes certified from a floor up to a level passes at every
// level between, each size by its literal steps (which read no entry that
// earlier sizes left); a floor more than 1.5 times below refuses.
TEST(CountSizes, RangesCertifiedUpTheLevelsPassBetween) {
    std::mt19937_64 rng(20261212);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long long certified = 0;
    long long refused = 0;
    for (int round = 0; round < rounds(40); ++round) {
        const int m = 20 + static_cast<int>(rng() % 300);
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        const std::vector<double> p = tight_family(rng, m, alpha);
        const std::vector<double> h = harmonic_numbers_cpp(m);
        const HarmonicTable table(h.data(), m);
        const PFamily family{p.data(), m, 0, m};
        std::unique_ptr<ReciprocalSums> sums;
        for (int r = m; r >= 1; r -= 1 + static_cast<int>(rng() % 8)) {
            // Around the count's crossing, where its sizes turn.
            const double near = p[static_cast<std::size_t>(m - r)] * m * h[m] / r;
            const double high = std::min(0.9, near * (1.0 + 0.01 * unit(rng)));
            const double span = std::vector<double>{0x1p-10, 0x1p-4, 0.2, 0.4}[rng() % 4];
            const double floor = high * (1.0 - span);
            const CountSizes low(family, table, floor, r, &sums);
            const CountSizes top(family, table, high, r, &sums);
            const int s1 = 2 + static_cast<int>(rng() % static_cast<unsigned>(m - 1));
            const int s2 = s1 + static_cast<int>(rng() % static_cast<unsigned>(std::min(m - s1, 64) + 1));
            const SizeSetup z1 = low.setup(s1);
            const SizeSetup z2 = low.setup(s2);
            const SizeSetup z1_top = top.setup(s1);
            std::int64_t argmin = -1;
            if (!low.certify_block_up_to(top, z1, z2, low.cut_index(z2.Hs, -1), z1_top, top.cut_index(z1_top.Hs, -1),
                                         &argmin)) {
                refused += span == 0.4 ? 1 : 0;
                continue;
            }
            ASSERT_LT(span, 0.4);
            ++certified;
            for (const double level : levels_between(rng, floor, high)) {
                const CountSizes sizes(family, table, level, r, &sums);
                for (int s = s1; s <= s2; ++s) {
                    ASSERT_EQ(sizes.literal(sizes.setup(s), UNLIMITED, nullptr), SizeVerdict::pass)
                        << "m = " << m << ", r = " << r << ", s = " << s << ", level = " << level << " in [" << floor
                        << ", " << high << "]";
                }
            }
        }
    }
    EXPECT_GT(certified, 0);
    EXPECT_GT(refused, 0);
}

// A range of sizes up to m - r certified from a floor up for the counts
// least ... r at once passes for each of those counts at every level between,
// each size by its literal steps, with omitted values in some families; a
// range reaching past m - r is refused.
TEST(CountSizes, RangesCertifiedForSpansOfCountsPassForEach) {
    std::mt19937_64 rng(20261215);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long long certified = 0;
    long long refused_tight = 0;
    for (int round = 0; round < rounds(40); ++round) {
        const int n = 20 + static_cast<int>(rng() % 300);
        const std::int64_t pad = rng() % 3 == 0 ? static_cast<std::int64_t>(rng() % 40) : 0;
        const std::int64_t m = n + pad;
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        const std::vector<double> p = tight_family(rng, n, alpha);
        const std::vector<double> h = harmonic_numbers_cpp(static_cast<int>(m));
        const HarmonicTable table(h.data(), m);
        const PFamily family{p.data(), n, pad, m};
        std::unique_ptr<ReciprocalSums> sums;
        for (int r = n; r >= 2; r -= 1 + static_cast<int>(rng() % 8)) {
            const double near = family.at(m - r) * static_cast<double>(m) * h[static_cast<std::size_t>(m)] / r;
            const double high = std::min(0.9, near * (1.0 + 0.01 * unit(rng)));
            const double floor = high * (1.0 - std::vector<double>{0x1p-10, 0x1p-4, 0.2}[rng() % 3]);
            const int least = r - 1 - static_cast<int>(rng() % static_cast<unsigned>(std::max(1, r / 4)));
            const CountSizes low(family, table, floor, r, &sums, std::max(1, least));
            const CountSizes top(family, table, high, r, &sums);
            const std::int64_t s1 = pad + 2 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n - 1));
            if (s1 > m) {
                continue;
            }
            const std::int64_t s2 =
                s1 +
                static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(std::min<std::int64_t>(m - s1, 64) + 1));
            const SizeSetup z1 = low.setup(s1);
            const SizeSetup z2 = low.setup(s2);
            const SizeSetup z1_top = top.setup(s1);
            std::int64_t argmin = -1;
            const bool passes = low.certify_block_up_to(top, z1, z2, low.cut_index(z2.Hs, pad - 1), z1_top,
                                                        top.cut_index(z1_top.Hs, pad - 1), &argmin);
            if (s2 > m - r) {
                ASSERT_FALSE(passes) << "a range past m - r, m = " << m << ", r = " << r << ", s2 = " << s2;
                continue;
            }
            if (!passes) {
                // Refused for the span though it passes for the count alone.
                std::int64_t alone_argmin = -1;
                const CountSizes low_alone(family, table, floor, r, &sums);
                refused_tight += low_alone.certify_block_up_to(top, z1, z2, low.cut_index(z2.Hs, pad - 1), z1_top,
                                                               top.cut_index(z1_top.Hs, pad - 1), &alone_argmin)
                                     ? 1
                                     : 0;
                continue;
            }
            ++certified;
            for (int count = std::max(1, least); count <= r; ++count) {
                for (const double level : levels_between(rng, floor, high)) {
                    const CountSizes sizes(family, table, level, count, &sums);
                    for (std::int64_t s = s1; s <= s2; ++s) {
                        ASSERT_EQ(sizes.literal(sizes.setup(s), UNLIMITED, nullptr), SizeVerdict::pass)
                            << "m = " << m << ", counts " << least << " ... " << r << ", count = " << count
                            << ", s = " << s << ", level = " << level << " in [" << floor << ", " << high << "]";
                    }
                }
            }
        }
    }
    EXPECT_GT(certified, 0);
    EXPECT_GT(refused_tight, 0);
}

// Checks as the level scan makes them: counts downward, each checked with a
// floor and a span of counts below it, then checked at levels between (and
// below the floor) together with counts of its span (and one below). Every
// check gives the literal check's result, whether it takes ranges another
// count's sweep certified, certifies afresh, or misses at the floor.
TEST(CheckWalk, RangesCarriedAcrossCountsAsTheLiteralCheck) {
    std::mt19937_64 rng(20261216);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(30); ++round) {
        const int m = 20 + static_cast<int>(rng() % 300);
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        const std::vector<double> p = tight_family(rng, m, alpha);
        const std::vector<double> h = harmonic_numbers_cpp(m);
        const HarmonicTable table(h.data(), m);
        CertifiedCbyTuning tuning{static_cast<long>(rng() % 3), 1, true, true, 0, rng() % 2 == 0 ? 2 : 256};
        tuning.decisive_sweep = true;
        tuning.least_carried_width = rng() % 2 == 0 ? 2 : 16;
        CheckWalk walk(PFamily{p.data(), m, 0, m}, table, alpha, stats, tuning);
        const int warm_s = static_cast<int>(rng() % static_cast<unsigned>(m + 1));
        const auto same = [&](int r, double level, double floor, int least) {
            walk.set_alpha(level);
            const cBYCheckResult literal = cBY_check_cpp(p, r, h, warm_s, level);
            const SizeCheck fast = walk.check(r, warm_s, floor, least);
            return fast.res == literal.res && fast.at_s == literal.at_s;
        };
        for (int r = m; r >= 1; r -= 1 + static_cast<int>(rng() % 3)) {
            const double near = p[static_cast<std::size_t>(m - r)] * m * h[m] / r;
            const double high = std::min(0.9, near * (1.0 + 0.01 * unit(rng)));
            const double floor = high * (1.0 - std::vector<double>{0x1p-10, 0x1p-6, 0.1}[rng() % 3]);
            const int least = std::max(1, r - static_cast<int>(rng() % static_cast<unsigned>(r / 8 + 2)));
            ASSERT_TRUE(same(r, high, floor, least)) << "m = " << m << ", r = " << r << ", level = " << high;
            std::vector<double> levels = levels_between(rng, floor, high);
            levels.push_back(floor * (1.0 - 1e-3));
            for (const double level : levels) {
                const int count =
                    std::max(1, least - 1 + static_cast<int>(rng() % static_cast<unsigned>(r - least + 2)));
                ASSERT_TRUE(same(count, level, 0.0, 0))
                    << "m = " << m << ", counts " << least << " ... " << r << ", count = " << count
                    << ", level = " << level << " in [" << floor << ", " << high << "]";
            }
        }
    }
    EXPECT_GT(stats.blocks_up_the_levels, 0);
    EXPECT_GT(stats.carried_across_counts, 0);
    EXPECT_GT(stats.level_misses, 0);
    EXPECT_GT(stats.outside_carried, 0);
}

// A check given a floor and a span of counts certifies its ranges from there
// up; later checks of the count at levels between take them, and take the
// verdicts of sizes judged on their own at their level. Every check gives the literal check's
// result, also where the range certificate fails at the floor (and the range
// is certified at the level alone) and at levels outside the carried span.
TEST(CheckWalk, CarriedRangesAndKnownSizesAsTheLiteralCheck) {
    std::mt19937_64 rng(20261213);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    CertifiedCbyStats stats;
    for (int round = 0; round < rounds(40); ++round) {
        const int m = 20 + static_cast<int>(rng() % 300);
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        const std::vector<double> p = tight_family(rng, m, alpha);
        const std::vector<double> h = harmonic_numbers_cpp(m);
        const HarmonicTable table(h.data(), m);
        CertifiedCbyTuning tuning{static_cast<long>(rng() % 3), 1, true, true, 0, rng() % 2 == 0 ? 2 : 256};
        tuning.decisive_sweep = true;
        tuning.least_carried_width = 2;
        CheckWalk walk(PFamily{p.data(), m, 0, m}, table, alpha, stats, tuning);
        for (int r = m; r >= 1; r -= 1 + static_cast<int>(rng() % 6)) {
            const double near = p[static_cast<std::size_t>(m - r)] * m * h[m] / r;
            const double high = std::min(0.9, near * (1.0 + 0.01 * unit(rng)));
            const double floor = high * (1.0 - std::vector<double>{0x1p-10, 0x1p-4, 0.2}[rng() % 3]);
            const int warm_s = static_cast<int>(rng() % static_cast<unsigned>(m + 1));
            const auto same = [&](double level, double check_floor) {
                walk.set_alpha(level);
                const cBYCheckResult literal = cBY_check_cpp(p, r, h, warm_s, level);
                const SizeCheck fast = walk.check(r, warm_s, check_floor, check_floor > 0.0 ? r - 1 : 0);
                return fast.res == literal.res && fast.at_s == literal.at_s;
            };
            ASSERT_TRUE(same(high, floor)) << "m = " << m << ", r = " << r << ", level = " << high;
            std::vector<double> levels = levels_between(rng, floor, high);
            levels.push_back(floor * (1.0 - 1e-3));  // below the carried span
            levels.push_back(near * (1.0 - 1e-9));
            for (const double level : levels) {
                walk.set_alpha(level);
                for (int s = std::max(1, warm_s - 3); s <= std::min(m, warm_s + 3); ++s) {
                    walk.size_verdict(r, s);  // as the level search judges sizes before its check
                }
                ASSERT_TRUE(same(level, 0.0))
                    << "m = " << m << ", r = " << r << ", level = " << level << " in [" << floor << ", " << high << "]";
            }
        }
    }
    EXPECT_GT(stats.blocks_up_the_levels, 0);
    EXPECT_GT(stats.level_misses, 0);
    EXPECT_GT(stats.blocks_carried, 0);
    EXPECT_GT(stats.outside_carried, 0);
    EXPECT_GT(stats.known_sizes, 0);
}

}  // namespace

namespace {

// The cut-off searched from any position near it (or far) is the one
// searched from the start, with omitted values and ties in the family.
TEST(CountSizes, CutOffFromAnyStartAsFromTheFirstPosition) {
    std::mt19937_64 rng(20261214);
    for (int round = 0; round < rounds(40); ++round) {
        const int n = 1 + static_cast<int>(rng() % 200);
        const std::int64_t pad = rng() % 3 == 0 ? static_cast<std::int64_t>(rng() % 50) : 0;
        const std::int64_t m = n + pad;
        const double alpha = std::vector<double>{0.05, 0.2, 0.5}[rng() % 3];
        const std::vector<double> p = largest_first(sanitize_pvalues_cpp(crafted_pvalues(rng, n, alpha)));
        const std::vector<double> h = harmonic_numbers_cpp(static_cast<int>(m));
        const HarmonicTable table(h.data(), m);
        std::unique_ptr<ReciprocalSums> sums;
        const CountSizes sizes(PFamily{p.data(), n, pad, m}, table, alpha, 1, &sums);
        for (std::int64_t s = 2; s <= m; s += 1 + static_cast<std::int64_t>(rng() % 7)) {
            const double Hs = table(s);
            const std::int64_t expected = sizes.cut_index(Hs, pad - 1);
            for (const std::int64_t near : {std::int64_t{-1}, expected - 1, expected, expected + 1, m - 1, m,
                                            static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(m))}) {
                ASSERT_EQ(sizes.cut_index_near(Hs, near), expected)
                    << "m = " << m << ", s = " << s << ", near = " << near;
            }
        }
    }
}

}  // namespace
