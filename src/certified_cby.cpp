#include "certified_cby.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "cby_certificates.hpp"
#include "checked_count.hpp"
#include "galloping_search.hpp"
#include "harmonic_table.hpp"
#include "padded_values.hpp"
#include "reciprocal_sums.hpp"

namespace {

using cby::TOLERANCE;

constexpr long UNLIMITED = std::numeric_limits<long>::max();
// After a range certificate fails at two sizes, this many sizes are decided
// singly before ranges are tried again.
constexpr int BLOCK_COOLDOWN = 16;
constexpr long long CANCEL_POLL_COUNTS = 1 << 16;
constexpr int CANCEL_POLL_SIZES = 32;
// The certificates' bounds stay finite for e-value factors up to this.
constexpr double LARGEST_FACTOR = 1e300;

// Sizes 2 ... pad + 1 of a padded family see only omitted values (p = 1, cut
// off at every size >= 2 since H_2 = 1.5 > alpha + TOLERANCE) outside their
// candidate part: their outside sum is 0 and the loop ends at its first
// overlap. With an omitted value inside too (r > n), sizes 2 ... pad sum 0
// inside as well and fail. Otherwise (r <= n) the first overlap holds the
// largest given value in the set, whose e-value does not grow with s: the
// sizes fail from some size on.
struct OmittedOutside {
    int lo = 0;
    int hi = -1;         // empty when lo > hi
    bool all_fail = false;
    long long fail_from = -1;  // first failing size of lo ... hi (hi + 1 if none); -1 until known
};

struct Node {
    int lo;
    int hi;
    int depth;
};

struct LevelOrderKey {
    int depth;
    int s;
};

bool precedes(const LevelOrderKey& a, const LevelOrderKey& b) {
    return a.depth < b.depth || (a.depth == b.depth && a.s < b.s);
}

// The split size of node (lo, hi): the warm size at the root if given, the
// midpoint elsewhere.
int split_of(const Node& node, int warm_s) {
    return node.depth == 0 && warm_s != 0 ? warm_s : node.lo + (node.hi - node.lo) / 2;
}

// Scans a family for the BY step-up count as BY_cpp does on its full vector;
// Hm = 1 (every harmonic number 1) gives the BH count.
// An omitted value (p = 1) meets the condition at some rank only if it does
// at rank m, the first one tested: (factor / k) - alpha only grows as k
// falls. In a sorted family and for alpha > 0, the scan also starts past the
// p-values with p * H_m > (alpha + TOLERANCE)(1 + 1e-9): at any rank k <= m their
// ((p * factor) / k) - alpha is at least p H_m (1 - 3u) - alpha, above the
// tolerance by far more than the rounding of that subtraction.
int by_scan(const PFamily& family, double Hm, double alpha, bool sorted) {
    const int m = family.m;
    if (m == 0) {
        return 0;
    }
    const double factor = static_cast<double>(m) * Hm;
    const double beyond = (alpha + TOLERANCE) * (1.0 + 1e-9);
    int i = sorted && alpha > 0.0
                ? static_cast<int>(first_true(0, m, [&](int j) { return !(family.at(j) * Hm > beyond); }))
                : 0;
    if (i > 0 && i < family.pad) {
        i = family.pad;  // the first omitted value fails, so all do
    }
    for (; i < m; ++i) {
        const int k = m - i;
        if (((family.at(i) * factor) / static_cast<double>(k)) - alpha <= TOLERANCE) {
            return k;
        }
        if (i == 0 && family.pad > 0) {
            i = family.pad - 1;
        }
    }
    return 0;
}

// Whether the family's values never increase (NaN breaks it), the omitted
// ones included.
bool family_is_sorted(const double* given, int n, int pad) {
    double previous = pad > 0 ? 1.0 : std::numeric_limits<double>::infinity();
    for (int i = 0; i < n; ++i) {
        if (!(given[i] <= previous)) {
            return false;
        }
        previous = given[i];
    }
    return true;
}

bool values_in_domain(const double* q, int n) {
    double previous = 1.0;
    for (int i = 0; i < n; ++i) {
        const double v = q[i];
        if (!(v > 0.0 && v <= previous)) {  // false for NaN
            return false;
        }
        previous = v;
    }
    return true;
}

bool alpha_in_domain(double alpha) { return alpha > 0.0 && alpha < 1.0; }

bool factor_in_domain(const HarmonicTable& harmonic, double alpha) {
    const int m = harmonic.size();
    return m == 0 || (static_cast<double>(m) * harmonic(m)) * (1.0 / alpha) <= LARGEST_FACTOR;
}

bool harmonic_is_exact(const std::vector<double>& harmonic, int m) {
    double sum = 0.0;
    if (harmonic[0] != 0.0) {
        return false;
    }
    for (int i = 1; i <= m; ++i) {
        sum += 1.0 / static_cast<double>(i);
        if (harmonic[i] != sum) {
            return false;
        }
    }
    return true;
}

class CheckEngine {
public:
    CheckEngine(const PFamily& family, const HarmonicTable& harmonic, double alpha, CertifiedCbyStats& stats,
                const CertifiedCbyTuning& tuning, const CancelFlag* cancel)
        : family_(family),
          harmonic_(harmonic),
          alpha_(alpha),
          invalpha_(1.0 / alpha),
          cutoff_(alpha + TOLERANCE),
          stats_(stats),
          tuning_(tuning),
          cancel_(cancel) {}

