// The fast closed e-BH searches against the literal ones: the plain scan over
// meanconsistent_cpp and the literal bisection, on the explicitly padded
// vector, for random and margin-crafted profiles. Every difference is a
// fault; the searches' own counts show that both the shortcuts and the
// literal fallbacks ran. TARVIMO_EBH_ROUNDS scales the run.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "closed_ebh/closed_ebh.hpp"
#include "closed_ebh/fast_search.hpp"
#include "closed_ebh/mean_consistency.hpp"
#include "closed_ebh/profile.hpp"
#include "closed_ebh/vardo.hpp"

using namespace tarvimo::closed_ebh;
using namespace tarvimo::common;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

int rounds(int base) {
    const char* scale = std::getenv("TARVIMO_EBH_ROUNDS");
    return scale == nullptr ? base : base * std::max(1, std::atoi(scale));
}

// Equal bit for bit, or both NaN.
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

std::vector<double> padded(const std::vector<double>& given, int total) {
    std::vector<double> family(static_cast<std::size_t>(total) - given.size(), 0.0);
    family.insert(family.end(), given.begin(), given.end());
    return family;
}

struct Family {
    std::string what;
    std::vector<double> given;
    int total;
    double alpha;
};

// Compares both searches and the eBH count with the literal routines on the
// padded vector; returns the number of differences and adds up the counts.
int differences(const Family& family, SearchCounts& counts) {
    const std::vector<double> all = padded(family.given, family.total);
    const int n = static_cast<int>(family.given.size());
    int found = 0;
    const auto compare = [&](const char* what, int fast, int literal) {
        if (fast != literal) {
            ++found;
            ADD_FAILURE() << what << " " << fast << " != " << literal << " on " << family.what << ", n = " << n
                          << ", total = " << family.total << ", alpha = " << family.alpha;
        }
    };
    compare("exact", closed_ebh_search(family.given.data(), n, family.total, family.alpha, false, nullptr, &counts),
            largestmeanconsistent_cpp(all, family.alpha));
    compare("approximate",
            closed_ebh_search(family.given.data(), n, family.total, family.alpha, true, nullptr, &counts),
            largestmeanconsistent_approximate_cpp(all, family.alpha));
    compare("eBH", ebh_count(family.given.data(), n, family.total, family.alpha), eBH_cpp(all, family.alpha));
    return found;
}

