// Levels in the core: the scaled evaluation's bands, the search for the
// first passing double, the size search by parts and the closed BY count
// level by sizes with their fallbacks forced, the closed BY checks kept
// across levels (and the lane) against the literal check, and closed levels
// against a bisection with the literal counts, also on margin-crafted input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"

namespace {

using namespace tarvimo::common;
using tarvimo::closed_by::bracket_from_breakpoints;
using tarvimo::closed_by::bracket_from_guess;
using tarvimo::closed_by::cBY_check_cpp;
using tarvimo::closed_by::cBYCheckResult;
using tarvimo::closed_by::CertifiedCbyTuning;
using tarvimo::closed_by::closed_by_levels;
using tarvimo::closed_by::count_level_by_sizes;
using tarvimo::closed_by::CountLevel;
using tarvimo::closed_by::GUESS_STEPS;
using tarvimo::closed_by::GuessedBracket;
using tarvimo::closed_by::harmonic_numbers_cpp;
using tarvimo::closed_by::LevelChecks;
using tarvimo::closed_ebh::closed_ebh_levels;

TEST(LevelExponent, PutsEveryLevelBelow005IntoItsBand) {
    EXPECT_EQ(level_exponent(0.05), 0);
    EXPECT_EQ(level_exponent(0.5), 0);
    EXPECT_EQ(level_exponent(0.0), 0);
    EXPECT_EQ(level_exponent(std::nan("")), 0);
    EXPECT_EQ(level_exponent(double_below(0.05)), 1);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> exponent(-323.0, std::log10(0.05));
    for (int i = 0; i < 10000; ++i) {
        const double alpha = std::pow(10.0, exponent(rng));
        if (!(alpha > 0.0 && alpha < 0.05)) {
            continue;
        }
        const double scaled = std::ldexp(alpha, level_exponent(alpha));
        EXPECT_GE(scaled, 0.05) << alpha;
        EXPECT_LT(scaled, 0.1) << alpha;
    }
    EXPECT_EQ(std::ldexp(SMALLEST_LEVEL, level_exponent(SMALLEST_LEVEL)), 0.0625);
    EXPECT_EQ(scaled_pvalue(0.75, 1), 1.0);
    EXPECT_EQ(scaled_pvalue(1e-320, 60), std::ldexp(1e-320, 60));
}

TEST(FirstPassingDouble, FindsTheThresholdFromAnyGuess) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 2000; ++i) {
        const double threshold = std::pow(unit(rng), 20.0);
        if (!(threshold > 0.0)) {
            continue;
        }
        int evaluations = 0;
        const auto passes = [&](double x) {
            ++evaluations;
            return x >= threshold;
        };
        const double guess = i % 2 == 0 ? threshold * (1.0 + 1e-15) : unit(rng);
        EXPECT_EQ(first_passing_double(SMALLEST_LEVEL, 1.0, guess, passes), threshold);
        if (i % 2 == 0) {
            EXPECT_LE(evaluations, 8);  // a guess within a few ulps costs a few evaluations
        }
    }
    EXPECT_EQ(first_passing_double(0.25, 0.5, 0.3, [](double x) { return x > 0.5; }), std::nextafter(0.5, 1.0));
    EXPECT_EQ(first_passing_double(0.25, 0.5, 0.3, [](double) { return true; }), 0.25);
}

TEST(SizeLevelByParts, AgreesWithBisectionAndCountsItsFallbacks) {
    // A size made of parts with thresholds t[i]; the whole check passes when
    // all do and names the first failing part otherwise.
    const std::vector<double> thresholds{0.011, 0.3, 0.2999, 0.07};
    int failing_part = -1;
    const auto passes = [&](double alpha) {
        for (int i = 0; i < static_cast<int>(thresholds.size()); ++i) {
            if (alpha < thresholds[static_cast<std::size_t>(i)]) {
                failing_part = i;
                return false;
            }
        }
        return true;
    };
    const auto part_level = [&](double, double) { return thresholds[static_cast<std::size_t>(failing_part)]; };
    ClosedLevelCounts counts;
    EXPECT_EQ(size_level_by_parts(0.001, 0.9, passes, part_level, passes, counts), 0.3);
    EXPECT_EQ(counts.fallbacks, 0);
    EXPECT_GE(counts.parts, 1);

    // A part that cannot be judged alone: bisection with whole checks.
    ClosedLevelCounts unjudged;
    const auto no_part = [](double, double) { return -1.0; };
    EXPECT_EQ(size_level_by_parts(0.001, 0.9, passes, no_part, passes, unjudged), 0.3);
    EXPECT_EQ(unjudged.fallbacks, 1);

    // Part levels that creep up one ulp at a time (as if the parts, judged
    // alone, disagreed with the whole check): bisection after MOST_PARTS.
    ClosedLevelCounts creeping;
    const auto low_part = [&](double from, double) { return std::nextafter(from, 1.0); };
    EXPECT_EQ(size_level_by_parts(0.001, 0.9, passes, low_part, passes, creeping), 0.3);
    EXPECT_EQ(creeping.fallbacks, 1);
    EXPECT_EQ(creeping.parts, MOST_PARTS + 1);
    // A part level above the whole check's: the confirmation at the double
    // below fails, and bisection settles it.
    ClosedLevelCounts high;
    const auto high_part = [](double, double) { return 0.5; };
    EXPECT_EQ(size_level_by_parts(0.001, 0.9, passes, high_part, passes, high), 0.3);
    EXPECT_EQ(high.fallbacks, 1);
}

// The scan over sizes with a step of its own: rank t's level is the least of
// its step-up level and the thresholds of the sizes from t up (brute force),
// each size is stepped once with the running minimum after the sizes above
// it, and none is stepped once that minimum is the smallest level. The
// check-then-search scan gives the same levels and searches only the sizes
// whose threshold is below the running minimum.
TEST(ScanClosedLevels, RunningMinimumOfStepUpLevelsAndSizeThresholds) {
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(rng() % 40);
        const double max_level = round % 2 == 0 ? 1.0 : 0.1;
        std::vector<double> step_up(static_cast<std::size_t>(n));
        std::vector<double> thresholds(step_up.size());
        for (std::size_t t = 0; t < step_up.size(); ++t) {
            step_up[t] = unit(rng) < 0.3 ? unit(rng) * 0.2 : max_level;
            thresholds[t] = round % 7 == 0 && t == step_up.size() / 2 ? SMALLEST_LEVEL : unit(rng);
        }
        std::sort(step_up.begin(), step_up.end());
        std::vector<double> expected(step_up.size());
        for (int t = 0; t < n; ++t) {
            double level = step_up[static_cast<std::size_t>(t)];
            for (int r = t; r < n; ++r) {
                level = std::min(level, thresholds[static_cast<std::size_t>(r)]);
            }
            expected[static_cast<std::size_t>(t)] = std::min(level, max_level);
        }
        std::vector<double> levels = step_up;
        std::vector<int> stepped;
        scan_closed_levels(
            levels, max_level,
            [&](int r, double running) {
                EXPECT_GT(running, SMALLEST_LEVEL);
                EXPECT_EQ(running, std::min({max_level, step_up[static_cast<std::size_t>(r - 1)],
                                             r < n ? expected[static_cast<std::size_t>(r)] : max_level}));
                stepped.push_back(r);
                return std::min(running, thresholds[static_cast<std::size_t>(r - 1)]);
            },
            nullptr);
        EXPECT_EQ(levels, expected) << round;

        std::vector<double> searched = step_up;
        ClosedLevelCounts counts;
        const auto passes = [&](int r, double alpha) { return alpha >= thresholds[static_cast<std::size_t>(r - 1)]; };
        const auto failing_level = [](int) { return SMALLEST_LEVEL; };
        const auto size_level = [&](int r, double, double) { return thresholds[static_cast<std::size_t>(r - 1)]; };
        scan_closed_levels(searched, max_level, searching_step(passes, failing_level, size_level, counts), nullptr);
        EXPECT_EQ(searched, expected) << round;
        std::vector<int> live;  // the sizes entered with a running minimum above the smallest level
        long long below_running = 0;
        for (int r = n; r >= 1; --r) {
            const double running = std::min({max_level, step_up[static_cast<std::size_t>(r - 1)],
                                             r < n ? expected[static_cast<std::size_t>(r)] : max_level});
            if (running > SMALLEST_LEVEL) {
                live.push_back(r);
                below_running += thresholds[static_cast<std::size_t>(r - 1)] < running;
            }
        }
        EXPECT_EQ(stepped, live) << round;
        EXPECT_EQ(counts.searched_sizes, below_running) << round;
    }
}