    cBYCheckResult check(int r, int warm_s);
    int exact_search();
    int approximate_search();

private:
    // The per-check state of one breadth-first walk.
    struct Walk {
        const CountSizes& sizes;
        OmittedOutside omitted;
        long long bound_fails_from = -1;  // s_b + 1, the first size the bound test fails; -1 until known
        bool swept = false;
        int first_individual = 2;  // sizes from here on have no shortcut
        long long first_swept = 0;  // verdicts_ holds sizes first_swept ... m
        std::optional<EoutHistory> history = std::nullopt;
        std::size_t applied = 0;  // entries of examined_ applied to history
    };

    bool bound_passes(const CountSizes& sizes, int s) const;
    bool size_one_fails(const CountSizes& sizes) const;
    long long bound_fails_from(Walk& walk) const;
    OmittedOutside omitted_outside(int r) const;
    long long omitted_fail_from(Walk& walk) const;
    SizeVerdict omitted_verdict(const Walk& walk, int s) const;
    std::optional<LevelOrderKey> first_omitted_failure(Walk& walk, const Node& node) const;
    long literal_cost(const CountSizes& sizes, const SizeSetup& z, int cut) const;
    SizeVerdict decide(const CountSizes& sizes, const SizeSetup& z, int cut, int* argmin, bool defer,
                       bool expect_fail);
    SizeVerdict run_literal(const CountSizes& sizes, const SizeSetup& z) const;
    SizeVerdict fall_back(const CountSizes& sizes, const SizeSetup& z);
    SizeVerdict evaluate_single(const CountSizes& sizes, int s);
    SizeVerdict replay_history(Walk& walk, int s);
    bool sweep(Walk& walk);
    bool passes_everywhere_else(Walk& walk);
    int lane(int r, int s);