// Likelihood-ratio e-values exp(3 z - 4.5) with a share of signals (z ~ N(3, 1)).
std::vector<double> realistic(std::mt19937_64& rng, int m, double signals) {
    std::normal_distribution<double> z(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> e(static_cast<std::size_t>(m));
    for (double& value : e) {
        value = std::exp(3.0 * (z(rng) + (unit(rng) < signals ? 3.0 : 0.0)) - 4.5);
    }
    std::sort(e.begin(), e.end());
    return e;
}

// Small multiples of `unit`: with a dyadic alpha and unit a power of two,
// group sums and targets are exact and many targets are exactly 0.
std::vector<double> on_grid(std::mt19937_64& rng, int m, double unit, int levels) {
    std::vector<double> e(static_cast<std::size_t>(m));
    for (double& value : e) {
        value = unit * static_cast<double>(rng() % static_cast<unsigned>(levels));
    }
    std::sort(e.begin(), e.end());
    return e;
}

std::vector<double> with_specials(std::mt19937_64& rng, int m, bool sorted) {
    const std::vector<double> special{0.0, -0.0, INF, 1e300, 1e-300, 5e-324, 4.0, 8.0, NaN, -1.0, 20.0, 1e308};
    std::vector<double> e(static_cast<std::size_t>(m));
    for (double& value : e) {
        value = rng() % 3 == 0 ? special[rng() % special.size()] : static_cast<double>(rng() % 1000) / 10.0;
    }
    if (sorted) {
        std::sort(e.begin(), e.end(), [](double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; });
    }
    return e;
}

TEST(ClosedEbhSearch, EqualsTheLiteralSearchesOnRandomAndMarginProfiles) {
    std::mt19937_64 rng(20240611);
    std::vector<Family> families;
    for (int round = 0; round < rounds(150); ++round) {
        const int m = round % 10 == 0 ? 1500 + static_cast<int>(rng() % 1500) : 1 + static_cast<int>(rng() % 120);
        const int total = m + (round % 3 == 0 ? static_cast<int>(rng() % 200) : 0);
        const double dyadic = std::ldexp(1.0, -static_cast<int>(1 + rng() % 4));  // 1/2 ... 1/16
        families.push_back({"realistic", realistic(rng, m, 0.05 + 0.05 * (round % 4)), total, 0.05});
        families.push_back({"grid", on_grid(rng, m, 1.0, 9), total, dyadic});
        families.push_back({"grid of 1/alpha", on_grid(rng, m, 1.0 / dyadic, 4), total, dyadic});
        families.push_back(
            {"ties at 1/alpha", std::vector<double>(static_cast<std::size_t>(m), 1.0 / dyadic), total, dyadic});
        families.push_back({"specials, sorted", with_specials(rng, m, true), total, 0.1});
        families.push_back({"specials, unsorted", with_specials(rng, m, false), total, 0.1});
    }
    SearchCounts counts;
    int found = 0;
    for (const Family& family : families) {
        found += differences(family, counts);
    }
    EXPECT_EQ(found, 0);
    // Both the shortcuts and the literal steps they fall back to ran.
    EXPECT_GT(counts.counts_in_runs, 100000);
    EXPECT_GT(counts.first_probes, 1000);
    EXPECT_GT(counts.bulk_proofs, 100);
    EXPECT_GT(counts.rows_proven, 100000);
    EXPECT_GT(counts.rows_searched, 100);
    EXPECT_GT(counts.second_probes, 100);
}

// The strongest n of `total` null likelihood-ratio e-values (about those at
// the upper n / total quantiles), with `signals` of them raised far above:
// the scan's warm pair then walks the boundary count by count, each count
// decided by the warm row's first two targets.
std::vector<double> short_list(std::mt19937_64& rng, int n, int total, int signals) {
    std::normal_distribution<double> jitter(0.0, 0.3);
    std::vector<double> e(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        const double z = std::sqrt(2.0 * std::log(static_cast<double>(total) / (k + 1))) + jitter(rng);
        e[static_cast<std::size_t>(k)] = std::exp(3.0 * (z + (k < signals ? 4.0 : 0.0)) - 4.5);
    }
    std::sort(e.begin(), e.end());
    return e;
}

TEST(ClosedEbhSearch, ShortListsOfLargeFamiliesAsTheLiteralSearch) {
    std::mt19937_64 rng(20261209);
    SearchCounts counts;
    int found = 0;
    int rejecting = 0;
    for (const int total : {300, 2000, 20000}) {
        for (const int n : {1, 5, 40}) {
            for (const int signals : {0, 1, 3}) {
                for (const double alpha : {0.05, 0.1, 0.25}) {
                    const Family family{"short list", short_list(rng, n, total, std::min(signals, n)), total, alpha};
                    found += differences(family, counts);
                    const std::vector<double> all = padded(family.given, total);
                    rejecting += largestmeanconsistent_cpp(all, alpha) > 0;
                }
            }
        }
    }
    EXPECT_EQ(found, 0);
    EXPECT_GT(rejecting, 20);
    // The counts the first two targets decide (most in walks with the whole
    // set in the row, proven at once), and the checks run where they did not.
    EXPECT_GT(counts.counts_in_whole_set_runs, 10000);
    EXPECT_GT(counts.second_probes, 10);
    EXPECT_GT(counts.counts_in_runs, 10000);
    EXPECT_GT(counts.checks, 300);
}

// Short lists of strong e-values whose sum S allows groups far beyond the
// list: the scan walks counts whose warm row holds the whole set, and the
// bound proves that walk at once, down to the list's length. Where S sits on
// K / alpha (integer e-values, alpha a power of two) the bound cannot tell
// the first target from a violation, and the counts are walked one by one.
TEST(ClosedEbhSearch, WalksWithTheWholeSetInTheRowAsTheLiteralSearch) {
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    SearchCounts strong;
    SearchCounts tied;
    int found = 0;
    for (int round = 0; round < rounds(12); ++round) {
        const int n = 1 + static_cast<int>(rng() % 30);
        const double alpha = round % 2 == 0 ? 0.05 : 0.25;
        std::vector<double> e(static_cast<std::size_t>(n));
        for (double& value : e) {
            value = 20.0 / (0.01 + unit(rng));
        }
        std::sort(e.begin(), e.end());
        const int total = 4000 + static_cast<int>(rng() % 2000);
        found += differences({"strong short list", e, total, alpha}, strong);
        // Integer e-values summing to exactly K / alpha, K = 1000 + round.
        const int group = 1000 + round;
        std::vector<double> even(static_cast<std::size_t>(n), std::floor(4.0 * group / n));
        even.back() += 4.0 * group - std::floor(4.0 * group / n) * n;
        std::sort(even.begin(), even.end());
        found += differences({"short list on K / alpha", even, total, 0.25}, tied);
    }
    EXPECT_EQ(found, 0);
    EXPECT_GT(strong.counts_in_whole_set_runs, 1000);
    EXPECT_EQ(tied.counts_in_whole_set_runs, 0);
    EXPECT_GT(tied.second_probes, 5000);
}

TEST(ClosedEbhSearch, EqualsTheLiteralSearchesForEveryLevel) {
    std::mt19937_64 rng(7);
    const std::vector<double> levels{0.25, 1.0, 2.0, 0.0, -0.0, -0.1, NaN, INF, -INF, 1e-300, 5e-324, 1e300};
    SearchCounts counts;
    int found = 0;
    for (const double alpha : levels) {
        for (int round = 0; round < rounds(20); ++round) {
            const int m = 1 + static_cast<int>(rng() % 80);
            found += differences({"realistic", realistic(rng, m, 0.2), m + round % 2 * 7, alpha}, counts);
            found += differences({"specials", with_specials(rng, m, round % 2 == 0), m, alpha}, counts);
        }
    }
    EXPECT_EQ(found, 0);
}

TEST(ClosedEbhSearch, TiesOnTheThresholdAtTheSizeOfTheBulkBounds) {
    // At alpha = 1/4 every e-value 4 puts the targets of whole rows at 0 up
    // to rounding: the bounds cannot clear them, and the approximate count
    // differs from the exact one only through rounding.
    SearchCounts counts;
    const std::vector<double> tied(20000, 4.0);
    EXPECT_EQ(differences({"tied", tied, 20000, 0.25}, counts), 0);
    std::vector<double> halves(20000, 1.0);
    std::fill(halves.begin() + 10000, halves.end(), 16.0);
    EXPECT_EQ(differences({"halves", halves, 20000, 0.125}, counts), 0);
    EXPECT_EQ(differences({"halves, padded", halves, 23000, 0.125}, counts), 0);
    EXPECT_GT(counts.rows_searched, 0);
}

TEST(EvalueProfile, EntriesAreThePaddedRunningSumBitForBit) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 50; ++round) {
        const std::vector<double> given = with_specials(rng, static_cast<int>(rng() % 30), round % 2 == 0);
        const int n = static_cast<int>(given.size());
        const int total = n + static_cast<int>(rng() % 5);
        const std::vector<double> all = padded(given, total);
        const EvalueProfile profile(given.data(), n, total);
        ASSERT_EQ(profile.size(), all.size() + 1);
        double sum = 0.0;
        EXPECT_TRUE(same_bits(profile[0], sum));
        for (int t = 0; t < total; ++t) {
            EXPECT_TRUE(same_bits(profile.value(t), all[t])) << t;
            sum += all[t];
            EXPECT_TRUE(same_bits(profile[t + 1], sum)) << t + 1;
        }
    }
}