// The scan in two parts gives the one-thread scan's levels at every split:
// where the lower part's minimum joins the upper part's at once, later, or
// never (each part's steps counted, the rescanned sizes among them).
TEST(ScanClosedLevels, InTwoPartsAsInOne) {
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int rejoined_late = 0;
    for (int round = 0; round < 300; ++round) {
        const int n = 2 + static_cast<int>(rng() % 60);
        const double max_level = round % 3 == 0 ? 1.0 : 0.1;
        std::vector<double> step_up(static_cast<std::size_t>(n));
        std::vector<double> thresholds(step_up.size());
        for (std::size_t t = 0; t < step_up.size(); ++t) {
            step_up[t] = unit(rng) < 0.3 ? unit(rng) * 0.2 : max_level;
            // Rising with the size, as on realistic data, or scattered.
            thresholds[t] = round % 2 == 0 ? unit(rng) : (static_cast<double>(t) + unit(rng) * 8.0) / (n + 8.0);
        }
        std::sort(step_up.begin(), step_up.end());
        const auto step = [&](int r, double running) {
            return std::min(running, thresholds[static_cast<std::size_t>(r - 1)]);
        };
        std::vector<double> expected = step_up;
        scan_closed_levels(expected, max_level, step, nullptr);
        for (int split = 0; split <= n; ++split) {
            std::vector<double> levels = step_up;
            std::vector<int> upper_sizes;
            const int rescanned = scan_closed_levels_in_two(
                levels, max_level, split,
                [&](int r, double running) {
                    upper_sizes.push_back(r);
                    return step(r, running);
                },
                step, 1 + split % 2, nullptr);
            ASSERT_EQ(levels, expected) << "round " << round << ", split " << split;
            // The upper part's steps: its own sizes, then the rescanned ones (those stepped).
            const auto own = static_cast<std::size_t>(split >= 1 && split < n ? n - split : n);
            ASSERT_GE(upper_sizes.size(), own);
            EXPECT_LE(upper_sizes.size() - own, static_cast<std::size_t>(rescanned));
            rejoined_late += rescanned > 1 ? 1 : 0;
        }
    }
    EXPECT_GT(rejoined_late, 0);
}

// Closed BY levels of a family large enough to scan in two parts, with two
// threads as with one: same levels, nearly the same checks.
TEST(ClosedLevels, TwoThreadsGiveTheLevelsOfOne) {
    std::mt19937_64 rng(21);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const double signals : {0.4}) {
        std::vector<double> p(1 << 16);
        for (std::size_t t = 0; t < p.size(); ++t) {
            const double z = normal(rng) + (static_cast<double>(t % 100) < 100.0 * signals ? 3.5 : 0.0);
            p[t] = 0.5 * std::erfc(z / std::sqrt(2.0));
        }
        std::sort(p.begin(), p.end());
        const int n = static_cast<int>(p.size());
        for (const double max_level : {1.0, 0.1}) {
            ClosedLevelCounts one;
            ClosedLevelCounts two;
            const std::vector<double> expected = closed_by_levels(p.data(), n, n, max_level, nullptr, &one, 1);
            EXPECT_EQ(closed_by_levels(p.data(), n, n, max_level, nullptr, &two, 2), expected)
                << signals << " " << max_level;
            EXPECT_GT(two.lower_part, 4096) << signals << " " << max_level;
            EXPECT_LT(two.rescanned, 8);
            EXPECT_LE(two.searched_sizes, one.searched_sizes + 8);
        }
    }
}

TEST(CountLevelBySizes, AgreesWithBisectionAndCountsItsFallbacks) {
    // Sizes 1 ... 6 with thresholds t[s]; the whole check passes when all do
    // and otherwise names the first failing size.
    const std::vector<double> thresholds{0.0, 0.011, 0.3, 0.2999, 0.07, std::nextafter(0.3, 0.0), 0.12};
    const int sizes = static_cast<int>(thresholds.size()) - 1;
    const auto own_passes = [&](int s, double alpha) { return alpha >= thresholds[static_cast<std::size_t>(s)]; };
    int whole_checks = 0;
    const auto check = [&](double alpha) {
        ++whole_checks;
        for (int s = 1; s <= sizes; ++s) {
            if (!own_passes(s, alpha)) {
                return s;
            }
        }
        return 0;
    };
    const auto own_level = [&](int s, double from, double to) {
        return bisect_levels(double_order(from), double_order(to), [&](double a) { return own_passes(s, a); });
    };
    const auto no_neighbour = [](int, double) { return 0; };
    const auto neighbour = [&](int s, double alpha) {
        for (int t = std::max(1, s - 2); t <= std::min(sizes, s + 2); ++t) {
            if (t != s && !own_passes(t, alpha)) {
                return t;
            }
        }
        return 0;
    };

    // Exact: the largest threshold, decided by its size, with every route.
    for (const int hint : {0, 1, 2, 4, 6}) {
        ClosedLevelCounts counts;
        const CountLevel found = count_level_by_sizes(0.001, 0.9, 1, hint, check, own_level, no_neighbour, counts);
        EXPECT_EQ(found.level, 0.3) << hint;
        EXPECT_EQ(found.deciding, 2) << hint;
        EXPECT_EQ(counts.fallbacks, 0);
    }
    // Neighbours judged on their own spare whole checks: from size 4, size 2
    // fails near it, and one whole check confirms (two without neighbours).
    whole_checks = 0;
    ClosedLevelCounts near;
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, 4, check, own_level, neighbour, near).level, 0.3);
    EXPECT_EQ(whole_checks, 1);
    whole_checks = 0;
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, 4, check, own_level, no_neighbour, near).level, 0.3);
    EXPECT_EQ(whole_checks, 2);
    // Size 5 passes one ulp below 0.3, where size 2 still fails.
    const CountLevel margin = count_level_by_sizes(0.001, 0.9, 1, 5, check, own_level, neighbour, near);
    EXPECT_EQ(margin.level, 0.3);
    EXPECT_EQ(margin.deciding, 2);
    EXPECT_EQ(near.fallbacks, 0);

    // A hint or a neighbour that cannot be judged alone gives way to the size
    // the whole check names.
    const auto not_five_or_six = [&](int s, double from, double to) { return s >= 5 ? -1.0 : own_level(s, from, to); };
    for (const int hint : {5, 6}) {
        ClosedLevelCounts counts;
        EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, hint, check, not_five_or_six, neighbour, counts).level, 0.3);
        EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, hint, check, not_five_or_six, no_neighbour, counts).level, 0.3);
        EXPECT_EQ(counts.fallbacks, 0);
    }
    const auto not_five = [&](int s, double from, double to) { return s == 5 ? -1.0 : own_level(s, from, to); };
    ClosedLevelCounts past_five;
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, 6, check, not_five, neighbour, past_five).level, 0.3);
    EXPECT_EQ(past_five.fallbacks, 0);

    // No size to start from, or a size the whole check names that cannot be
    // judged alone: bisection.
    ClosedLevelCounts unjudged;
    const auto no_level = [](int, double, double) { return -1.0; };
    const CountLevel bisected = count_level_by_sizes(0.001, 0.9, 1, 3, check, no_level, no_neighbour, unjudged);
    EXPECT_EQ(bisected.level, 0.3);
    EXPECT_EQ(bisected.deciding, 0);
    EXPECT_EQ(unjudged.fallbacks, 1);
    ClosedLevelCounts no_first;
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 0, 0, check, own_level, no_neighbour, no_first).level, 0.3);
    EXPECT_EQ(no_first.fallbacks, 1);
    // Own levels above the whole check's range: bisection.
    ClosedLevelCounts beyond;
    const auto too_high = [](int, double, double to) { return std::nextafter(to, 1.0); };
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, 3, check, too_high, no_neighbour, beyond).level, 0.3);
    EXPECT_EQ(beyond.fallbacks, 1);
    // Own levels that creep up one ulp at a time (as if the sizes, judged
    // alone, disagreed with the whole check): bisection after MOST_PARTS.
    ClosedLevelCounts creeping;
    const auto creep = [](int, double from, double) { return std::nextafter(from, 1.0); };
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, 3, check, creep, no_neighbour, creeping).level, 0.3);
    EXPECT_EQ(creeping.fallbacks, 1);
    EXPECT_EQ(creeping.parts, MOST_PARTS + 1);

    // Without a whole check at the top of the range: where the check passes
    // there, the same level with no check at the top; where a size fails on
    // its own at the top, a value above it and that size; where bisection is
    // needed, the top is checked first.
    const auto own_level_to = [&](int s, double from, double to) {
        return own_passes(s, to) ? own_level(s, from, to) : std::nextafter(to, 1.0);
    };
    std::vector<double> tops_checked;
    const auto recording = [&](double alpha) {
        tops_checked.push_back(alpha);
        return check(alpha);
    };
    for (const int hint : {0, 2, 4, 5}) {
        ClosedLevelCounts counts;
        tops_checked.clear();
        const CountLevel found =
            count_level_by_sizes(0.001, 0.9, 1, hint, recording, own_level_to, neighbour, counts, false);
        EXPECT_EQ(found.level, 0.3) << hint;
        EXPECT_EQ(found.deciding, 2) << hint;
        EXPECT_EQ(std::count(tops_checked.begin(), tops_checked.end(), 0.9), 0) << hint;
        const CountLevel low =
            count_level_by_sizes(0.001, 0.25, 1, hint, check, own_level_to, neighbour, counts, false);
        EXPECT_GT(low.level, 0.25) << hint;
        EXPECT_GE(low.deciding, 1) << hint;
        EXPECT_FALSE(own_passes(static_cast<int>(low.deciding), 0.25)) << hint;
    }
    ClosedLevelCounts unchecked;
    EXPECT_EQ(count_level_by_sizes(0.001, 0.25, 1, 3, check, no_level, no_neighbour, unchecked, false).level,
              std::nextafter(0.25, 1.0));
    EXPECT_EQ(unchecked.fallbacks, 0);
    EXPECT_EQ(count_level_by_sizes(0.001, 0.9, 1, 3, check, no_level, no_neighbour, unchecked, false).level, 0.3);
    EXPECT_EQ(unchecked.fallbacks, 1);
}