    PFamily family_;
    const HarmonicTable& harmonic_;
    double alpha_;
    double invalpha_;
    double cutoff_;
    CertifiedCbyStats& stats_;
    CertifiedCbyTuning tuning_;
    const CancelFlag* cancel_;
    std::unique_ptr<ReciprocalSums> sums_;
    // The last size evaluated on its own, its cut-off and where its smallest h
    // was found, for the next count's check.
    struct SizeMemo {
        int s = -1;
        int cut = -1;
        int argmin = -1;
        SizeVerdict verdict = SizeVerdict::unknown;  // its last verdict
    } memo_;
    // Scratch kept across the checks of a search.
    std::vector<Node> queue_;
    std::vector<int> examined_;           // sizes examined in detail, in the literal order
    std::vector<SizeVerdict> verdicts_;   // by size - first_swept, after a sweep
};

bool CheckEngine::bound_passes(const CountSizes& sizes, int s) const {
    const double factor = static_cast<double>(s) * harmonic_(s);
    return sizes.largest_inside() * factor <= static_cast<double>(std::min(s, sizes.count())) * alpha_;
}

bool CheckEngine::size_one_fails(const CountSizes& sizes) const {
    const double p = sizes.largest_inside();
    const double largest_inside_e = by_evalue(p, 1.0, invalpha_, cutoff_, invalpha_);
    return invalpha_ / static_cast<double>(sizes.count()) > largest_inside_e + TOLERANCE;
}

// The bound test holds on a prefix of the sizes 1 ... s_b: for s <= r it says about
// p H_s <= alpha, and H_(s-1) / H_s <= 1 - 1/(s H_s) leaves far more room
// than the few roundings; for s > r its right side is fixed and its left
// side grows with s.
long long CheckEngine::bound_fails_from(Walk& walk) const {
    if (walk.bound_fails_from < 0) {
        walk.bound_fails_from =
            first_true(1, static_cast<long long>(family_.m) + 1, [&](int s) { return !bound_passes(walk.sizes, s); });
    }
    return walk.bound_fails_from;
}

OmittedOutside CheckEngine::omitted_outside(int r) const {
    OmittedOutside omitted;
    if (family_.pad == 0) {
        return omitted;
    }
    omitted.lo = 2;
    if (r > family_.n) {
        omitted.hi = family_.pad;
        omitted.all_fail = true;
        omitted.fail_from = 2;
    } else {
        omitted.hi = family_.pad + 1;
    }
    return omitted;
}

// For r <= n, size s of lo ... hi passes at its only overlap iff the e-value
// of the largest value in the candidate set reaches theta(1).
SizeVerdict CheckEngine::omitted_verdict(const Walk& walk, int s) const {
    if (walk.omitted.all_fail) {
        return SizeVerdict::fail;
    }
    const double Hs = harmonic_(s);
    const double F = (static_cast<double>(s) * Hs) * invalpha_;
    const double p = walk.sizes.largest_inside();
    const double next_e_in = by_evalue(p, Hs, F, cutoff_, invalpha_);
    const double critical = invalpha_ / static_cast<double>(walk.sizes.count());
    return next_e_in >= critical - TOLERANCE ? SizeVerdict::pass : SizeVerdict::fail;
}

long long CheckEngine::omitted_fail_from(Walk& walk) const {
    if (walk.omitted.fail_from < 0) {
        const long long lo = std::max<long long>(walk.omitted.lo, bound_fails_from(walk));
        const long long end = static_cast<long long>(walk.omitted.hi) + 1;
        walk.omitted.fail_from = lo >= end ? end : first_true(lo, end, [&](int s) {
            return omitted_verdict(walk, s) == SizeVerdict::fail;
        });
    }
    return walk.omitted.fail_from;
}

// The first failing size, in level order, of a subtree within lo ... hi of
// the omitted-outside sizes: the failing ones there form the range
// fail_from ... hi (past the bound test's prefix), whose shallowest node the
// descent finds. The bound test drops only sizes it passes, none of them.
std::optional<LevelOrderKey> CheckEngine::first_omitted_failure(Walk& walk, const Node& node) const {
    const long long start = std::max({omitted_fail_from(walk), bound_fails_from(walk), static_cast<long long>(node.lo)});
    const int to = std::min(walk.omitted.hi, node.hi);
    if (start > to) {
        return std::nullopt;
    }
    const int from = static_cast<int>(start);
    Node at = node;
    for (;;) {
        const int s = at.lo + (at.hi - at.lo) / 2;
        if (to < s) {
            at = {at.lo, s - 1, at.depth + 1};
        } else if (from > s) {
            at = {s + 1, at.hi, at.depth + 1};
        } else {
            return LevelOrderKey{at.depth, s};
        }
    }
}

long CheckEngine::literal_cost(const CountSizes& sizes, const SizeSetup& z, int cut) const {
    const int t0 = family_.m - sizes.count();
    const int walk = walk_cut(z, cut);
    const long outside = z.maxv - 1 - walk;
    const long inside_cut = std::clamp(cut + 1 - t0, 0, sizes.count());
    const long prefix = std::max(0L, static_cast<long>(z.minu - 1) - inside_cut);
    return outside + prefix + (last_overlap(z, walk) - z.minu + 1);
}

// A size with its cut-off known: literally if that is cheap, else by a
// certificate, else literally after all. With `defer` (in a sweep, where the
// breadth-first order may never reach the size) the certificate skips exact
// sums and an undecided size is left `uncertain`.
SizeVerdict CheckEngine::decide(const CountSizes& sizes, const SizeSetup& z, int cut, int* argmin, bool defer,
                                bool expect_fail) {
    const long cost = literal_cost(sizes, z, cut);
    if (cost <= tuning_.literal_work) {
        ++stats_.sizes_literal;
        return run_literal(sizes, z);
    }
    bool used_exact_sums = false;
    const SizeVerdict verdict = sizes.certify(z, cut, cost, argmin, expect_fail, !defer, &used_exact_sums);
    stats_.exact_sums += used_exact_sums ? 1 : 0;
    if (verdict != SizeVerdict::unknown) {
        ++stats_.sizes_certified;
        return verdict;
    }
    return defer ? SizeVerdict::uncertain : fall_back(sizes, z);
}

SizeVerdict CheckEngine::run_literal(const CountSizes& sizes, const SizeSetup& z) const {
    return sizes.literal(z, UNLIMITED, nullptr, cancel_);
}

SizeVerdict CheckEngine::fall_back(const CountSizes& sizes, const SizeSetup& z) {
    ++stats_.fallbacks;
    return run_literal(sizes, z);
}

// A size met on its own. Searches meet the same warm size for many counts
// in a row; its cut-off does not depend on the count, and where the smallest
// h lies moves little. Otherwise its literal steps are tried within a small
// budget first, which needs no search for the cut-off.
SizeVerdict CheckEngine::evaluate_single(const CountSizes& sizes, int s) {
    const SizeSetup z = sizes.setup(s);
    if (memo_.s != s) {
        const SizeVerdict verdict = sizes.literal(z, tuning_.literal_work, nullptr);
        if (verdict != SizeVerdict::unknown) {
            ++stats_.sizes_literal;
            return verdict;
        }
        memo_ = {s, sizes.cut_index(z.Hs, family_.pad - 1), -1, SizeVerdict::unknown};
    }
    memo_.verdict = decide(sizes, z, memo_.cut, &memo_.argmin, false, memo_.verdict == SizeVerdict::fail);
    return memo_.verdict;
}

// The loop of size s reads e_out below its cut-off. The literal check has
// examined the sizes in examined_ before it, in this order; replaying their
// outside walks (the last one is s's own) gives the entries it reads.
SizeVerdict CheckEngine::replay_history(Walk& walk, int s) {
    ++stats_.history_replays;
    if (!walk.history) {
        walk.history.emplace();
        walk.applied = 0;
    }
    for (; walk.applied < examined_.size(); ++walk.applied) {
        const SizeSetup z = walk.sizes.setup(examined_[walk.applied]);
        const int cut = walk.sizes.cut_index(z.Hs, family_.pad - 1);
        walk.history->apply(z.maxv, walk_cut(z, cut), z.F);
    }
    return walk.sizes.literal(walk.sizes.setup(s), UNLIMITED, &*walk.history, cancel_);
}

// Decides every size the shortcuts leave, s_b + 1 ... m, in size order, and
// says whether all pass. Ranges of sizes are tried at once, the width doubling
// while they pass.
bool CheckEngine::sweep(Walk& walk) {
    ++stats_.sweeps;
    walk.swept = true;
    const CountSizes& sizes = walk.sizes;
    const int m = family_.m;
    const long long start = std::max<long long>(walk.first_individual, bound_fails_from(walk));
    walk.first_swept = start;
    if (start > m) {
        return true;
    }
    const int from = static_cast<int>(start);
    verdicts_.assign(static_cast<std::size_t>(std::max(0, m - from + 1)), SizeVerdict::unknown);
    bool all_pass = true;
    int cut = family_.pad - 1;  // cut off at every size >= 2
    int width = 2;
    int cooldown = 0;
    // The size is wider than int so that the loop also ends for m = INT_MAX.
    for (long long size = from, polls = 0; size <= m; ++polls) {
        if (polls % CANCEL_POLL_SIZES == 0) {
            stop_if_cancelled(cancel_);
        }
        const int s = static_cast<int>(size);
        const SizeSetup z = sizes.setup(s);
        cut = sizes.cut_index(z.Hs, cut);
        if (tuning_.blocks && cooldown == 0 && s < m) {
            const int last = static_cast<int>(std::min<long long>(m, static_cast<long long>(s) + width - 1));
            const SizeSetup z_last = sizes.setup(last);
            if (sizes.certify_block(z, cut, z_last, sizes.cut_index(z_last.Hs, cut))) {
                ++stats_.blocks_certified;
                std::fill(verdicts_.begin() + (s - from), verdicts_.begin() + (last - from + 1), SizeVerdict::pass);
                size = static_cast<long long>(last) + 1;
                width = width < (1 << 29) ? 2 * width : width;
                continue;
            }
            width /= 4;
            if (width < 2) {
                width = 2;
                cooldown = BLOCK_COOLDOWN;
            }
        } else if (cooldown > 0) {
            --cooldown;
        }
        int argmin = -1;
        const SizeVerdict verdict = decide(sizes, z, cut, &argmin, true, false);
        verdicts_[s - from] = verdict;
        all_pass = all_pass && verdict == SizeVerdict::pass;
        ++size;
    }
    return all_pass;
}

// Whether size 1 and the omitted-outside sizes pass (or fall to the bound).
bool CheckEngine::passes_everywhere_else(Walk& walk) {
    if (!bound_passes(walk.sizes, 1) && size_one_fails(walk.sizes)) {
        return false;
    }
    if (walk.omitted.lo > walk.omitted.hi) {
        return true;
    }
    return std::max(omitted_fail_from(walk), bound_fails_from(walk)) > walk.omitted.hi;
}

cBYCheckResult CheckEngine::check(int r, int warm_s) {
    if (r == 0) {
        return {true, 0};
    }
    stop_if_cancelled(cancel_);
    const CountSizes sizes(family_, harmonic_, alpha_, r, &sums_);
    Walk walk{sizes, omitted_outside(r)};
    walk.first_individual = std::max(2, walk.omitted.hi + 1);
    queue_.clear();
    examined_.clear();
    queue_.push_back({1, family_.m, 0});
    std::optional<LevelOrderKey> best;  // earliest failure found inside an omitted-outside subtree
    int direct = 0;
    for (std::size_t head = 0; head < queue_.size(); ++head) {
        const Node node = queue_[head];
        const int s = split_of(node, warm_s);
        if (best && precedes(*best, LevelOrderKey{node.depth, s})) {
            break;
        }
        if (head % CANCEL_POLL_SIZES == CANCEL_POLL_SIZES - 1) {
            stop_if_cancelled(cancel_);
        }
        if (node.depth > 0 && walk.omitted.lo <= node.lo && node.hi <= walk.omitted.hi) {
            const std::optional<LevelOrderKey> found = first_omitted_failure(walk, node);
            if (found && (!best || precedes(*found, *best))) {
                best = found;
            }
            continue;
        }
        if (bound_passes(sizes, s)) {
            if (s < node.hi) {
                queue_.push_back({s + 1, node.hi, node.depth + 1});
            }
            continue;
        }
        if (s == 1) {
            if (size_one_fails(sizes)) {
                return {false, 1};
            }
            if (node.hi > 1) {
                queue_.push_back({2, node.hi, node.depth + 1});
            }
            continue;
        }
        SizeVerdict verdict = SizeVerdict::unknown;
        if (walk.omitted.lo <= s && s <= walk.omitted.hi) {
            verdict = omitted_verdict(walk, s);  // its outside walk touches nothing
        } else {
            examined_.push_back(s);
            if (walk.swept && s >= walk.first_swept) {
                verdict = verdicts_[s - walk.first_swept];
            }
            if (verdict == SizeVerdict::unknown) {
                verdict = evaluate_single(sizes, s);
            } else if (verdict == SizeVerdict::uncertain) {
                const SizeSetup z = sizes.setup(s);
                int argmin = -1;
                verdict = decide(sizes, z, sizes.cut_index(z.Hs, family_.pad - 1), &argmin, false, false);
            }
            if (verdict == SizeVerdict::stale) {
                verdict = replay_history(walk, s);
            }
        }
        if (verdict == SizeVerdict::fail) {
            return {false, s};
        }
        if (s > node.lo) {
            queue_.push_back({node.lo, s - 1, node.depth + 1});
        }
        if (s < node.hi) {
            queue_.push_back({s + 1, node.hi, node.depth + 1});
        }
        if (!walk.swept && ++direct == tuning_.direct_sizes && sweep(walk) && passes_everywhere_else(walk)) {
            return {true, 0};
        }
    }
    return best ? cBYCheckResult{false, best->s} : cBYCheckResult{true, 0};
}

// Counts r, r - 1, ... whose check certainly fails at its warm size s, which
// it examines first, when every p-value outside that size's candidate part
// is cut off (p_(s-2) is, and it is the smallest of them): then the loop ends
// at its first overlap minu, whose sum is the e-value of one position: the
// largest in the set (minu = 1) or p_(s-1) (the prefix before it cut off).
// Returns the first count that this does not settle.
int CheckEngine::lane(int r, int s) {
    const double Hs = harmonic_(s);
    if (!(family_.at(s - 2) * Hs > cutoff_)) {
        return r;
    }
    const double factor = static_cast<double>(s) * Hs;
    const double F = factor * invalpha_;
    const double p_next = family_.at(s - 1);
    const double later_e = by_evalue(p_next, Hs, F, cutoff_, invalpha_);
    const int m = family_.m;
    const double alpha = alpha_;
    const double invalpha = invalpha_;
    const double cutoff = cutoff_;
    long long settled = 0;
    for (; r >= 1; --r, ++settled) {
        if ((settled + 1) % CANCEL_POLL_COUNTS == 0) {
            stop_if_cancelled(cancel_);
        }
        const int t0 = m - r;
        const double p = family_.at(t0);
        if (p * factor <= static_cast<double>(std::min(s, r)) * alpha) {
            break;
        }
        const int minu = std::max(1, s - t0);
        const double next_e_in = minu > 1 ? later_e : by_evalue(p, Hs, F, cutoff, invalpha);
        // critical >= invalpha / r > 1 / r > TOLERANCE, so a 0 always fails.
        if (next_e_in != 0.0 &&
            next_e_in >= (static_cast<double>(minu) * invalpha) / static_cast<double>(r) - TOLERANCE) {
            break;
        }
    }
    stats_.lane_counts += settled;
    return r;
}

int CheckEngine::exact_search() {
    const int m = family_.m;
    int r = m;
    int warm_s = 0;
    // Every count with an omitted value inside fails at the first size it
    // examines if that is one of 2 ... pad; the root midpoint is the first.
    const int root = 1 + (m - 1) / 2;
    if (family_.pad >= 2 && root >= 2 && root <= family_.pad) {
        stats_.skipped_counts += m - family_.n;
        r = family_.n;
        warm_s = root;
    }
    while (r >= 1) {
        if (tuning_.lane && warm_s >= 2) {
            r = lane(r, warm_s);
            if (r < 1) {
                break;
            }
        }
        const cBYCheckResult result = check(r, warm_s);
        if (result.res) {
            return r;
        }
        warm_s = result.at_s;
        --r;
    }
    return 0;
}

int CheckEngine::approximate_search() {
    const int r_BY = by_scan(family_, harmonic_(family_.m), alpha_, true);
    int best_r = r_BY;
    int warm_s = 0;
    int lo = r_BY + 1;
    int hi = family_.m;
    while (lo <= hi) {
        const int r = lo + (hi - lo) / 2;
        const cBYCheckResult result = check(r, warm_s);
        if (result.res) {
            best_r = r;
            lo = r + 1;
        } else {
            hi = r - 1;
            warm_s = result.at_s;
        }
    }
    return best_r;
}

}  // namespace

