#include "closed_by/levels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "closed_by/fast_check.hpp"
#include "closed_by/fast_search.hpp"
#include "closed_by/galloping_search.hpp"

namespace tarvimo::closed_by {

using common::bisect_levels;
using common::double_above;
using common::double_below;
using common::double_order;
using common::first_passing_double;
using common::level_exponent;
using common::scaled_level;
using common::scaled_pvalue;
using common::SMALLEST_LEVEL;

// One version of the family: its values, whether the certificates hold for
// them, and the walk that keeps its sums of 1 / p (built on first use).
struct LevelChecks::Version {
    int key;
    std::vector<double> given;
    bool in_domain;
    std::optional<CheckWalk> walk;
    std::optional<WarmSizeLane> lane;  // the lane last asked for, of size lane_s at lane_alpha
    std::int64_t lane_s = 0;
    double lane_alpha = 0.0;
};

// The harmonic numbers as certified_closed_by_count keeps them. The family
// factor's domain test fl(m H_m fl(1 / alpha)) <= LARGEST_FACTOR only gets
// easier as alpha grows (rounding is monotone), so it holds exactly from its
// first passing double on: the level checks compare with that instead of
// dividing at every size they judge.
LevelChecks::LevelChecks(int n, std::int64_t total, const common::CancelFlag* cancel, const CertifiedCbyTuning& tuning)
    : harmonic_(total, dense_harmonic_from(n, total, tuning), cancel),
      family_factor_(total == 0 ? 0.0 : static_cast<double>(total) * harmonic_(total)),
      least_factor_level_(first_passing_double(SMALLEST_LEVEL, double_below(1.0), 0.0,
                                               [&](double alpha) { return factor_in_domain(family_factor_, alpha); })),
      cancel_(cancel),
      tuning_(tuning) {}

LevelChecks::~LevelChecks() = default;

bool LevelChecks::select(int key) {
    for (std::size_t i = 0; i < versions_.size(); ++i) {
        if (versions_[i]->key == key) {
            const auto at = versions_.begin() + static_cast<std::ptrdiff_t>(i);
            std::rotate(versions_.begin(), at, at + 1);
            return true;
        }
    }
    return false;
}

const std::vector<double>& LevelChecks::values() const { return versions_.front()->given; }

void LevelChecks::add(int key, std::vector<double> given) {
    const int n = common::checked_count(given.size(), "the given p-values");
    common::require_family_size(n, harmonic_.size());
    if (versions_.size() == CACHED_VERSIONS) {
        versions_.pop_back();
    }
    const bool in_domain = values_in_domain(given.data(), n);
    versions_.insert(versions_.begin(), std::make_unique<Version>(Version{key, std::move(given), in_domain,
                                                                          std::nullopt, std::nullopt, 0, 0.0}));
}

bool LevelChecks::certified(double alpha) const {
    return !versions_.empty() && versions_.front()->in_domain && alpha_in_domain(alpha) && alpha >= least_factor_level_;
}

LevelChecks::Version& LevelChecks::at_level(double alpha) {
    Version& version = *versions_.front();
    if (!version.walk) {
        const int n = static_cast<int>(version.given.size());
        const std::int64_t total = harmonic_.size();
        version.walk.emplace(PFamily{version.given.data(), n, total - n, total}, harmonic_, alpha, stats_, tuning_,
                             cancel_);
    } else {
        version.walk->set_alpha(alpha);
    }
    return version;
}

SizeCheck LevelChecks::check(int r, std::int64_t warm_s, double alpha, double floor, int least_count) {
    if (!certified(alpha)) {
        ++stats_.literal_runs;
        const Version& version = *versions_.front();
        const std::vector<double> padded =
            common::padded_values(version.given.data(), static_cast<int>(version.given.size()), harmonic_.size(), 1.0);
        const int total = static_cast<int>(padded.size());
        std::vector<double> harmonic(static_cast<std::size_t>(total) + 1);
        for (int s = 0; s <= total; ++s) {
            harmonic[static_cast<std::size_t>(s)] = harmonic_(s);
        }
        const cBYCheckResult result = cBY_check_cpp(padded, r, harmonic, static_cast<int>(warm_s), alpha);
        return {result.res, result.at_s};
    }
    return at_level(alpha).walk->check(r, warm_s, floor > 0.0 && certified(floor) ? floor : 0.0, least_count);
}

std::optional<bool> LevelChecks::size_passes(int r, std::int64_t s, double alpha) {
    const std::int64_t total = harmonic_.size();
    if (!certified(alpha) || r < 1 || r > total || s < 1 || s > total) {
        return std::nullopt;
    }
    const SizeVerdict verdict = at_level(alpha).walk->size_verdict(r, s);
    if (verdict == SizeVerdict::pass || verdict == SizeVerdict::fail) {
        return verdict == SizeVerdict::pass;
    }
    return std::nullopt;
}

bool LevelChecks::lane_fails(int r, std::int64_t warm_s, double alpha) {
    if (versions_.empty()) {
        return false;
    }
    Version& version = *versions_.front();
    // A lane kept for this size and level was made where the certificates
    // hold; the scan asks it count after count (a million times at 10^6).
    if (!version.lane || version.lane_s != warm_s || version.lane_alpha != alpha) {
        const std::int64_t total = harmonic_.size();
        if (!certified(alpha) || warm_s < 2 || warm_s > total) {
            return false;
        }
        const int n = static_cast<int>(version.given.size());
        version.lane.emplace(PFamily{version.given.data(), n, total - n, total}, harmonic_, alpha, warm_s);
        version.lane_s = warm_s;
        version.lane_alpha = alpha;
    }
    if (!version.lane->settles(r)) {
        return false;
    }
    ++stats_.lane_counts;
    return true;
}

namespace {

// A band j of levels (alpha 2^j in [0.05, 0.1) for j >= 1, alpha >= 0.05
// for j = 0) with its scaling 2^j as two factors (j stays below
// 2 HALF_SCALE_EXPONENT): a product by 2^a, a >= 0, is exact short of
// overflow (it only moves the exponent, also of a subnormal value), where it
// gives +inf as ldexp does. Unlike ldexp, a loop of such products
// vectorises, and the scan and the searches ask many levels in a row from
// one band.
constexpr int HALF_SCALE_EXPONENT = 600;

// The deepest band whose upper edge the levels are made to hold at.
constexpr int LAST_EDGE_BAND = 1000;

struct Band {
    int j = -1;  // none yet
    double first = 1.0;
    double second = 1.0;
};

Band band_at(int j) {
    const int low = std::min(j, HALF_SCALE_EXPONENT);
    return {j, std::ldexp(1.0, low), std::ldexp(1.0, j - low)};
}

// x 2^j, as ldexp gives it (within a band a level's lies below 0.1).
double scaled_in(const Band& band, double x) { return (x * band.first) * band.second; }

// Whether level_exponent(alpha) is band.j without asking it: for j >= 1 it
// is the one j with alpha 2^j in [0.05, 0.1), for j = 0 every alpha >= 0.05
// has it (a NaN or alpha <= 0, also 0, is left to level_exponent).
bool in_band(const Band& band, double alpha) {
    if (band.j == 0) {
        return alpha >= common::SCALED_LEVEL_FLOOR;
    }
    const double scaled = scaled_in(band, alpha);
    return band.j > 0 && scaled >= common::SCALED_LEVEL_FLOOR && scaled < 2.0 * common::SCALED_LEVEL_FLOOR;
}

// The lowest level above x that begins a band: band j - 1 begins at
// 0.05 2^(1 - j), exact where that is a normal double; from a band deeper
// than LAST_EDGE_BAND (below about 1e-302) the next edge is the one that
// begins LAST_EDGE_BAND. None (infinity) from 0.05 up, which is band 0.
double edge_above(double x) {
    const int j = level_exponent(x);
    return j >= 1 ? std::ldexp(common::SCALED_LEVEL_FLOOR, 1 - std::min(j, LAST_EDGE_BAND + 1))
                  : std::numeric_limits<double>::infinity();
}

// Selects in `checks` the family as the engine hands it to the closed BY
// core at a level of the band: the given p-values scaled by 2^j, clamped to
// 1 (scaled_pvalue's values; an overflow to +inf clamps alike), exact zeros
// replaced (zero_stand_in at the lowest level the core sees, 0.05: where
// 1e-12 would break their order, the checks ran their literal steps on the
// whole family, for minutes at 10^5), largest first (the omitted ones, 1.0,
// stay 1.0 at every band).
void select_band(LevelChecks& checks, const double* ascending, int n, const Band& band) {
    if (checks.select(band.j)) {
        return;
    }
    const auto clamped = [&](int t) { return std::min(scaled_in(band, ascending[n - 1 - t]), 1.0); };
    const int zeros = static_cast<int>(std::upper_bound(ascending, ascending + n, 0.0) - ascending);
    const double stand_in =
        zeros < n ? zero_stand_in(clamped(n - 1 - zeros), checks.family_factor(), common::SCALED_LEVEL_FLOOR)
                  : ZERO_REPLACEMENT;
    // The products move one way with p, so the values clamped to 1 lead; they
    // join the omitted ones (the checks read a version padded with 1.0). Deep
    // bands clamp nearly all nulls: a version holds only the values below 1,
    // so a new band costs what it keeps, not O(n).
    const int ones =
        static_cast<int>(first_true(0, n, [&](std::int64_t t) { return clamped(static_cast<int>(t)) < 1.0; }));
    // Past the leading ones no product reaches 1, and a product is 0 only for
    // a zero (the factors are at least 1): the zeros, last, take the stand-in.
    // Plain loops, which the compiler vectorises.
    std::vector<double> scaled;
    common::reserve_advised(scaled, static_cast<std::size_t>(n - ones));
    scaled.assign(static_cast<std::size_t>(n - ones), stand_in);
    for (int t = ones; t < n - zeros; ++t) {
        scaled[static_cast<std::size_t>(t - ones)] = scaled_in(band, ascending[n - 1 - t]);
    }
    checks.add(band.j, std::move(scaled));
}

// The level checks run at crossings, where nearly every size passes: deciding
// the sizes in size order with certified ranges (the sweep) right after the
// warm size costs far less there than examining sizes one by one first, as
// the searches for a count do, and the sweep's first range can be wide
// (256 sizes: about a quarter fewer instructions at 10^5 than starting
// from 2, and fewer than 64 or 4,096). The sweep starts where the bound test
// first fails, at the size that decided the level and the ones after it,
// which are tight there: a range from there failed at nearly every check.
// Deciding the first three singly saves 3-7% of the instructions on
// realistic data (10^4 ... 10^6) and the BY line (2 or 4 saved less). Results
// never depend on the tuning.
constexpr CertifiedCbyTuning LEVEL_TUNING = [] {
    CertifiedCbyTuning tuning;
    tuning.direct_sizes = 1;
    tuning.first_block_width = 256;
    tuning.first_singles = 3;
    tuning.decisive_sweep = true;
    return tuning;
}();

// The scan's checks certify their ranges of sizes from this far below their
// level up, and the checks of the count's level search between take them:
// on realistic data at 10^6, about 94 in 100 levels lie within 2^-10 (relative)
// below the scan's check.
constexpr double CARRIED_SPAN = 0x1p-10;

// ... and for the counts this far (relative) below their own: the next
// searched count is mostly the next one down, and its scan's check lies
// within the span of levels of this one's.
constexpr double CARRIED_COUNT_SPAN = 0x1p-11;

// Searches by sizes in a row that end unsearched after more than their
// first size before the scan checks first again (with_level_step).
constexpr int WASTED_SEARCHES = 2;

// The two parts of a large family's scan: half of the searched ranks below,
// and above them a count the lane settles costs about 1/40 of a searched
// rank's share (realistic data at 10^6, instructions of the two parts: within
// 0.2% at max_level 1 and 5% at 0.1, where 1/64 left the upper part 23%
// heavier at max_level 1 once searched counts had become cheaper).
constexpr common::SplitRule LEVEL_SPLIT{0.5, 1.0 / 40.0};

int carried_counts(int r) { return static_cast<int>(static_cast<double>(r) * CARRIED_COUNT_SPAN); }

// The sizes of a count whose own levels rise one after another, the next
// failing at the last one's level, are walked in steps of up to this many.
constexpr std::int64_t LONGEST_CLIMB_STEP = 64;

// From size t, which fails at the candidate level, the farthest size in
// direction `step` (+1 or -1) reached by steps of 1, 2, 4, ... sizes that
// all fail there. Where the deciding size has moved by one in the same
// direction twice in a row, it is climbing through sizes whose own levels
// rise one after another (realistic data at 10^6: runs of 3 to 16 sizes, each
// searched on its own): the search goes on from the farthest failing size
// instead. Any size failing at the candidate may come next
// (count_level_by_sizes), so where the check is monotone in alpha the level
// is the same; the work falls (closed_by_levels at 10^6: 3.27e9 -> 3.15e9
// instructions at max_level 1 and 1.72e9 -> 1.63e9 at 0.1; the BY line and
// its blocks at 3,000: 10% less).
template <typename Fails>
std::int64_t farthest_failing(std::int64_t t, std::int64_t step, const Fails& fails) {
    for (std::int64_t length = 1; length <= LONGEST_CLIMB_STEP && fails(t + step * length); length *= 2) {
        t += step * length;
    }
    return t;
}

// Breakpoints listed for one size at most; a bracket holding more is
// bisected as before.
constexpr std::size_t MOST_BREAKPOINTS = 64;

// The scaled levels in (below, above] (both in one band, scaled) at which a
// value that size s of the check of count r reads changes its term: where
// its cut-off fl(H_s p) > fl(alpha + 1e-10) lifts, and where its ceiling
// max(1, ceil(fl(p fl(fl(s H_s) fl(1 / alpha))) - 1e-10)) falls, each the
// first double at which the size's own operations give the new value (they
// move one way in alpha: README, "Monotone in alpha"). Between two of them
// every cut-off and ceiling of the size is fixed. Sorted; empty where there
// are more than MOST_BREAKPOINTS. The list only chooses where the search
// probes: every bound it moves is a verdict observed there, so a breakpoint
// missing from it costs probes, never a different level. `given` holds the values largest first,
// after total - n omitted ones (1.0), as the check reads them: outside
// positions 0 ... s - minu - 1, inside total - r ... total - r + min(s, r) - 1.
// With `ends`, only the breakpoints of that many values at each end the
// loop reads first are listed: the largest inside values and the outside
// values whose e-values the overlaps remove first.
std::vector<double> size_breakpoints(const std::vector<double>& given, std::int64_t total, std::int64_t r,
                                     std::int64_t s, double harmonic, double below, double above,
                                     std::int64_t ends = 0) {
    const std::int64_t omitted = total - static_cast<std::int64_t>(given.size());
    const double factor = static_cast<double>(s) * harmonic;
    const auto cut = [&](double p, double alpha) { return harmonic * p > alpha + TOLERANCE; };
    const auto ceiling = [&](double p, double alpha) { return stable_ceiling_cpp(p * (factor * (1.0 / alpha))); };
    const double lo = double_above(below);
    std::vector<double> found;
    bool too_many = false;
    const auto add = [&](double guess, const auto& reached) {
        if (found.size() == MOST_BREAKPOINTS) {
            too_many = true;
            return;
        }
        found.push_back(first_passing_double(lo, above, guess, reached));
    };
    // The ends' products fl(s H_s) fl(1 / alpha) and cut-offs, hoisted.
    const double below_factor = factor * (1.0 / below);
    const double above_factor = factor * (1.0 / above);
    const double below_cut = below + TOLERANCE;
    const double above_cut = above + TOLERANCE;
    const auto read = [&](std::int64_t first, std::int64_t last) {
        // The values cut off at `above` (a prefix: they are sorted) read 0 throughout.
        const double* values = given.data();
        const double* begin = values + (std::max(first, omitted) - omitted);
        const double* end = values + (std::max(last, omitted) - omitted);
        begin = std::partition_point(begin, end, [&](double p) { return harmonic * p > above_cut; });
        for (const double* at = begin; at < end && !too_many; ++at) {
            const double p = *at;
            const double h = harmonic * p;
            const bool enters = h > below_cut;
            // A ceiling can fall only where the integer part of x - 1e-10
            // differs between the ends, or x - 1e-10 is an integer at `below`.
            const double high = p * below_factor - TOLERANCE;
            const double low = p * above_factor - TOLERANCE;
            if (!(high > -1.0 && high < 0x1p53)) {
                continue;  // not a count (a NaN value): the list may leave out any breakpoint
            }
            const auto whole = static_cast<std::int64_t>(high);
            if (!enters && whole == static_cast<std::int64_t>(low) && static_cast<double>(whole) != high) {
                continue;
            }
            const double least = stable_ceiling_cpp(p * above_factor);
            double from = 0.0;
            if (enters) {
                add(h - TOLERANCE, [&](double alpha) { return !cut(p, alpha); });
                from = too_many ? least : ceiling(p, found.back());
            } else {
                from = stable_ceiling_cpp(p * below_factor);
            }
            for (double c = from - 1.0; c >= least && !too_many; c -= 1.0) {
                add((p * factor) / (c + TOLERANCE), [&](double alpha) { return ceiling(p, alpha) <= c; });
            }
        }
    };
    const std::int64_t minu = std::max<std::int64_t>(1, s - (total - r));
    if (ends > 0) {
        read(total - r, total - r + std::min({s, r, ends}));
        read(std::max<std::int64_t>(0, s - minu - ends), s - minu);
    } else {
        read(0, s - minu);
        read(total - r, total - r + std::min(s, r));
    }
    if (too_many) {
        return {};
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

// Sizes above this list the breakpoints of a few values only: listing them
// all reads every value of the size within the cut-off, far more than the
// bisection costs where the size's verdicts come from certificates (on
// realistic data at 10^6, sizes of some 10^5 whose first overlap's guess
// missed took the levels from 0.8 to 1.45 s).
constexpr std::int64_t MOST_BREAKPOINT_SIZE = 8192;

// The values at each end of the loop whose breakpoints a larger size lists.
// Where its first overlap's guess misses, the size passes a little below it,
// at one of the first overlaps: the guess is the first double at which p_r's
// ceiling reaches r, and the size passes where the ceilings of a few of the
// count's largest values (p_r, p_(r-1), ...) first give the inside sum
// u / r, or where the outside e-values that those overlaps remove first stop
// failing it (realistic data at 10^6: sizes of about 900,000 of counts of
// some 30,000, levels 2e-6 to 5e-5 below the guess, about 1 / r).
constexpr std::int64_t LARGE_SIZE_LISTED_ENDS = 4;

// A larger size lists its breakpoints from a bracket of relative width
// LARGE_SIZE_SPAN / r: about one step of each of its inside values' ceilings
// (at most about r) every 2 / r, and a few of the outside ones'.
constexpr double LARGE_SIZE_SPAN = 0.5;

// A bracket is narrow enough to list its breakpoints when its width relative
// to its upper end is below this over s (s + 1): the s or so values of a size
// have ceilings of at most about s + 1, and a ceiling c changes about c w
// times over a relative width w, so some BREAKPOINT_SPAN of them lie inside.
constexpr double BREAKPOINT_SPAN = 32.0;

// The relative width below which the own level search of size s of count r
// lists its breakpoints.
double breakpoint_width(std::int64_t r, std::int64_t s) {
    const double size = static_cast<double>(s);
    return s > MOST_BREAKPOINT_SIZE ? LARGE_SIZE_SPAN / static_cast<double>(r)
                                    : BREAKPOINT_SPAN / (size * (size + 1.0));
}

// The smallest double in (failing, passing] at which one size of a check
// passes on its own (size_passes: 1, 0, or -1 where it cannot be judged
// alone), the size passing at `passing`; negative where a verdict on the way
// could not be had. The double below the result is `failing` or one at which
// the size was seen failing on its own. A guess comes first
// (bracket_from_guess); where it does not settle the level (counted in
// `counts.guess_misses`), a few probes just below the upper end (the levels
// of successive counts lie close), bisection down to a relative width of
// `narrow` and a bisection over the breakpoints of the size's values there
// (breakpoints(below, above), bracket_from_breakpoints); where that does not
// settle it either (`counts.break_misses`), bisection. Every route ends
// in the same crossing of the size's verdict, which is monotone in alpha.
template <typename SizePasses, typename Breakpoints>
double own_size_level(double failing, double passing, double guess, double narrow, const Breakpoints& breakpoints,
                      const SizePasses& size_passes, ClosedLevelCounts& counts) {
    bool judged = true;
    const auto passes = [&](double alpha) {
        const int verdict = judged ? size_passes(alpha) : 0;
        judged = judged && verdict >= 0;
        return verdict == 1;
    };
    GuessedBracket bracket = bracket_from_guess(failing, passing, guess, passes);
    if (!bracket.settled) {
        ++counts.guess_misses;
        double below = common::double_at_order(bracket.known_false);
        double above = common::double_at_order(bracket.known_true);
        common::narrow_from_above(below, above, passes);
        std::int64_t known_false = double_order(below);
        std::int64_t known_true = double_order(above);
        while (known_true - known_false > 1 &&
               common::double_at_order(known_true) - common::double_at_order(known_false) >
                   narrow * common::double_at_order(known_true)) {
            const std::int64_t mid = known_false + (known_true - known_false) / 2;
            (passes(common::double_at_order(mid)) ? known_true : known_false) = mid;
        }
        bracket = bracket_from_breakpoints(
            known_false, known_true,
            breakpoints(common::double_at_order(known_false), common::double_at_order(known_true)), passes);
        if (!bracket.settled) {
            ++counts.break_misses;
        }
    }
    const double level = bisect_levels(bracket.known_false, bracket.known_true, passes);
    return judged ? level : -1.0;
}

}  // namespace

// Monotone in alpha. Within a band (fixed j) the scaled p is fixed, and
// fl(x - alpha') never rises as alpha' = alpha 2^j grows: rounding is
// monotone. Across band edges see common/level_search.hpp.
bool step_up_pvalue_passes(double q, std::int64_t k, double factor, double alpha) {
    const int j = level_exponent(alpha);
    const double p = scaled_pvalue(q, j);
    return ((p * factor) / static_cast<double>(k)) - scaled_level(alpha, j) <= TOLERANCE;
}

// The test passes from about x - 1e-10 on in the band of x, x the scaled
// ((p factor) / k): that guess is within a few ulps of the threshold, and
// the search settles it exactly from there.
double step_up_pvalue_level(double q, std::int64_t k, double factor, double max_level) {
    if (!(max_level > SMALLEST_LEVEL)) {
        return max_level;
    }
    const double hi = double_below(max_level);
    const double rough = (q * factor) / static_cast<double>(k);
    const int j = level_exponent(rough);
    const double guess = std::ldexp(((scaled_pvalue(q, j) * factor) / static_cast<double>(k)) - TOLERANCE, -j);
    const double level = first_passing_double(SMALLEST_LEVEL, hi, guess,
                                              [&](double alpha) { return step_up_pvalue_passes(q, k, factor, alpha); });
    return level <= hi ? level : max_level;
}

// The omitted values (p = 1) hold the ranks n + 1 ... total; of them the one
// at rank total passes first. BH's test there, 1 - alpha <= 1e-10, passes
// from about 1 - 1e-10 on, and then every present value is rejected too.
double omitted_pvalue_level(int n, std::int64_t total, double harmonic, double max_level) {
    return total > n ? step_up_pvalue_level(1.0, total, static_cast<double>(total) * harmonic, max_level) : max_level;
}

// Rank t + 1 is rejected at alpha when some rank k >= t + 1 passes its test
// (the step-up count is the largest passing rank), and each test passes from
// its own threshold on: the level is the smallest threshold from rank t + 1
// on. Equal p-values get equal levels: at a larger rank the same p passes
// first, ((p factor) / k) falling with k.
std::vector<double> step_up_pvalue_levels(const double* ascending, int n, std::int64_t total, double harmonic,
                                          double max_level) {
    common::require_family_size(n, total);
    const double factor = static_cast<double>(total) * harmonic;
    std::vector<double> levels;
    common::reserve_advised(levels, static_cast<std::size_t>(n));
    levels.resize(static_cast<std::size_t>(n));
    double running = omitted_pvalue_level(n, total, harmonic, max_level);
    for (int t = n - 1; t >= 0; --t) {
        // A rank's threshold that cannot be below the running minimum is not searched.
        const double rough = (ascending[t] * factor) / static_cast<double>(t + 1);
        if ((t + 1 == n || ascending[t] != ascending[t + 1]) && rough * common::ROUGH_LEVEL_SHORTFALL < running) {
            running = std::min(running, step_up_pvalue_level(ascending[t], t + 1, factor, running));
        }
        levels[static_cast<std::size_t>(t)] = running;
    }
    return levels;
}

namespace {

// Calls body(step) with the step of the closed levels' scan (the check of a
// size at the double below the running minimum, and the search of its level
// where it passes), which keeps its checks and hints from one size to the
// next; each part of a scan on two threads has its own.
template <typename Body>
void with_level_step(const double* ascending, int n, std::int64_t total, const common::CancelFlag* cancel,
                     ClosedLevelCounts& tally, const Body& body) {
    LevelChecks checks(n, total, cancel, LEVEL_TUNING);
    // The band of the version selected in `checks`: only scaled_at selects.
    Band band;
    // Selects alpha's band and scales alpha to it.
    const auto scaled_at = [&](double alpha) {
        if (!in_band(band, alpha)) {
            band = band_at(level_exponent(alpha));
            select_band(checks, ascending, n, band);
        }
        return scaled_in(band, alpha);
    };
    std::int64_t warm_s = 0;
    // The whole check of r at alpha: 0 where it passes, else the size at
    // which it fails. A count that its warm size's lane settles fails there,
    // as the check would report, without being run. The check examines
    // `first` first where that is a size, else the warm size: which size
    // comes first changes which failing size a check names, not whether it
    // passes (the bisection tree's order only).
    // With `carry`, the ranges of sizes the check certifies hold from
    // CARRIED_SPAN below alpha up, for the counts CARRIED_COUNT_SPAN below r
    // up (LevelChecks::check).
    const auto failing_size = [&](int r, double alpha, bool carry, std::int64_t first = 0) {
        const double scaled = scaled_at(alpha);
        if (checks.lane_fails(r, warm_s, scaled)) {
            ++tally.settled_checks;
            return warm_s;
        }
        ++tally.checks;
        const std::int64_t split = first >= 1 ? first : warm_s;
        const SizeCheck check =
            carry ? checks.check(r, split, scaled, scaled * (1.0 - CARRIED_SPAN), r - carried_counts(r))
                  : checks.check(r, split, scaled);
        if (!check.res) {
            warm_s = check.at_s;
        }
        return check.at_s;
    };
    // The scan's checks: a count that passes at the double below the running
    // minimum is searched, and its level's checks lie just below.
    const auto scan_passes = [&](int r, double alpha) { return failing_size(r, alpha, true) == 0; };
    const auto passes = [&](int r, double alpha) { return failing_size(r, alpha, false) == 0; };
    // Whether size s of the check of r passes at alpha, on its own; -1
    // where that cannot be had.
    const auto size_passes = [&](int r, std::int64_t s, double alpha) {
        const std::optional<bool> verdict = checks.size_passes(r, s, scaled_at(alpha));
        return verdict ? static_cast<int>(*verdict) : -1;
    };
    // Just below the r-th smallest p-value: there the scaled p-value exceeds
    // the scaled level (at least 0.05) by more than 1e-6 of it, far more than
    // 1e-10, so its e-value is 0 at every size and the check fails at size
    // one (1 / (alpha r) exceeds 1e-10).
    const auto failing_level = [&](int r) {
        const double below = ascending[r - 1] * (1.0 - 1e-6);
        return below > SMALLEST_LEVEL ? below : SMALLEST_LEVEL;
    };
    // The breakpoints of size s of count r in (below, above], where both lie
    // in one band (above MOST_BREAKPOINT_SIZE, those of the values at the
    // ends of its loop only); none otherwise.
    const auto breakpoints = [&](int r, std::int64_t s, double below, double above) {
        const int j = level_exponent(above);
        if (level_exponent(below) != j) {
            return std::vector<double>{};
        }
        const double scaled_above = scaled_at(above);
        const double scaled_below = scaled_at(below);  // in the same band
        std::vector<double> found =
            size_breakpoints(checks.values(), total, r, s, checks.harmonic(s), scaled_below, scaled_above,
                             s > MOST_BREAKPOINT_SIZE ? LARGE_SIZE_LISTED_ENDS : 0);
        for (double& level : found) {
            level = std::ldexp(level, -j);
        }
        return found;
    };
    // The size that settled the last searched count: the next count's level
    // is usually decided by it or a size close to it.
    std::int64_t deciding = 0;
    // Candidates since the neighbours beyond NEAR_NEIGHBOUR_SIZES last
    // failed (or would have: the whole check named one), and the size whose
    // neighbours were probed before the whole check.
    int far_idle = 0;
    std::int64_t probed_from = 0;
    // The step (+1 or -1) from the last size to the neighbour that failed
    // next to it; 0 where none did.
    std::int64_t climbing = 0;
    // The guessed own level of size s of count r: where the check's first
    // overlap binds, the largest value in the set, p = the r-th smallest,
    // needs an e-value of at least 1 / (alpha r), that is a ceiling
    // ceil(p s H_s / alpha - 1e-10) of at most r, which holds from
    // alpha = p s H_s / (r + 1e-10) on (in every band: the scaling by 2^j
    // cancels). On realistic data this lands within a few doubles of the
    // level for about 97 in 100 sizes.
    const auto guessed_level = [&](int r, std::int64_t s) {
        return (ascending[r - 1] * checks.size_factor(s)) / (static_cast<double>(r) + TOLERANCE);
    };
    // With `passing_checked` false the whole check has not been run at
    // `passing`: a size's own level is then searched only once the size is
    // seen passing there, and a value above `passing` is returned where it
    // fails there (count_level_by_sizes).
    const auto size_level = [&](int r, double failing, double passing, bool passing_checked, std::int64_t failed_at) {
        if (failing == SMALLEST_LEVEL && passes(r, failing)) {
            return failing;
        }
        // The size whose own level was searched last, mostly the candidate's:
        // the check at the candidate examines it first, where it passed on
        // its own just before, a verdict the check takes as it stands. From
        // the warm size (an older failing size) nearly every confirming check
        // judged a size afresh first: 6% of the instructions at 10^6.
        std::int64_t searched = 0;
        const CountLevel found = count_level_by_sizes(
            failing, passing, failed_at, deciding,
            [&](double alpha) {
                const std::int64_t named = failing_size(r, alpha, !passing_checked, searched);
                const std::int64_t away = named > probed_from ? named - probed_from : probed_from - named;
                if (named >= 1 && probed_from >= 1 && away > NEAR_NEIGHBOUR_SIZES && away <= NEIGHBOUR_SIZES) {
                    far_idle = 0;  // the far probes would have found it
                }
                probed_from = 0;
                return named;
            },
            [&](std::int64_t s, double from, double to) {
                if (!passing_checked) {
                    const int at_top = size_passes(r, s, to);
                    if (at_top != 1) {
                        return at_top == 0 ? double_above(to) : -1.0;
                    }
                }
                searched = s;
                return own_size_level(
                    from, to, guessed_level(r, s), breakpoint_width(r, s),
                    [&](double below, double above) { return breakpoints(r, s, below, above); },
                    [&](double alpha) { return size_passes(r, s, alpha); }, tally);
            },
            [&](std::int64_t s, double alpha) {
                const auto fails = [&](std::int64_t t) {
                    return t >= 1 && t <= total && size_passes(r, t, alpha) == 0;
                };
                // Nearest first: the deciding sizes drift by one or two.
                const bool far = far_idle < FAR_NEIGHBOUR_PATIENCE;
                const int reach = far ? NEIGHBOUR_SIZES : NEAR_NEIGHBOUR_SIZES;
                for (std::int64_t d = 1; d <= reach; ++d) {
                    for (const std::int64_t t : {s + d, s - d}) {
                        if (fails(t)) {
                            if (d > NEAR_NEIGHBOUR_SIZES) {
                                far_idle = 0;
                            }
                            const std::int64_t step = d == 1 ? t - s : 0;
                            const bool again = step != 0 && step == climbing;
                            climbing = step;
                            if (!again) {
                                return t;
                            }
                            ++tally.climbs;
                            return farthest_failing(t, step, fails);
                        }
                    }
                }
                climbing = 0;
                far_idle += far ? 1 : 0;
                probed_from = s;
                return std::int64_t{0};
            },
            tally, passing_checked);
        if (found.level <= passing) {
            deciding = found.deciding;
        } else if (found.deciding >= 1) {
            warm_s = found.deciding;  // it fails at `passing`: the next counts' lane starts from it
        }
        return found.level;
    };
    // The whole check failed at `failing` last, at warm_s.
    const auto checked_level = [&](int r, double failing, double passing) {
        return size_level(r, failing, passing, true, warm_s);
    };
    const auto scan_step = common::searching_step(scan_passes, failing_level, checked_level, tally);
    // Searches by sizes in a row that judged more than their first size and
    // ended unsearched. From WASTED_SEARCHES on, the scan checks first until
    // a count passes below the minimum again: on blocks of the BY line such
    // counts follow each searched one, and their sizes' own levels can climb
    // one after another for hundreds of sizes before one fails below the
    // minimum (3,000 p-values: 0.03 s before, 0.8 s without this), where the
    // scan's check fails at once; on realistic data searched counts follow
    // each other.
    int wasted_searches = 0;
    // The scan's step: the check of count r at the double below the running
    // minimum M, and where it passes, the search of the count's level below M
    // (scan_step). A count its warm size's lane settles fails there. Once a
    // count has been settled by its sizes, the next ones go to that search at
    // once, from the size that settled it, without the whole check below M:
    // a size that fails on its own there fails the whole check
    // (count_level_by_sizes), and the search ends; where the check passes
    // below M, the search ends at a crossing below M, which wherever the
    // check is monotone in alpha is the one the search after that check
    // finds. That saves one passing whole check per searched count (half of
    // them) where the levels are close and their deciding sizes drift slowly.
    const auto crossing_step = [&](int r, double running) {
        const double below = double_below(running);
        if (deciding < 1 || wasted_searches >= WASTED_SEARCHES) {
            const double level = scan_step(r, running);
            wasted_searches = level < running ? 0 : wasted_searches;
            return level;
        }
        if (checks.lane_fails(r, warm_s, scaled_at(below))) {
            ++tally.settled_checks;
            return running;
        }
        // The check fails at failing_level(r), at size one on its own: no
        // need to run it there.
        const double failing = failing_level(r);
        if (!(failing < below && failing > SMALLEST_LEVEL)) {
            return scan_step(r, running);
        }
        ++tally.sizes_first;
        const long long parts_before = tally.parts;
        const double level = size_level(r, failing, below, false, 1);
        if (level > below) {
            ++tally.failed_on_top;
            // More than the first size judged: the scan's check would have
            // cost less.
            wasted_searches = tally.parts - parts_before <= 1 ? 0 : wasted_searches + 1;
            return running;
        }
        wasted_searches = 0;
        ++tally.searched_sizes;
        return level;
    };
    // The crossing, made to hold at the band edges above it. Below 0.05 the
    // check's e-value comparisons keep their margin while the e-values halve
    // from band to band, so a check that passes just below an edge can fail
    // at it with every ceiling the same (common/level_search.hpp): a
    // crossing below such an edge would give a level at which the count is
    // rejected while it is not at the edge (0.05 itself, say). So at each
    // edge between its crossing and the running minimum the count's check
    // must pass; where it fails, the count's level is searched again above
    // that edge. The running minimum crosses each edge once, so a scan makes
    // at most one such check per band; on data without a near tie at an
    // edge they all pass and the levels are the crossings.
    const auto step = [&](int r, double running) {
        double level = crossing_step(r, running);
        for (double edge = edge_above(level); level < running && edge < running; edge = edge_above(edge)) {
            const std::int64_t failed_at = failing_size(r, edge, false);
            if (failed_at == 0) {
                continue;
            }
            ++tally.edge_searches;
            level = size_level(r, edge, double_below(running), false, failed_at);
            if (level > double_below(running)) {
                return running;
            }
            edge = level;  // the next edge is the one above the new crossing
        }
        return level;
    };
    body(step);
}

}  // namespace

std::vector<double> closed_by_levels(const double* ascending, int n, std::int64_t total, double max_level,
                                     const common::CancelFlag* cancel, ClosedLevelCounts* counts, int threads) {
    common::require_family_size(n, total);
    ClosedLevelCounts local;
    ClosedLevelCounts& tally = counts != nullptr ? *counts : local;
    std::vector<double> levels = step_up_pvalue_levels(ascending, n, total, harmonic_number(total), max_level);
    if (n == 0) {
        return levels;
    }
    common::scan_closed_levels_split(
        levels, max_level,
        [&](ClosedLevelCounts& part_counts, const auto& body) {
            with_level_step(ascending, n, total, cancel, part_counts, body);
        },
        threads, cancel, tally, LEVEL_SPLIT);
    return levels;
}

}  // namespace tarvimo::closed_by