std::vector<double> random_family(std::mt19937_64& rng, int n) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> p(static_cast<std::size_t>(n));
    for (double& v : p) {
        const double kind = unit(rng);
        v = kind < 0.3 ? std::pow(unit(rng), 6.0) * 1e-3 : kind < 0.4 ? 0.0 : kind < 0.5 ? 1e-300 : unit(rng);
    }
    std::sort(p.begin(), p.end(), std::greater<>());
    for (double& v : p) {
        v = v == 0.0 ? tarvimo::closed_by::ZERO_REPLACEMENT : v;
    }
    return p;
}

TEST(LevelChecks, EqualTheLiteralCheckAtEveryLevelAndVersion) {
    std::mt19937_64 rng(3);
    long long literal_runs = 0;
    std::uniform_real_distribution<double> exponent(-3.0, 0.0);
    const std::vector<CertifiedCbyTuning> tunings{CertifiedCbyTuning{}, CertifiedCbyTuning{0, 1, true, true},
                                                  CertifiedCbyTuning{8, 3, true, true, 0}};
    for (int round = 0; round < 60; ++round) {
        const int n = 1 + static_cast<int>(rng() % 40);
        const int total = n + static_cast<int>(rng() % 3);
        const CertifiedCbyTuning& tuning = tunings[static_cast<std::size_t>(round) % tunings.size()];
        LevelChecks checks(n, total, nullptr, tuning);
        const std::vector<double> harmonic = harmonic_numbers_cpp(total);
        for (int version = 0; version < 4; ++version) {
            std::vector<double> p = random_family(rng, n);
            if (round % 5 == 4 && n >= 2) {
                p[static_cast<std::size_t>(n - 1)] = 2.0 * p[static_cast<std::size_t>(n - 2)];  // unsorted: literal
            }
            const int key = version % 3;  // keys come back with other values only after add
            if (!checks.select(key) || version == 3) {
                checks.add(key, p);
            } else {
                continue;
            }
            const std::vector<double> padded = padded_values(p.data(), n, total, 1.0);
            for (int probe = 0; probe < 6; ++probe) {
                const double alpha = std::pow(10.0, exponent(rng));
                for (int r = 1; r <= total; ++r) {
                    const cBYCheckResult literal = cBY_check_cpp(padded, r, harmonic, 0, alpha);
                    const tarvimo::closed_by::SizeCheck kept = checks.check(r, 0, alpha);
                    ASSERT_EQ(kept.res, literal.res) << round << " " << r << " " << alpha;
                    ASSERT_EQ(kept.at_s, literal.at_s);
                    // A size that fails on its own fails the check; a passing check has no such size.
                    for (int s = 1; s <= total; ++s) {
                        const std::optional<bool> size = checks.size_passes(r, s, alpha);
                        if (size && !*size) {
                            ASSERT_FALSE(literal.res) << round << " " << r << " " << s << " " << alpha;
                        }
                    }
                    if (!literal.res) {
                        const std::optional<bool> at = checks.size_passes(r, literal.at_s, alpha);
                        ASSERT_TRUE(!at || !*at);
                    }
                    // Whatever size comes first, the check passes or fails alike, and the
                    // lane settles a count only where the check fails at its warm size.
                    for (int warm = 1; warm <= total; warm += 1 + total / 5) {
                        const cBYCheckResult warmed = cBY_check_cpp(padded, r, harmonic, warm, alpha);
                        ASSERT_EQ(warmed.res, literal.res) << round << " " << r << " " << warm << " " << alpha;
                        if (checks.lane_fails(r, warm, alpha)) {
                            ASSERT_FALSE(warmed.res);
                            ASSERT_EQ(warmed.at_s, warm);
                        }
                    }
                }
            }
        }
        literal_runs += checks.stats().literal_runs;
    }
    EXPECT_GT(literal_runs, 0);  // the unsorted versions, checked literally
}