TEST(EvalueProfile, OrderedPrefixEndsAtTheFirstValueTheBoundsCannotUse) {
    const auto prefix = [](std::vector<double> given, int zeros) {
        return EvalueProfile(given.data(), static_cast<int>(given.size()), static_cast<int>(given.size()) + zeros)
            .ordered_prefix();
    };
    EXPECT_EQ(prefix({0.0, 1.0, 1.0, 5.0}, 0), 4);
    EXPECT_EQ(prefix({0.0, 1.0, 1.0, 5.0}, 3), 7);
    EXPECT_EQ(prefix({1.0, 3.0, 2.0, 5.0}, 2), 4);  // 2 below 3
    EXPECT_EQ(prefix({-0.0, 1.0, NaN, 5.0}, 0), 2);
    EXPECT_EQ(prefix({-1.0, 1.0}, 5), 5);
    EXPECT_EQ(prefix({1.0, 2.0, INF}, 0), 2);  // the sum beyond SUM_LIMIT
    EXPECT_EQ(prefix({0x1p999, 0x1p999, 0x1p999}, 0), 2);
    EXPECT_EQ(prefix({}, 4), 4);
}

TEST(ClosedEbhCount, RefusesMoreValuesThanHypotheses) {
    const std::vector<double> e{1.0, 2.0, 3.0};
    for (const bool approximate : {false, true}) {
        EXPECT_THROW(closed_ebh_count(e.data(), 3, 2, 0.05, approximate, nullptr), std::invalid_argument);
        EXPECT_THROW(closed_ebh_count(e.data(), -1, 2, 0.05, approximate, nullptr), std::invalid_argument);
    }
    EXPECT_THROW(ebh_count(e.data(), 3, 2, 0.05), std::invalid_argument);
    EXPECT_EQ(closed_ebh_count(nullptr, 0, 0, 0.05, false, nullptr), 0);
    EXPECT_EQ(ebh_count(nullptr, 0, 5, 0.05), 0);
}