cBYCheckResult certified_cby_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic,
                                   int warm_s, double alpha, CertifiedCbyStats* stats,
                                   const CertifiedCbyTuning& tuning) {
    if (r == 0) {
        return {true, 0};
    }
    CertifiedCbyStats local;
    CertifiedCbyStats& counts = stats != nullptr ? *stats : local;
    const int m = checked_count(p.size(), "pvalues");
    const bool arguments_valid =
        r > 0 && r <= m && warm_s >= 0 && warm_s <= m && harmonic.size() > static_cast<std::size_t>(m);
    if (!arguments_valid || !alpha_in_domain(alpha) || !values_in_domain(p.data(), m) ||
        !harmonic_is_exact(harmonic, m)) {
        ++counts.literal_runs;
        return cBY_check_cpp(p, r, harmonic, warm_s, alpha);  // which also refuses bad arguments
    }
    const HarmonicTable table(harmonic.data(), m);
    if (!factor_in_domain(table, alpha)) {
        ++counts.literal_runs;
        return cBY_check_cpp(p, r, harmonic, warm_s, alpha);
    }
    CheckEngine engine(PFamily{p.data(), m, 0, m}, table, alpha, counts, tuning, nullptr);
    return engine.check(r, warm_s);
}

int certified_closed_by_count(const double* p, int n, int total, double alpha, bool approximate,
                              const CancelFlag* cancel, CertifiedCbyStats* stats,
                              const CertifiedCbyTuning& tuning) {
    require_family_size(n, total);
    if (alpha <= 0.0 || total == 0) {
        return 0;
    }
    stop_if_cancelled(cancel);
    CertifiedCbyStats local;
    CertifiedCbyStats& counts = stats != nullptr ? *stats : local;
    const auto literal = [&] {
        ++counts.literal_runs;
        const std::vector<double> padded = padded_values(p, n, total, 1.0);
        return approximate ? largestcBYsignificant_approximate_cpp(padded, alpha)
                           : largestcBYsignificant_cpp(padded, alpha);
    };
    // The sanitised values: the caller's, unless they hold a zero.
    std::vector<double> copy;
    const double* given = p;
    if (std::find(p, p + n, 0.0) != p + n) {
        copy = sanitize_pvalues_cpp(std::vector<double>(p, p + n));
        given = copy.data();
    }
    if (!alpha_in_domain(alpha) || !values_in_domain(given, n)) {
        return literal();
    }
    const int pad = total - n;
    const int dense_from = pad <= std::max(n, tuning.dense_padding) ? 0 : std::min(pad + 1, total);
    const HarmonicTable harmonic(total, dense_from, cancel);
    if (!factor_in_domain(harmonic, alpha)) {
        return literal();
    }
    CheckEngine engine(PFamily{given, n, pad, total}, harmonic, alpha, counts, tuning, cancel);
    return approximate ? engine.approximate_search() : engine.exact_search();
}

int closed_by_count(const double* p, int n, int total, double alpha, bool approximate, const CancelFlag* cancel) {
    return certified_closed_by_count(p, n, total, alpha, approximate, cancel);
}

int by_count(const double* p, int n, int total, double alpha) {
    require_family_size(n, total);
    return by_scan(PFamily{p, n, total - n, total}, harmonic_number(total), alpha,
                   family_is_sorted(p, n, total - n));
}

int bh_count(const double* p, int n, int total, double alpha) {
    require_family_size(n, total);
    return by_scan(PFamily{p, n, total - n, total}, 1.0, alpha, family_is_sorted(p, n, total - n));
}