// A family of 2^16 with an exact zero among p-values below 1e-12: replaced by
// 1e-12 the zero breaks their order, and every check ran its literal steps
// on the whole family (minutes); the smallest value stands in for it.
TEST(ClosedLevels, ZeroAmongTinyPvaluesStaysCertified) {
    std::mt19937_64 rng(13);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> p(1 << 16);
    for (std::size_t t = 0; t < p.size(); ++t) {
        const double z = normal(rng) + (t % 10 == 0 ? 3.5 : 0.0);
        p[t] = 0.5 * std::erfc(z / std::sqrt(2.0));
    }
    p[0] = 0.0;
    p[1] = 1e-15;
    p[2] = 3e-13;
    std::sort(p.begin(), p.end());
    const int n = static_cast<int>(p.size());
    ClosedLevelCounts counts;
    const std::vector<double> levels = closed_by_levels(p.data(), n, n, 1.0, nullptr, &counts);
    EXPECT_LE(counts.fallbacks, 4);
    EXPECT_GT(counts.searched_sizes, 100);
    // At every level any value up to 1e-12 (scaled) decides as 1e-12 does:
    // the same levels as the family with 1e-300 for its zero, which stays
    // below 1e-12 in every band a level above 1e-250 is decided in (from
    // rank 2 on; rank 1's step-up level is its own).
    std::vector<double> tiny = p;
    tiny[0] = 1e-300;
    const std::vector<double> tiny_levels = closed_by_levels(tiny.data(), n, n, 1.0, nullptr);
    EXPECT_TRUE(std::equal(levels.begin() + 1, levels.end(), tiny_levels.begin() + 1));
    EXPECT_GT(levels[1], 1e-250);
}

// The p-values as the engine hands them to the core at a level of band j:
// largest first, scaled by 2^j.
std::vector<double> scaled_largest_first(const std::vector<double>& ascending, int j) {
    std::vector<double> given(ascending.rbegin(), ascending.rend());
    for (double& p : given) {
        p = scaled_pvalue(p, j);
    }
    return given;
}

// The engine's closed BY count at alpha (scaled below 0.05) from the literal
// routines on the padded, scaled family.
int literal_closed_by_count(const std::vector<double>& ascending, int total, double alpha) {
    const int j = level_exponent(alpha);
    const int n = static_cast<int>(ascending.size());
    const std::vector<double> given = scaled_largest_first(ascending, j);
    const std::vector<double> padded = padded_values(given.data(), n, total, 1.0);
    const double scaled = std::ldexp(alpha, j);
    const int step_up = tarvimo::closed_by::BY_cpp(padded, harmonic_numbers_cpp(total), scaled);
    return std::min(n, std::max(step_up, tarvimo::closed_by::largestcBYsignificant_cpp(padded, scaled)));
}

int literal_closed_ebh_count(const std::vector<double>& descending, int total, double alpha) {
    const int n = static_cast<int>(descending.size());
    const std::vector<double> ascending(descending.rbegin(), descending.rend());
    const std::vector<double> padded = padded_values(ascending.data(), n, total, 0.0);
    return std::min(n, std::max(tarvimo::closed_ebh::eBH_cpp(padded, alpha),
                                tarvimo::closed_ebh::largestmeanconsistent_cpp(padded, alpha)));
}

// The level of rank t by bisection on the bits of alpha in (0, max_level).
// A guess a few doubles from the threshold settles the bracket in a few
// probes; a far one, or one outside the range, leaves it to the search. The
// bisection of the bracket finds the threshold either way, and every bound
// the guess moved was seen on its side.
TEST(BracketFromGuess, SettlesNearGuessesAndLeavesTheRestToTheSearch) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const long long offsets[] = {0, 1, -1, 2, -3, 7, -8, 14, -15, 15, -16, 100, -100, 1LL << 40};
    for (int i = 0; i < 300; ++i) {
        const double threshold = 0.01 + 0.9 * unit(rng);
        const double failing = threshold * 0.5;
        const double passing = threshold * 1.05;
        for (const long long offset : offsets) {
            int evaluations = 0;
            const auto passes = [&](double x) {
                ++evaluations;
                return x >= threshold;
            };
            const double guess = double_at_order(double_order(threshold) + offset);
            const GuessedBracket bracket = bracket_from_guess(failing, passing, guess, passes);
            EXPECT_LE(evaluations, GUESS_STEPS + 1);
            // The gallop's probes lie 1, 3, 7, ... doubles from the guess.
            const long long reach = (1LL << GUESS_STEPS) - 1;
            EXPECT_EQ(bracket.settled, (offset >= 0 ? offset : -offset - 1) < reach) << offset;
            EXPECT_TRUE(bracket.known_false == double_order(failing) || !passes(double_at_order(bracket.known_false)));
            EXPECT_TRUE(passes(double_at_order(bracket.known_true)));
            EXPECT_EQ(bisect_levels(bracket.known_false, bracket.known_true, passes), threshold) << offset;
        }
        int evaluations = 0;
        const auto counted = [&](double x) {
            ++evaluations;
            return x >= threshold;
        };
        for (const double outside : {failing, passing * 1.01, -1.0}) {
            const GuessedBracket bracket = bracket_from_guess(failing, passing, outside, counted);
            EXPECT_FALSE(bracket.settled);
            EXPECT_EQ(bracket.known_false, double_order(failing));
            EXPECT_EQ(bracket.known_true, double_order(passing));
        }
        EXPECT_EQ(evaluations, 0);
    }
}

// Bisecting over breakpoints settles a threshold that is one of them in
// about log2 of their count probes plus one at the double below, and leaves
// one between them (or breakpoints outside the bracket) to the bisection,
// with every bound observed.
TEST(BracketFromBreakpoints, SettlesAThresholdAtABreakpointAndLeavesTheRest) {
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 300; ++i) {
        const double threshold = 0.01 + 0.9 * unit(rng);
        const std::int64_t failing = double_order(threshold * 0.999);
        const std::int64_t passing = double_order(threshold * 1.001);
        std::vector<double> breakpoints{threshold * 0.5, threshold * 2.0};  // outside: never probed
        for (int k = 0; k < 1 + i % 40; ++k) {
            breakpoints.push_back(threshold * (0.999 + 0.002 * unit(rng)));
        }
        const bool among = i % 3 != 0;
        if (among) {
            breakpoints.push_back(threshold);
        } else {
            breakpoints.erase(std::remove(breakpoints.begin(), breakpoints.end(), threshold), breakpoints.end());
        }
        std::sort(breakpoints.begin(), breakpoints.end());
        int evaluations = 0;
        const auto passes = [&](double x) {
            ++evaluations;
            EXPECT_GT(double_order(x), failing);
            EXPECT_LT(double_order(x), passing);
            return x >= threshold;
        };
        const GuessedBracket bracket = bracket_from_breakpoints(failing, passing, breakpoints, passes);
        EXPECT_LE(evaluations, static_cast<int>(std::ceil(std::log2(static_cast<double>(breakpoints.size())))) + 2);
        if (among) {
            EXPECT_TRUE(bracket.settled);
        }
        EXPECT_TRUE(bracket.known_false == failing || !passes(double_at_order(bracket.known_false)));
        EXPECT_TRUE(bracket.known_true == passing || passes(double_at_order(bracket.known_true)));
        EXPECT_EQ(bisect_levels(bracket.known_false, bracket.known_true, passes), threshold) << i;
    }
    int evaluations = 0;
    const auto counted = [&](double) { return ++evaluations > 0; };
    const GuessedBracket empty = bracket_from_breakpoints(double_order(0.1), double_order(0.2), {}, counted);
    EXPECT_FALSE(empty.settled);
    EXPECT_EQ(evaluations, 0);
}

template <typename Count>
double bisected_rank_level(int t, double max_level, const Count& count) {
    const double level =
        bisect_levels(double_order(0.0), double_order(max_level), [&](double alpha) { return count(alpha) >= t; });
    return level < max_level ? level : max_level;
}