long peak_resident_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(ClosedEbhCount, LargestFamilyGivenInPartTakesLittleTimeAndMemory) {
    constexpr int total = std::numeric_limits<int>::max();
    constexpr int n = 100000;
    std::mt19937_64 rng(11);
    // Every given value is far above what any group needs (total / alpha is
    // about 4e10): exactly the given ones are rejected. Far below, none.
    std::vector<double> huge = realistic(rng, n, 0.1);
    for (double& value : huge) {
        value = 1e300 * (1.0 + value);
    }
    std::sort(huge.begin(), huge.end());
    const std::vector<double> small = realistic(rng, n, 0.1);
    const long before = peak_resident_kib();
    const auto start = std::chrono::steady_clock::now();
    for (const bool approximate : {false, true}) {
        EXPECT_EQ(closed_ebh_count(huge.data(), n, total, 0.05, approximate, nullptr), n);
        EXPECT_EQ(closed_ebh_count(small.data(), n, total, 0.05, approximate, nullptr), 0);
    }
    EXPECT_EQ(ebh_count(huge.data(), n, total, 0.05), n);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(peak_resident_kib() - before, 64 * 1024);  // the padding alone would be 16 GiB
}

TEST(ClosedEbhCount, StopsSoonAfterTheCancelFlagIsSet) {
    CancelFlag cancel{true};
    const std::vector<double> e{1.0, 2.0};
    EXPECT_THROW(closed_ebh_count(e.data(), 2, 2, 0.05, false, &cancel), SearchCancelled);
    EXPECT_THROW(closed_ebh_count(e.data(), 2, 2, 0.05, true, &cancel), SearchCancelled);

    // Descending values out of a huge family leave the bounds nothing to
    // work with: the exact scan takes one step per count, seconds in all.
    std::vector<double> descending(1000);
    for (std::size_t t = 0; t < descending.size(); ++t) {
        descending[t] = 1e6 / static_cast<double>(t + 1);
    }
    cancel = false;
    std::chrono::steady_clock::time_point flagged;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        flagged = std::chrono::steady_clock::now();
        cancel = true;
    });
    EXPECT_THROW(closed_ebh_count(descending.data(), 1000, std::numeric_limits<int>::max(), 0.05, false, &cancel),
                 SearchCancelled);
    const auto stopped = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_LT(stopped - flagged, std::chrono::milliseconds(100));
}

void expect_same(const MeanConsistentResult& got, const MeanConsistentResult& literal, const std::string& what) {
    EXPECT_EQ(got.meanconsistent, literal.meanconsistent) << what;
    EXPECT_EQ(got.at_i_in, literal.at_i_in) << what;
    EXPECT_EQ(got.at_i_out, literal.at_i_out) << what;
}