TEST(ClosedLevels, EqualABisectionWithTheLiteralCounts) {
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long long parts = 0;
    long long fallbacks = 0;
    for (int round = 0; round < 40; ++round) {
        const int n = 1 + static_cast<int>(rng() % 7);
        const int total = n + static_cast<int>(rng() % 2);
        const double max_level = round % 4 == 0 ? 0.1 : 1.0;
        std::vector<double> p(static_cast<std::size_t>(n));
        for (double& v : p) {
            v = unit(rng) < 0.2 ? 0.0 : std::pow(unit(rng), 5.0);
        }
        std::sort(p.begin(), p.end());
        ClosedLevelCounts by_counts;
        const std::vector<double> by_levels = closed_by_levels(p.data(), n, total, max_level, nullptr, &by_counts);
        std::vector<double> e(p.size());
        std::transform(p.begin(), p.end(), e.begin(), [](double v) { return v == 0.0 ? INFINITY : 1.0 / v; });
        ClosedLevelCounts ebh_counts;
        const std::vector<double> ebh_levels = closed_ebh_levels(e.data(), n, total, max_level, nullptr, &ebh_counts);
        for (int t = 1; t <= n; ++t) {
            EXPECT_EQ(by_levels[static_cast<std::size_t>(t - 1)],
                      bisected_rank_level(t, max_level,
                                          [&](double alpha) { return literal_closed_by_count(p, total, alpha); }))
                << round << " " << t;
            EXPECT_EQ(ebh_levels[static_cast<std::size_t>(t - 1)],
                      bisected_rank_level(t, max_level,
                                          [&](double alpha) { return literal_closed_ebh_count(e, total, alpha); }))
                << round << " " << t;
        }
        parts += by_counts.parts + ebh_counts.parts;
        fallbacks += by_counts.fallbacks + ebh_counts.fallbacks;
    }
    // Sizes settled by their parts, and (rarely: a padded family here) by
    // bisection with whole checks; the levels are the bisection's either way.
    EXPECT_GT(parts, 0);
    EXPECT_LE(fallbacks, 4);
    RecordProperty("fallbacks", static_cast<int>(fallbacks));
}

// Ten p-values of a family of 130 whose ceilings at the whole family (2, 3,
// 12, 35, 98, 103, 107, 109, 121, 124) have reciprocals 7.1e-12 short of 1,
// mid-way in them at 0.999 * 0.05. Below 0.05 the strongest one's check
// passes (short by up to 1e-11 is enough there, 5e-12 from 0.05 on), at
// 0.05 it fails with the same ceilings, and it passes again once 124 falls to
// 123. Its level is that crossing, searched again above the edge, not the
// one below it that the search meets first; with max_level 0.05 it is that
// one, the bisection's.
TEST(ClosedLevels, HoldAtTheBandEdgesAboveThem) {
    const std::vector<double> p{7.087188212574161e-05, 0.00017629821424313834, 0.0008109717855184364,
                                0.0024329153565553095, 0.006875630355482395,   0.007228226783968673,
                                0.0075103039267576934, 0.007651342498152205,   0.008497573926519269,
                                0.008709131783611034};
    const int total = 130;
    const auto count = [&](double alpha) { return literal_closed_by_count(p, total, alpha); };
    ASSERT_EQ(count(double_below(0.05)), 1);
    ASSERT_EQ(count(0.05), 0);
    ClosedLevelCounts counts;
    const std::vector<double> levels = closed_by_levels(p.data(), 10, total, 1.0, nullptr, &counts);
    EXPECT_GE(counts.edge_searches, 1);
    EXPECT_GT(levels[0], 0.05);
    EXPECT_EQ(count(levels[0]), 1);
    EXPECT_EQ(count(double_below(levels[0])), 0);
    for (double alpha = levels[0]; alpha < 0.06; alpha += 1e-4) {
        EXPECT_GE(count(alpha), 1) << alpha;
    }
    ClosedLevelCounts below_counts;
    const std::vector<double> below = closed_by_levels(p.data(), 10, total, 0.05, nullptr, &below_counts);
    EXPECT_LT(below[0], 0.05);
    EXPECT_EQ(below[0], bisected_rank_level(1, 0.05, count));
    EXPECT_EQ(below_counts.edge_searches, 0);
}

// Levels far below 0.05 evaluate the family scaled by up to 2^1070: p-values
// near 1e-300 and subnormal ones (scaled exactly, past the largest power of
// two that is a double) get the bisection's levels too.
TEST(ClosedLevels, TinyAndSubnormalPvaluesAsABisection) {
    const std::vector<std::vector<double>> families{
        {5e-324, 1e-320, 3e-310, 1e-300, 0.02, 0.5},
        {0.0, 4e-323, 4e-323, 2e-308, 1e-200, 1e-100, 0.9},
        {1e-310, 1e-309, 1e-308, 1e-307},
    };
    for (const std::vector<double>& p : families) {
        const int n = static_cast<int>(p.size());
        for (const int total : {n, n + 3}) {
            const std::vector<double> levels = closed_by_levels(p.data(), n, total, 1.0, nullptr);
            for (int t = 1; t <= n; ++t) {
                EXPECT_EQ(
                    levels[static_cast<std::size_t>(t - 1)],
                    bisected_rank_level(t, 1.0, [&](double alpha) { return literal_closed_by_count(p, total, alpha); }))
                    << p[0] << " " << total << " " << t;
            }
        }
    }
}

// Families on the margins: p-values on BY lines k alpha / (m H_m) for a few
// alphas, nudged by a few ulps, with ties, zeros or tiny values, some with
// omitted values; closed BY levels equal the bisection with literal counts.
// A family with both zeros and values below their stand-in 1e-12 is not
// sorted once the zeros are replaced: its checks run literally, no size is
// judged alone, and its searched sizes fall back to bisection.
TEST(ClosedLevels, EqualABisectionOnMarginCraftedFamilies) {
    std::mt19937_64 rng(5);
    const double line_levels[] = {0.05, 0.1, 0.3, 0.02};
    ClosedLevelCounts sorted_counts;
    ClosedLevelCounts unsorted_counts;
    for (int round = 0; round < 30; ++round) {
        const int n = 5 + static_cast<int>(rng() % 20);
        const int total = n + (round % 3 == 0 ? static_cast<int>(rng() % 3) : 0);
        const double line = line_levels[round % 4];
        const bool unsorted = round % 5 == 4;
        const double tiny = unsorted || round % 2 == 0 ? 1e-300 : 0.0;
        const double factor = static_cast<double>(total) * harmonic_numbers_cpp(total)[static_cast<std::size_t>(total)];
        std::vector<double> p(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const int k = 1 + static_cast<int>(rng() % static_cast<unsigned>(n));
            double v = static_cast<double>(k) * line / factor;
            for (int ulps = static_cast<int>(rng() % 7) - 3; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
                v = std::nextafter(v, ulps > 0 ? 1.0 : 0.0);
            }
            const unsigned kind = static_cast<unsigned>(rng() % 10);
            p[static_cast<std::size_t>(i)] = kind == 0 ? tiny : kind == 2 && i > 0 ? p[0] : v;
        }
        if (unsorted) {
            p[0] = 0.0;
            p[1] = 1e-300;
        }
        std::sort(p.begin(), p.end());
        const double max_level = round % 2 == 0 ? 1.0 : 0.1;
        ClosedLevelCounts& counts = unsorted ? unsorted_counts : sorted_counts;
        const std::vector<double> levels = closed_by_levels(p.data(), n, total, max_level, nullptr, &counts);
        for (int t = 1; t <= n; ++t) {
            EXPECT_EQ(levels[static_cast<std::size_t>(t - 1)],
                      bisected_rank_level(t, max_level,
                                          [&](double alpha) { return literal_closed_by_count(p, total, alpha); }))
                << round << " " << t;
        }
    }
    EXPECT_GT(sorted_counts.parts, sorted_counts.searched_sizes);
    EXPECT_GT(sorted_counts.settled_checks, 0);
    EXPECT_LE(sorted_counts.fallbacks, 4);
    // A zero among values below 1e-12 would break their order once replaced
    // by 1e-12; the smallest value stands in for it, and the checks stay
    // certified: the bisection's levels without whole checks.
    EXPECT_EQ(unsorted_counts.fallbacks, 0);
    // Sizes' own levels both settled from the guess (the last own level
    // scaled by the size factor) and searched without it: equal either way.
    EXPECT_GT(sorted_counts.guess_misses, 0);
    EXPECT_LT(sorted_counts.guess_misses, sorted_counts.parts);
    // Counts searched by their sizes without the whole check below the
    // running minimum, some of them ending there unsearched: equal either way.
    EXPECT_GT(sorted_counts.sizes_first, sorted_counts.failed_on_top);
    EXPECT_GT(sorted_counts.failed_on_top, 0);
    RecordProperty("fallbacks", static_cast<int>(sorted_counts.fallbacks));
}

// Blocks of a quarter of the ranks on the BY line, the others at 1: after
// each searched count the next ones fail below the running minimum, where
// their sizes judged alone pass and their own levels climb one after another
// (some 70,000 sizes at m = 3,000 when every count was searched by its sizes
// first). The scan checks such counts first again: a few sizes per searched
// count, the bisection's levels at m = 300.
TEST(ClosedLevels, BlocksOnTheByLineDoNotClimbThroughSizes) {
    for (const int m : {300, 3000}) {
        const double h = harmonic_numbers_cpp(m)[static_cast<std::size_t>(m)];
        const int block = m / 4;
        std::vector<double> p(static_cast<std::size_t>(m));
        for (int k = 1; k <= m; ++k) {
            p[static_cast<std::size_t>(k - 1)] = ((k - 1) / block) % 2 == 0 ? k * 0.05 / (m * h) : 1.0;
        }
        std::sort(p.begin(), p.end());
        ClosedLevelCounts counts;
        const std::vector<double> levels = closed_by_levels(p.data(), m, m, 1.0, nullptr, &counts);
        EXPECT_GT(counts.searched_sizes, 10) << m;
        EXPECT_LT(counts.parts, 10 * counts.searched_sizes) << m;
        if (m == 300) {
            for (int t = 1; t <= m; t += 7) {
                EXPECT_EQ(
                    levels[static_cast<std::size_t>(t - 1)],
                    bisected_rank_level(t, 1.0, [&](double alpha) { return literal_closed_by_count(p, m, alpha); }))
                    << t;
            }
        }
    }
}

// The z-scores of a realistic family of m: the first tenth signals of mean
// 3, the rest nulls, drawn from `normal` in order.
std::vector<double> signal_z_scores(std::mt19937_64& rng, std::normal_distribution<double>& normal, int m) {
    std::vector<double> z(static_cast<std::size_t>(m));
    for (int t = 0; t < m; ++t) {
        z[static_cast<std::size_t>(t)] = normal(rng) + (t < m / 10 ? 3.0 : 0.0);
    }
    return z;
}

// Realistic families (10% signals, normal z-scores of mean 3): a count's own
// levels rise from size to size, and the search gallops along them from the
// second step on. The levels are the bisection's with literal counts.
TEST(ClosedLevels, ClimbsAlongRisingOwnLevelsAsABisection) {
    std::mt19937_64 rng(8);
    std::normal_distribution<double> normal;
    ClosedLevelCounts counts;
    for (const int m : {400, 1500}) {
        std::vector<double> p = signal_z_scores(rng, normal, m);
        for (double& v : p) {
            v = 0.5 * std::erfc(v / std::sqrt(2.0));
        }
        std::sort(p.begin(), p.end());
        const std::vector<double> levels = closed_by_levels(p.data(), m, m, 1.0, nullptr, &counts);
        for (int t = 1; t <= m; t += m / 40) {
            EXPECT_EQ(levels[static_cast<std::size_t>(t - 1)],
                      bisected_rank_level(t, 1.0, [&](double alpha) { return literal_closed_by_count(p, m, alpha); }))
                << m << " " << t;
        }
    }
    EXPECT_GT(counts.climbs, 0);
    RecordProperty("climbs", static_cast<int>(counts.climbs));
}

// The engine's closed BY count by the certified searches (equal to the
// literal routines' counts, test_fast_check.cpp), fast enough to bisect ranks
// of a family of tens of thousands.
int certified_closed_by_count(const std::vector<double>& ascending, int total, double alpha) {
    const int j = level_exponent(alpha);
    const int n = static_cast<int>(ascending.size());
    const std::vector<double> given = scaled_largest_first(ascending, j);
    const double scaled = std::ldexp(alpha, j);
    const std::int64_t step_up = tarvimo::closed_by::by_count(given.data(), n, total, scaled);
    const std::int64_t closed = tarvimo::closed_by::closed_by_count(given.data(), n, total, scaled, false, nullptr);
    return static_cast<int>(std::min<std::int64_t>(n, std::max(step_up, closed)));
}

// Sizes above the listing limit (thousands of values) whose first overlap's
// guess misses list only the breakpoints of a few values at the ends of their
// loops; the levels stay the bisection's, with omitted values too.
TEST(ClosedLevels, LargeSizesSettleAtTheirLoopEndsBreakpointsAsABisection) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    const int m = 30000;
    std::vector<double> p = signal_z_scores(rng, normal, m);
    for (double& v : p) {
        v = 0.5 * std::erfc(v / std::sqrt(2.0));
    }
    std::sort(p.begin(), p.end());
    for (const int total : {m, 2 * m}) {
        ClosedLevelCounts counts;
        const std::vector<double> levels = closed_by_levels(p.data(), m, total, 1.0, nullptr, &counts);
        const auto below = static_cast<int>(std::lower_bound(levels.begin(), levels.end(), 1.0) - levels.begin());
        ASSERT_GT(below, 100);
        for (int t = 1; t <= below; t += below / 12) {
            EXPECT_EQ(
                levels[static_cast<std::size_t>(t - 1)],
                bisected_rank_level(t, 1.0, [&](double alpha) { return certified_closed_by_count(p, total, alpha); }))
                << total << " " << t;
        }
        EXPECT_GT(counts.guess_misses, counts.break_misses);
        RecordProperty("guess_misses", static_cast<int>(counts.guess_misses));
    }
}

// On the BY line (scaled, in ties of two, with omitted values) every own
// level of a size lies at a breakpoint of its values, where a cut-off lifts
// or a ceiling falls, and the first overlap's guess misses: the sizes are
// settled by bisecting over their breakpoints, with the bisection's levels;
// the few that are not (brackets across a band edge or holding too many
// breakpoints) are bisected.
TEST(ClosedLevels, SizesOnTheByLineSettleAtBreakpointsAsABisection) {
    ClosedLevelCounts counts;
    for (const double scale : {2.0, 0.5, 1.0}) {
        for (const int extra : {0, 7}) {
            const int n = 90;
            const int total = n + extra;
            const double factor =
                static_cast<double>(total) * harmonic_numbers_cpp(total)[static_cast<std::size_t>(total)];
            std::vector<double> p(static_cast<std::size_t>(n));
            for (int k = 1; k <= n; ++k) {
                const int rank = scale == 1.0 ? (k + 1) / 2 * 2 : k;  // ties of two on the plain line
                p[static_cast<std::size_t>(k - 1)] = std::min(1.0, scale * (rank * 0.05 / factor));
            }
            const std::vector<double> levels = closed_by_levels(p.data(), n, total, 1.0, nullptr, &counts);
            for (int t = 1; t <= n; t += 11) {
                EXPECT_EQ(
                    levels[static_cast<std::size_t>(t - 1)],
                    bisected_rank_level(t, 1.0, [&](double alpha) { return literal_closed_by_count(p, total, alpha); }))
                    << scale << " " << total << " " << t;
            }
        }
    }
    EXPECT_GT(counts.guess_misses, 100);
    EXPECT_LE(counts.break_misses * 10, counts.guess_misses);
    EXPECT_GT(counts.break_misses, 0);  // and a few are bisected after all, alike
    RecordProperty("break_misses", static_cast<int>(counts.break_misses));
}
}  // namespace