TEST(MeanConsistencyCheck, OnAComputedProfileAndFastEqualsTheCheckOnItsVector) {
    // Every size, cold and with warm starts, on the padded vector's profile
    // and on the computed one, literal and fast: the same verdict and the
    // same reported violation. The fast check's bulk bounds leave rows that
    // fail, so its pruned probing must find the literal check's first.
    std::mt19937_64 rng(5);
    SearchCounts counts;
    int failed_after_bulk = 0;
    for (int round = 0; round < rounds(60); ++round) {
        const int n = round % 4 == 0 ? 300 : 12;
        const double dyadic = std::ldexp(1.0, -static_cast<int>(1 + rng() % 3));
        std::vector<double> given;
        switch (round % 3) {
            case 0:
                given = realistic(rng, n, 0.3);
                break;
            case 1:
                given = on_grid(rng, n, 1.0 / dyadic, 3);
                break;
            default:
                given = with_specials(rng, n, true);
                break;
        }
        const int total = n + round % 5;
        const double alpha = round % 3 == 1 ? dyadic : 0.2;
        const EvalueProfile profile(given.data(), n, total);
        std::vector<double> cum_e{0.0};
        for (const double e : padded(given, total)) {
            cum_e.push_back(cum_e.back() + e);
        }
        for (int r = 0; r <= total + 1; r += 1 + r / 16) {
            for (const auto& [warm_i_in, warm_i_out] :
                 {std::pair{-1, -1}, std::pair{r / 2 + 1, 0}, std::pair{r, total - r - 1}, std::pair{r + 3, 1}}) {
                if (warm_i_in >= 0 && (r < 1 || r >= total || warm_i_out < 0 || warm_i_out >= total - r)) {
                    continue;
                }
                const std::string what = "round " + std::to_string(round) + ", r = " + std::to_string(r) + ", warm " +
                                         std::to_string(warm_i_in) + " " + std::to_string(warm_i_out);
                const MeanConsistentResult literal = meanconsistent_cpp(cum_e, r, alpha, warm_i_in, warm_i_out);
                SearchEveryProbe every_probe;
                expect_same(check_mean_consistency(profile, r, alpha, warm_i_in, warm_i_out, every_probe), literal,
                            what);
                const std::int64_t bulk_before = counts.bulk_proofs;
                const MeanConsistentResult fast = fast_check(profile, r, alpha, warm_i_in, warm_i_out, nullptr, counts);
                expect_same(fast, literal, what + ", fast");
                expect_same(fast_check(profile, r, alpha, warm_i_in, warm_i_out, nullptr, counts, true), literal,
                            what + ", bounded early");
                failed_after_bulk += counts.bulk_proofs > bulk_before && !fast.meanconsistent;
            }
        }
    }
    EXPECT_GT(counts.bulk_proofs, 100);
    EXPECT_GT(failed_after_bulk, 20);
}

TEST(MeanConsistencyCheck, BoundEarlyFailsAcrossRowsBeforeItsBulkBound) {
    // A set of 999 values of 1 and one of 1e9 among 1,000 outside values of
    // 1: the warm row, the whole set, passes on the huge value; every row of
    // more than alpha r = 50 ordinary members violates. The check bounded
    // early gives its early bound up and finds the literal check's violation
    // in the middle of the rows below, without a bulk bound; passing checks
    // still bound their rows.
    const int m = 2000;
    const int r = 1000;
    std::vector<double> given(m, 1.0);
    given.back() = 1e9;
    const EvalueProfile profile(given.data(), m, m);
    std::vector<double> cum_e{0.0};
    for (const double e : given) {
        cum_e.push_back(cum_e.back() + e);
    }
    SearchCounts counts;
    const MeanConsistentResult fails = fast_check(profile, r, 0.05, r, 0, nullptr, counts, true);
    expect_same(fails, meanconsistent_cpp(cum_e, r, 0.05, r, 0), "failing across rows");
    EXPECT_FALSE(fails.meanconsistent);
    EXPECT_EQ(counts.early_bounds_given_up, 1);
    EXPECT_EQ(counts.bulk_proofs, 0);
    const MeanConsistentResult passes = fast_check(profile, r, 0.999, r, 0, nullptr, counts, true);
    expect_same(passes, meanconsistent_cpp(cum_e, r, 0.999, r, 0), "passing");
    EXPECT_TRUE(passes.meanconsistent);
    EXPECT_EQ(counts.early_bounds_given_up, 1);
    EXPECT_EQ(counts.bulk_proofs, 1);
}