namespace {

// The closed e-BH count of the families engine with the fast exact search
// (equal to the literal one, see test_fast_search.cpp), fast enough to
// bisect every rank of a few hundred e-values.
int fast_closed_ebh_count(const std::vector<double>& descending, int total, double alpha) {
    const int n = static_cast<int>(descending.size());
    const std::vector<double> ascending(descending.rbegin(), descending.rend());
    const std::vector<double> padded = padded_values(ascending.data(), n, total, 0.0);
    const int closed = tarvimo::closed_ebh::closed_ebh_count(ascending.data(), n, total, alpha, false, nullptr);
    return std::min(n, std::max(tarvimo::closed_ebh::eBH_cpp(padded, alpha), closed));
}

ClosedLevelCounts expect_closed_ebh_levels_bisected(std::vector<double> e, int total, double max_level) {
    std::sort(e.begin(), e.end(), std::greater<>());
    const int n = static_cast<int>(e.size());
    ClosedLevelCounts counts;
    const std::vector<double> levels = closed_ebh_levels(e.data(), n, total, max_level, nullptr, &counts);
    for (int t = 1; t <= n; ++t) {
        EXPECT_EQ(
            levels[static_cast<std::size_t>(t - 1)],
            bisected_rank_level(t, max_level, [&](double alpha) { return fast_closed_ebh_count(e, total, alpha); }))
            << "rank " << t << " of " << n;
    }
    return counts;
}

// Realistic families (10% signals of mean 3, likelihood-ratio e-values):
// nearly every searched size is settled by its guessed pair with two checks.
TEST(ClosedEbhLevels, GuessedPairsSettleRealisticFamilies) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    ClosedLevelCounts counts;
    for (const int m : {60, 300}) {
        std::vector<double> e = signal_z_scores(rng, normal, m);
        for (double& v : e) {
            v = std::exp(3.0 * v - 4.5);
        }
        for (const double max_level : {1.0, 0.1}) {
            const ClosedLevelCounts one = expect_closed_ebh_levels_bisected(e, m, max_level);
            counts.searched_sizes += one.searched_sizes;
            counts.guess_misses += one.guess_misses;
            counts.settled_checks += one.settled_checks;
        }
    }
    EXPECT_GT(counts.searched_sizes, 20);
    EXPECT_LE(counts.guess_misses * 10, counts.searched_sizes);
    EXPECT_GT(counts.settled_checks, 0);
}

// Closed e-BH levels of a family large enough to scan in two parts: with
// two threads as with one.
TEST(ClosedEbhLevels, TwoThreadsGiveTheLevelsOfOne) {
    std::mt19937_64 rng(23);
    std::normal_distribution<double> normal;
    std::vector<double> e(1 << 16);
    for (std::size_t t = 0; t < e.size(); ++t) {
        e[t] = std::exp(3.0 * (normal(rng) + (t % 10 < 3 ? 3.0 : 0.0)) - 4.5);
    }
    std::sort(e.begin(), e.end(), std::greater<>());
    const std::vector<double> ascending(e.rbegin(), e.rend());
    const tarvimo::closed_ebh::EvalueProfile profile(ascending.data(), static_cast<std::int64_t>(e.size()),
                                                     static_cast<std::int64_t>(e.size()));
    for (const double max_level : {1.0, 0.1}) {
        ClosedLevelCounts one;
        ClosedLevelCounts two;
        const std::vector<double> expected = closed_ebh_levels(e.data(), profile, max_level, nullptr, &one, 1);
        EXPECT_EQ(closed_ebh_levels(e.data(), profile, max_level, nullptr, &two, 2), expected) << max_level;
        EXPECT_GT(two.lower_part, 4096) << max_level;
        EXPECT_LT(two.rescanned, 8);
        EXPECT_EQ(two.searched_sizes, one.searched_sizes);
    }
}

// A set whose weakest half is equal and whose strongest half is huge binds
// at its middle row, a row the guess does not try at first: the size goes
// the way of a size without guess, and the levels stay the bisection's.
TEST(ClosedEbhLevels, MissedGuessesFallBackToParts) {
    std::vector<double> e(50, 40.0);
    e.insert(e.end(), 50, 1e6);
    const ClosedLevelCounts counts = expect_closed_ebh_levels_bisected(e, 140, 1.0);
    EXPECT_GT(counts.guess_misses, 0);
    EXPECT_GT(counts.parts, 0);
}

// Margins: e-values on the requirement 1 / (alpha r) of a size and a few
// ulps around it, ties, zeros, an infinite e-value, omitted hypotheses.
TEST(ClosedEbhLevels, EqualTheBisectionOnMarginCraftedFamilies) {
    std::mt19937_64 rng(6);
    long long searched = 0;
    for (int round = 0; round < 30; ++round) {
        const int n = 3 + static_cast<int>(rng() % 20);
        const int total = n + static_cast<int>(rng() % 3);
        const double alpha = round % 2 == 0 ? 0.05 : 0.1;
        std::vector<double> e(static_cast<std::size_t>(n));
        for (int t = 0; t < n; ++t) {
            const int r = 1 + static_cast<int>(rng() % n);
            double v = 1.0 / (alpha * r) * (1.0 + static_cast<double>(rng() % 5) * 0.25);
            for (int ulps = static_cast<int>(rng() % 7) - 3; ulps != 0; ulps += ulps > 0 ? -1 : 1) {
                v = std::nextafter(v, ulps > 0 ? INFINITY : 0.0);
            }
            const int kind = static_cast<int>(rng() % 12);
            e[static_cast<std::size_t>(t)] = kind == 0 ? 0.0 : kind == 1 ? INFINITY : v;
        }
        if (round % 3 == 0) {
            std::fill(e.begin(), e.begin() + n / 2, e[0]);  // ties
        }
        searched += expect_closed_ebh_levels_bisected(e, total, round % 4 == 0 ? 0.1 : 1.0).searched_sizes;
    }
    EXPECT_GT(searched, 30);
}

}  // namespace

namespace {

// Tied e-values make rows flat within rounding, where the check can pass and
// fail by turns as alpha grows (300 values of 10: 26, 27, 27, 18, 31, 0, 0,
// 36 ... rejections over consecutive doubles just below 0.1). A crossing found
// from a guess need not be the size's first there, so such guesses are not
// trusted: the sizes take the route by parts, as before guesses existed.
TEST(ClosedEbhLevels, GuessesOnTiedValuesAreNotTrusted) {
    const std::vector<double> tied(300, 10.0);
    ClosedLevelCounts counts;
    const std::vector<double> levels = closed_ebh_levels(tied.data(), 300, 300, 1.0, nullptr, &counts);
    EXPECT_GT(counts.guess_misses, 0);
    EXPECT_GE(counts.guess_misses, counts.searched_sizes);  // every searched size went by parts
    EXPECT_EQ(levels.front(), 0.09999999999999973);         // where 36 are first rejected from 0 below
    EXPECT_TRUE(std::is_sorted(levels.begin(), levels.end()));
}

}  // namespace

namespace {

using tarvimo::closed_ebh::EvalueProfile;
using tarvimo::closed_ebh::monotone_rows_end;
using tarvimo::closed_ebh::row_is_monotone;
using tarvimo::closed_ebh::row_minimum;
using tarvimo::closed_ebh::weakest_row_loses;

// The minimum row_minimum looks for, found by reading every i_out: the first
// where the next outside value is not below the group's mean so far.
std::int64_t first_minimum_by_scan(const EvalueProfile& profile, std::int64_t set_offset, int i_in) {
    const double inside = (profile[set_offset + i_in] - profile[set_offset]) + 1e-12;
    std::int64_t j = 0;
    while (j < set_offset && profile.value(j) < (inside + profile[j]) / static_cast<double>(i_in + j)) {
        ++j;
    }
    return j;
}

// Whether that predicate holds again after failing somewhere on the row.
bool row_predicate_turns_back(const EvalueProfile& profile, std::int64_t set_offset, int i_in) {
    const double inside = (profile[set_offset + i_in] - profile[set_offset]) + 1e-12;
    bool held = false;
    for (std::int64_t j = 0; j < set_offset; ++j) {
        const bool at = !(profile.value(j) < (inside + profile[j]) / static_cast<double>(i_in + j));
        if (held && !at) {
            return true;
        }
        held = held || at;
    }
    return false;
}

// Where no two neighbouring e-values are nearly tied, a row's minimum is the
// same from every hint (the guesses then start each row from its own last
// minimum); on tied values rows exist whose predicate turns back, and there
// the rows are not taken as monotone.
TEST(RowMinimum, EqualsTheScanFromEveryHintOnMonotoneRows) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    std::vector<double> realistic(1500);
    for (std::size_t t = 0; t < realistic.size(); ++t) {
        realistic[t] = std::exp(3.0 * (normal(rng) + (t % 10 == 0 ? 3.0 : 0.0)) - 4.5);
    }
    std::sort(realistic.begin(), realistic.end());
    std::vector<double> near_tie = realistic;
    near_tie[700] = std::nextafter(near_tie[699], INFINITY);
    for (const auto& [given, total] :
         {std::pair{realistic, 1500}, std::pair{realistic, 1600}, std::pair{near_tie, 1500}}) {
        const int n = static_cast<int>(given.size());
        const EvalueProfile profile(given.data(), n, total);
        const std::int64_t end = monotone_rows_end(profile);
        EXPECT_EQ(end, given == near_tie ? 700 + total - n : total);
        int monotone = 0;
        for (int r = 1; r < n; r += 1 + r / 3) {
            const std::int64_t s = total - r;
            for (int i_in = 1; i_in <= r; i_in += 1 + i_in / 2) {
                EXPECT_EQ(row_is_monotone(profile, s, i_in, end), s <= end);
                if (!row_is_monotone(profile, s, i_in, end)) {
                    continue;
                }
                ++monotone;
                const std::int64_t expected = first_minimum_by_scan(profile, s, i_in);
                for (const std::int64_t hint : {std::int64_t{0}, s, s / 3, expected - 1, expected + 1,
                                                static_cast<std::int64_t>(rng() % (s + 1))}) {
                    ASSERT_EQ(row_minimum(profile, s, i_in, hint).first, expected) << r << " " << i_in << " " << hint;
                }
            }
        }
        EXPECT_GT(monotone, 20);
    }
    // 300 e-values of 15.02: the running sums round, and the predicate of
    // the weakest rows turns back; those rows are not monotone.
    const std::vector<double> tied(300, 15.02);
    const EvalueProfile profile(tied.data(), 300, 300);
    EXPECT_EQ(monotone_rows_end(profile), 1);
    EXPECT_TRUE(row_predicate_turns_back(profile, 298, 1));
    EXPECT_FALSE(row_is_monotone(profile, 298, 1, monotone_rows_end(profile)));
}

// A near tie among the weakest e-values of a realistic family makes every
// row not monotone: the guesses keep their chained hints (counted), and the
// levels are the bisection's all the same; with no near tie, none is chained.
TEST(ClosedEbhLevels, RowsNotMonotoneKeepTheirChainedHints) {
    std::mt19937_64 rng(12);
    std::normal_distribution<double> normal;
    std::vector<double> e(300);
    for (std::size_t t = 0; t < e.size(); ++t) {
        e[t] = std::exp(3.0 * (normal(rng) + (t < 30 ? 3.0 : 0.0)) - 4.5);
    }
    const ClosedLevelCounts distinct = expect_closed_ebh_levels_bisected(e, 300, 1.0);
    EXPECT_GT(distinct.searched_sizes, 10);
    EXPECT_EQ(distinct.chained_hints, 0);
    const auto weakest = std::min_element(e.begin(), e.end());
    std::vector<double> tied_pair = e;
    tied_pair.push_back(*weakest);
    const ClosedLevelCounts chained = expect_closed_ebh_levels_bisected(tied_pair, 301, 1.0);
    EXPECT_GT(chained.chained_hints, 0);
}

// A weakest row is left unsearched only where no threshold its search could
// compute, at any i_out, lies below the best: checked against every i_out on
// realistic, grid and tied values with omitted zeros, from j at the row's
// minimum and elsewhere, with bests just below and above the row's smallest
// threshold. Realistic families at 10^4 leave most weakest rows unsearched.
TEST(WeakestRowLoses, NoThresholdOfTheRowLiesBelowTheBestItBeats) {
    std::mt19937_64 rng(8);
    std::normal_distribution<double> normal;
    long long shown = 0;
    long long refused = 0;
    for (int round = 0; round < 12; ++round) {
        const int n = 600;
        std::vector<double> e(static_cast<std::size_t>(n));
        for (double& v : e) {
            v = round % 3 == 0   ? std::exp(3.0 * (normal(rng) + (rng() % 10 == 0 ? 3.0 : 0.0)) - 4.5)
                : round % 3 == 1 ? static_cast<double>(rng() % 7) * 0.5
                                 : 2.0;
        }
        std::sort(e.begin(), e.end());
        const EvalueProfile profile(e.data(), n, n + (round % 2) * 30);
        const std::int64_t end = monotone_rows_end(profile);
        for (int r = 20; r <= n; r += 97) {
            const std::int64_t s = profile.total() - r;
            for (int i_in = 1; i_in <= 4; ++i_in) {
                if (!row_is_monotone(profile, s, i_in, end)) {
                    continue;
                }
                const double inside = (profile[s + i_in] - profile[s]) + 1e-12;
                double smallest = INFINITY;
                std::int64_t at = 0;
                for (std::int64_t k = 0; k <= s; ++k) {
                    const double threshold = ((inside + profile[k]) / static_cast<double>(i_in + k)) / i_in;
                    if (threshold < smallest) {
                        smallest = threshold;
                        at = k;
                    }
                }
                for (const std::int64_t j :
                     {std::min(at, s - 1), at / 2, s - 1, static_cast<std::int64_t>(rng() % s)}) {
                    for (const double best : {smallest * 0.5, smallest * 0.999, smallest, smallest * 1.001}) {
                        const bool loses = weakest_row_loses(profile, s, i_in, j, best);
                        ASSERT_FALSE(loses && smallest < best) << "round " << round << ", r " << r << ", row " << i_in;
                        shown += loses ? 1 : 0;
                        refused += loses ? 0 : 1;
                    }
                }
            }
        }
    }
    EXPECT_GT(shown, 100);
    EXPECT_GT(refused, 200);
    std::vector<double> e(10000);
    for (std::size_t t = 0; t < e.size(); ++t) {
        e[t] = std::exp(3.0 * (normal(rng) + (t % 10 == 0 ? 3.0 : 0.0)) - 4.5);
    }
    std::sort(e.begin(), e.end(), std::greater<>());
    ClosedLevelCounts counts;
    closed_ebh_levels(e.data(), static_cast<int>(e.size()), static_cast<std::int64_t>(e.size()), 0.1, nullptr, &counts);
    EXPECT_GT(counts.weakest_skips, counts.searched_sizes);
}

}  // namespace