// A check bound early as the levels run it: warm from the pair with the
// smallest target at the size's level (the smallest double at which the
// literal check passes, by bisection), at that level and the double below;
// and warm from the smallest pair of the weakest row at that row's own
// level, below the size's. The first passes: its warm row is proven clear
// near its pair, the others by the early bound. Grids and ties at 1/alpha
// keep their warm rows' searches. Every verdict and reported violation is
// the literal check's.
TEST(MeanConsistencyCheck, BoundEarlyAtTheLevelsEqualsTheLiteralCheck) {
    std::mt19937_64 rng(13);
    SearchCounts counts;
    for (int round = 0; round < rounds(6); ++round) {
        const int m = 1200;
        std::vector<double> given = realistic(rng, m, 0.1);
        if (round % 3 == 1) {
            given = on_grid(rng, m, 0.25, 60);
        } else if (round % 3 == 2) {
            std::fill(given.begin() + m / 2, given.end(), 8.0);
        }
        const EvalueProfile profile(given.data(), m, m);
        std::vector<double> cum_e{0.0};
        for (const double e : given) {
            cum_e.push_back(cum_e.back() + e);
        }
        // The smallest double in (1e-9, 1e9) at which passes holds, or 0.
        const auto level_of = [](const auto& passes) {
            double low = 1e-9;
            double high = 1e9;
            if (passes(low) || !passes(high)) {
                return 0.0;
            }
            while (std::nextafter(low, high) < high) {
                double mid = std::sqrt(low) * std::sqrt(high);
                mid = mid > low && mid < high ? mid : std::nextafter(low, high);
                (passes(mid) ? high : low) = mid;
            }
            return high;
        };
        for (int r = 30 + round * 7; r <= 300; r += 67) {
            const int s = m - r;
            const auto smallest_pair = [&](double alpha, int first_row, int last_row) {
                std::pair<double, std::pair<int, int>> smallest{INF, {0, 0}};
                for (int i_in = first_row; i_in <= last_row; ++i_in) {
                    for (int i_out = 0; i_out < s; ++i_out) {
                        smallest = std::min(
                            smallest, {compute_target(profile, i_in, i_out, s, 1.0 / (alpha * r)), {i_in, i_out}});
                    }
                }
                return smallest.second;
            };
            const double size_level =
                level_of([&](double alpha) { return meanconsistent_cpp(cum_e, r, alpha, -1, -1).meanconsistent; });
            if (size_level == 0.0) {
                continue;
            }
            const std::pair<int, int> binding = smallest_pair(size_level, 1, r);
            const std::pair<int, int> weakest = smallest_pair(size_level, 1, 1);
            const double weakest_level = level_of([&](double alpha) {
                return !(compute_target(profile, 1, weakest.second, s, 1.0 / (alpha * r)) < -TOLERANCE);
            });
            for (const auto& [alpha, pair] :
                 {std::pair{size_level, binding}, std::pair{std::nextafter(size_level, 0.0), binding},
                  std::pair{weakest_level, weakest}}) {
                const std::string what = "round " + std::to_string(round) + ", r = " + std::to_string(r) + ", row " +
                                         std::to_string(pair.first) + ", alpha " + std::to_string(alpha);
                expect_same(fast_check(profile, r, alpha, pair.first, pair.second, nullptr, counts, true),
                            meanconsistent_cpp(cum_e, r, alpha, pair.first, pair.second), what);
            }
        }
    }
    EXPECT_GT(counts.tight_rows_proven, 15);
    EXPECT_GT(counts.tight_rows_searched, 15);
    EXPECT_GT(counts.bulk_proofs, 15);
}

}  // namespace
