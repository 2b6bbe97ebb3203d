#include "closed_by/fast_check.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "closed_by/galloping_search.hpp"
#include "common/common.hpp"

namespace tarvimo::closed_by {

namespace {

// After a range certificate fails at two sizes, this many sizes are decided
// singly before ranges are tried again.
constexpr std::int64_t BLOCK_COOLDOWN = 16;
constexpr std::int64_t CANCEL_POLL_SIZES = 32;
// The certificates' bounds stay finite for e-value factors up to this.
constexpr double LARGEST_FACTOR = 1e300;

bool precedes(const LevelOrderKey& a, const LevelOrderKey& b) {
    return a.depth < b.depth || (a.depth == b.depth && a.s < b.s);
}

// The split size of node (lo, hi): the warm size at the root if given, the
// midpoint elsewhere.
std::int64_t split_of(const Node& node, std::int64_t warm_s) {
    return node.depth == 0 && warm_s != 0 ? warm_s : node.lo + (node.hi - node.lo) / 2;
}

bool harmonic_is_exact(const std::vector<double>& harmonic, std::int64_t m) {
    double sum = 0.0;
    if (harmonic[0] != 0.0) {
        return false;
    }
    for (std::int64_t i = 1; i <= m; ++i) {
        sum += 1.0 / static_cast<double>(i);
        if (harmonic[i] != sum) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool values_in_domain(const double* q, std::int64_t n) {
    if (n == 0) {
        return true;
    }
    if (!(q[0] > 0.0 && q[0] <= 1.0)) {  // false for NaN
        return false;
    }
    // Branch-free within blocks, in a form the compiler vectorises. At the
    // first value that fails, q[i - 1] lies in (0, 1]: then q[i - 1] - q[i] is
    // negative exactly where q[i] > q[i - 1], and NaN only where q[i] is,
    // which fails q[i] > 0. So a block is flagged exactly when a value fails.
    constexpr std::int64_t BLOCK = 1024;
    for (std::int64_t first = 1; first < n; first += BLOCK) {
        const std::int64_t end = std::min(n, first + BLOCK);
        double out = 0.0;
        for (std::int64_t i = first; i < end; ++i) {
            out = (q[i - 1] - q[i] < 0.0 || !(q[i] > 0.0)) ? 1.0 : out;
        }
        if (out != 0.0) {
            return false;
        }
    }
    return true;
}

bool alpha_in_domain(double alpha) { return alpha > 0.0 && alpha < 1.0; }

bool factor_in_domain(double family_factor, double alpha) { return family_factor * (1.0 / alpha) <= LARGEST_FACTOR; }

// Where fl(fl(m H_m) fl(1 / alpha)) <= 0.8e12 (so m H_m <= 0.8e12 alpha
// (1 + 1e-15)), every value q <= 1e-12 decides alike at every size s of
// every check, at alpha and above, wherever it stands (s H_s <= m H_m, and
// the rounded products are monotone): fl(H_s q) <= 3e-11 < alpha + 1e-10
// keeps it within the cut-off; its ceiling is 1 (fl(q fl(fl(s H_s)
// fl(1 / alpha))) <= 0.8 (1 + 1e-15), and max(1, ceil(x - 1e-10)) = 1 for
// x <= 1), so its e-value is 1 / alpha as computed; the bound test holds for
// it (fl(q fl(s H_s)) <= 0.8 alpha (1 + 1e-15) < fl(k alpha) for k >= 1) and
// size one's ceiling is 1 (q / alpha < 1); the BY test passes at its rank k
// (fl(fl(q m H_m) / k) - alpha < 0). So the smallest nonzero value, where it
// is below 1e-12, may stand for the zeros in place of 1e-12.
constexpr double STAND_IN_FACTOR = 0.8e12;

double zero_stand_in(double smallest_nonzero, double family_factor, double alpha) {
    const bool alike = alpha > 0.0 && family_factor * (1.0 / alpha) <= STAND_IN_FACTOR;
    return alike && smallest_nonzero > 0.0 && smallest_nonzero < ZERO_REPLACEMENT ? smallest_nonzero : ZERO_REPLACEMENT;
}

bool factor_in_domain(const HarmonicTable& harmonic, double alpha) {
    const std::int64_t m = harmonic.size();
    return m == 0 || factor_in_domain(static_cast<double>(m) * harmonic(m), alpha);
}

std::int64_t dense_harmonic_from(int n, std::int64_t total, const CertifiedCbyTuning& tuning) {
    const std::int64_t pad = total - n;
    if (pad <= std::max(n, tuning.dense_padding) && total <= LAST_SUMMED_HARMONIC) {
        return 0;
    }
    return std::min(pad + 1, total);
}

// The bound test holds on a prefix of the sizes 1 ... s_b: for s <= r it says about
// p H_s <= alpha, and H_(s-1) / H_s <= 1 - 1/(s H_s) leaves far more room
// than the few roundings; for s > r its right side is fixed and its left
// side grows with s (also at 2^31, where the rounded H exceeds the summed one
// before it by more than 1/s).
// Being a prefix, it is found from any start: from the last check's end,
// which the next check's lies close to.
std::int64_t CheckWalk::bound_fails_from(Walk& walk) const {
    if (walk.bound_fails_from < 0) {
        const std::int64_t end = family_.m + 1;
        const auto fails = [&](std::int64_t s) { return !decider_.bound_passes(walk.sizes, s); };
        const std::int64_t hint = bound_hint_;
        if (hint < 1) {
            walk.bound_fails_from = first_true(1, end, fails);
        } else if (hint >= end || fails(hint)) {
            walk.bound_fails_from = first_true_from_top(1, std::min(hint, end), fails);
        } else {
            walk.bound_fails_from = first_true(hint + 1, end, fails);
        }
        bound_hint_ = walk.bound_fails_from;
    }
    return walk.bound_fails_from;
}

OmittedOutside CheckWalk::omitted_outside(std::int64_t r) const {
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

// Size s of the omitted-outside sizes lo ... hi: with an omitted value inside
// too it fails, else the decider tells.
SizeVerdict CheckWalk::omitted_verdict(const Walk& walk, std::int64_t s) const {
    if (walk.omitted.all_fail) {
        return SizeVerdict::fail;
    }
    return decider_.omitted_size_verdict(walk.sizes, s);
}

std::int64_t CheckWalk::omitted_fail_from(Walk& walk) const {
    if (walk.omitted.fail_from < 0) {
        const std::int64_t lo = std::max<std::int64_t>(walk.omitted.lo, bound_fails_from(walk));
        const std::int64_t end = walk.omitted.hi + 1;
        walk.omitted.fail_from = lo >= end ? end : first_true(lo, end, [&](std::int64_t s) {
            return omitted_verdict(walk, s) == SizeVerdict::fail;
        });
    }
    return walk.omitted.fail_from;
}

// The first failing size, in level order, of a subtree within lo ... hi of
// the omitted-outside sizes: the failing ones there form the range
// fail_from ... hi (past the bound test's prefix), whose shallowest node the
// descent finds. The bound test drops only sizes it passes, none of them.
std::optional<LevelOrderKey> CheckWalk::first_omitted_failure(Walk& walk, const Node& node) const {
    const std::int64_t start = std::max({omitted_fail_from(walk), bound_fails_from(walk), node.lo});
    const std::int64_t to = std::min(walk.omitted.hi, node.hi);
    if (start > to) {
        return std::nullopt;
    }
    const std::int64_t from = start;
    Node at = node;
    for (;;) {
        const std::int64_t s = at.lo + (at.hi - at.lo) / 2;
        if (to < s) {
            at = {at.lo, s - 1, at.depth + 1};
        } else if (from > s) {
            at = {s + 1, at.hi, at.depth + 1};
        } else {
            return LevelOrderKey{at.depth, s};
        }
    }
}

// The loop of size s reads e_out below its cut-off. The literal check has
// examined the sizes in examined_ before it, in this order; replaying their
// outside walks (the last one is s's own) gives the entries it reads.
SizeVerdict CheckWalk::replay_history(Walk& walk, std::int64_t s) {
    ++stats_.history_replays;
    if (!walk.history) {
        walk.history.emplace();
        walk.applied = 0;
    }
    for (; walk.applied < examined_.size(); ++walk.applied) {
        const SizeSetup z = walk.sizes.setup(examined_[walk.applied]);
        const std::int64_t cut = walk.sizes.cut_index(z.Hs, family_.pad - 1);
        walk.history->apply(z.maxv, walk_cut(z, cut), z.F);
    }
    return walk.sizes.literal(walk.sizes.setup(s), UNLIMITED, &*walk.history, cancel_);
}

void SweptVerdicts::clear() {
    runs_.clear();
    singles_.clear();
    undecided_ = 0;
}

// Passing sizes next to a certified range join it, so that a range of sizes
// that all pass is one run however the sweep found them.
void SweptVerdicts::add_range(std::int64_t lo, std::int64_t hi) {
    if (!runs_.empty() && runs_.back().first_single < 0 && runs_.back().hi + 1 == lo) {
        runs_.back().hi = hi;
    } else {
        runs_.push_back({lo, hi, -1});
    }
}

void SweptVerdicts::add(std::int64_t s, SizeVerdict verdict) {
    if (verdict == SizeVerdict::pass) {
        add_range(s, s);
        return;
    }
    undecided_ += verdict == SizeVerdict::fail ? 0 : 1;
    if (runs_.empty() || runs_.back().first_single < 0 || runs_.back().hi + 1 != s) {
        runs_.push_back({s, s, static_cast<std::int64_t>(singles_.size())});
    } else {
        runs_.back().hi = s;
    }
    singles_.push_back(verdict);
}

void SweptVerdicts::settle(std::int64_t s, SizeVerdict verdict) {
    const Run* run = run_of(s);
    singles_[static_cast<std::size_t>(run->first_single + (s - run->lo))] = verdict;
    --undecided_;
}

const SweptVerdicts::Run* SweptVerdicts::run_of(std::int64_t s) const {
    const auto after = std::upper_bound(runs_.begin(), runs_.end(), s,
                                        [](std::int64_t size, const Run& run) { return size < run.lo; });
    if (after == runs_.begin() || s > (after - 1)->hi) {
        return nullptr;
    }
    return &*(after - 1);
}

SizeVerdict SweptVerdicts::at(std::int64_t s) const {
    const Run* run = run_of(s);
    if (run == nullptr) {
        return SizeVerdict::unknown;
    }
    return run->first_single < 0 ? SizeVerdict::pass
                                 : singles_[static_cast<std::size_t>(run->first_single + (s - run->lo))];
}

bool SweptVerdicts::all_pass(std::int64_t lo, std::int64_t hi) const {
    const Run* run = run_of(lo);
    return run != nullptr && run->first_single < 0 && hi <= run->hi;
}

// The kept ranges that apply to a sweep of count r at this level, by first
// size: those of the sweeps whose span of levels holds it, for counts down
// to r. They may overlap; the sweep takes each from where it stands.
void CheckWalk::gather_carried(std::int64_t r) {
    applying_.clear();
    for (const CarriedRanges& kept : carried_) {
        if (!(kept.least <= r && r <= kept.r && kept.lo <= alpha_ && alpha_ <= kept.hi)) {
            continue;
        }
        for (const CarriedRange& range : kept.ranges) {
            applying_.push_back({range.first, range.last, kept.r != r});
        }
    }
    std::sort(applying_.begin(), applying_.end(),
              [](const ApplyingRange& a, const ApplyingRange& b) { return a.first < b.first; });
}

// Decides every size the shortcuts leave, s_b + 1 ... m, in size order, and
// says whether all pass. Ranges of sizes are tried at once, the width doubling
// while they pass.
//
// With a floor and a least count, each range of at least
// least_carried_width sizes up to m - r is certified from the floor up to the
// level for the counts from the least up to r at once (certify_block_up_to;
// where that fails, at the level and count alone, counted in level_misses),
// and the ranges so certified are kept. A later sweep of such a count at a
// level between the two takes them as passing: a range that passes at every
// level of [floor, level] and for every count of its span passes at this
// one, and a passing size decided by a certificate reads nothing that
// earlier sizes left, as a range certified here would. Every other size is
// decided as without them, so the verdicts, and the walk's result, are the
// same; only the work differs.
//
// Narrower ranges, and those reaching past m - r (certified for r alone),
// were certified from the floor up too. On realistic data at 10^6 (max_level
// 1) 9 in 10 of the narrow ones missed, paying for two certificates (they
// hold the count's tight sizes), and nearly every range taken later came
// from another count's sweep: leaving both out took the levels' instructions
// from 4.32e9 to 3.54e9, and saved on the BY line too.
bool CheckWalk::sweep(Walk& walk) {
    ++stats_.sweeps;
    walk.swept = true;
    const CountSizes& sizes = walk.sizes;
    const std::int64_t m = family_.m;
    const std::int64_t r = sizes.count();
    const std::int64_t start = std::max<std::int64_t>(walk.first_individual, bound_fails_from(walk));
    walk.first_swept = start;
    if (start > m) {
        return true;
    }
    const std::int64_t from = start;
    verdicts_.clear();
    uncertain_.clear();
    bool all_pass = true;
    bool no_fail = true;
    std::int64_t cut = family_.pad - 1;  // cut off at every size >= 2
    std::int64_t width = std::max<std::int64_t>(2, tuning_.first_block_width);
    std::int64_t cooldown = 0;
    std::optional<CountSizes> low;  // the counts least_count ... r at the floor
    CarriedRanges fresh;            // what this sweep certifies from the floor up
    if (walk.floor > 0.0 && walk.floor < alpha_ && walk.least_count >= 1 && walk.least_count < r) {
        low.emplace(family_, harmonic_, walk.floor, r, &sums_, walk.least_count);
        fresh = {r, walk.floor, alpha_, walk.least_count, {}};
    }
    gather_carried(r);
    if (!low && applying_.empty() && !carried_.empty()) {
        ++stats_.outside_carried;
    }
    // Where the last single size's smallest h lay: the next one's lies close
    // (a hint for the certificate's search, never its verdict).
    std::int64_t argmin = -1;
    std::int64_t block_argmin = -1;                        // the same for ranges
    bool gap_start = !applying_.empty();                   // s begins the sizes between two carried ranges
    const ApplyingRange* next_carried = applying_.data();  // the first carried range not below s
    const ApplyingRange* const carried_end = next_carried + applying_.size();
    for (std::int64_t s = from, polls = 0; s <= m; ++polls) {
        if (polls % CANCEL_POLL_SIZES == 0) {
            common::stop_if_cancelled(cancel_);
        }
        while (next_carried < carried_end && next_carried->last < s) {
            ++next_carried;
        }
        std::int64_t end = m;  // the last size a range from s may reach
        if (next_carried < carried_end) {
            const ApplyingRange& range = *next_carried;
            if (range.first <= s) {
                ++stats_.blocks_carried;
                stats_.carried_across_counts += range.across ? 1 : 0;
                verdicts_.add_range(s, range.last);
                s = range.last + 1;
                gap_start = true;
                continue;
            }
            end = range.first - 1;
        }
        if (gap_start) {
            // The sizes between carried ranges hold the count's tight sizes,
            // which pass at this level (its crossing, mostly): try them at once.
            width = std::max<std::int64_t>(2, end - s + 1);
            gap_start = false;
        }
        const SizeSetup z = sizes.setup(s);
        cut = sizes.cut_index(z.Hs, cut);
        if (tuning_.blocks && cooldown == 0 && s < end && s - from >= tuning_.first_singles) {
            const std::int64_t last = std::min(end, s + width - 1);
            const SizeSetup z_last = sizes.setup(last);
            const std::int64_t cut_last = sizes.cut_index(z_last.Hs, cut);
            bool certified = false;
            if (low && last <= m - r && last - s + 1 >= tuning_.least_carried_width) {
                const SizeSetup z_last_low = low->setup(last);
                certified = low->certify_block_up_to(sizes, low->setup(s), z_last_low,
                                                     low->cut_index(z_last_low.Hs, cut_last), z, cut, &block_argmin);
                if (certified) {
                    ++stats_.blocks_up_the_levels;
                    fresh.ranges.push_back({s, last});
                } else {
                    ++stats_.level_misses;
                }
            }
            if (certified || sizes.certify_block(z, cut, z_last, cut_last, &block_argmin)) {
                ++stats_.blocks_certified;
                verdicts_.add_range(s, last);
                s = last + 1;
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
        SizeVerdict verdict = known_verdict(r, s);
        if (verdict == SizeVerdict::unknown) {
            verdict = decider_.decide(sizes, z, cut, &argmin, !tuning_.decisive_sweep, false);
        }
        verdicts_.add(s, verdict);
        all_pass = all_pass && verdict == SizeVerdict::pass;
        no_fail = no_fail && (verdict == SizeVerdict::pass || verdict == SizeVerdict::uncertain);
        if (verdict == SizeVerdict::uncertain) {
            uncertain_.push_back(s);
        }
        ++s;
    }
    if (!fresh.ranges.empty()) {
        if (carried_.size() == CARRIED_SWEEPS) {
            carried_.pop_back();
        }
        carried_.insert(carried_.begin(), std::move(fresh));
    }
    return all_pass || (no_fail && settle_uncertain(walk));
}

// A sweep that found no failure but left sizes uncertain decides them now,
// in size order, as the walk would when it meets them (the same non-deferred
// decision on the same cut-off). A verdict of pass or fail that way reads no
// entry of e_out that earlier sizes left (it would be stale otherwise), so it
// is the verdict the walk gets whatever it examined before: deciding it early
// changes the order of the work, not a result. If every one passes, every
// swept size does, and the walk may skip them all; the first that fails or
// is stale ends the settling, and the sizes from it on stay to the walk (a
// failing check need not reach them). Without this a check with an uncertain
// size walked every node of the tree, O(m log m) per check: a fifth of the
// levels' time on the BY line at m = 10,000.
bool CheckWalk::settle_uncertain(Walk& walk) {
    for (const std::int64_t s : uncertain_) {
        const SizeSetup z = walk.sizes.setup(s);
        std::int64_t argmin = -1;
        const SizeVerdict verdict =
            decider_.decide(walk.sizes, z, walk.sizes.cut_index(z.Hs, family_.pad - 1), &argmin, false, false);
        if (verdict != SizeVerdict::pass) {
            ++stats_.unsettled_sweeps;
            if (verdict == SizeVerdict::fail) {
                verdicts_.settle(s, verdict);
            }
            return false;
        }
        verdicts_.settle(s, verdict);
    }
    ++stats_.settled_sweeps;
    verdicts_.clear();
    verdicts_.add_range(walk.first_swept, family_.m);
    return true;
}

// Whether size 1 and the omitted-outside sizes pass (or fall to the bound).
bool CheckWalk::passes_everywhere_else(Walk& walk) {
    if (!decider_.bound_passes(walk.sizes, 1) && decider_.size_one_fails(walk.sizes)) {
        return false;
    }
    if (walk.omitted.lo > walk.omitted.hi) {
        return true;
    }
    return std::max(omitted_fail_from(walk), bound_fails_from(walk)) > walk.omitted.hi;
}

SizeVerdict CheckWalk::size_verdict(std::int64_t r, std::int64_t s) {
    const CountSizes sizes(family_, harmonic_, alpha_, r, &sums_);
    if (decider_.bound_passes(sizes, s)) {
        return SizeVerdict::pass;
    }
    if (s == 1) {
        return decider_.size_one_fails(sizes) ? SizeVerdict::fail : SizeVerdict::pass;
    }
    const OmittedOutside omitted = omitted_outside(r);
    if (omitted.lo <= s && s <= omitted.hi) {
        return omitted_verdict(Walk{sizes, omitted}, s);
    }
    const SizeVerdict verdict = decider_.evaluate_single(sizes, s);
    if (verdict == SizeVerdict::pass || verdict == SizeVerdict::fail) {
        if (r != known_r_) {
            known_.clear();
            known_r_ = r;
        }
        known_.emplace_back(s, verdict);
    }
    return verdict;
}

// A size's pass or fail judged on its own reads no entry that earlier sizes
// left (it would be stale otherwise): every route to a verdict of that size
// at this level, in the walk or in a sweep, gives the same one. So a check of
// the same count at the same level takes it instead of deciding the size
// again (the level search judges the sizes near the deciding one on their
// own right before the check that confirms the level, and those are the
// tight ones, which need exact sums).
SizeVerdict CheckWalk::known_verdict(std::int64_t r, std::int64_t s) const {
    if (r != known_r_) {
        return SizeVerdict::unknown;
    }
    for (const auto& [size, verdict] : known_) {
        if (size == s) {
            ++stats_.known_sizes;
            return verdict;
        }
    }
    return SizeVerdict::unknown;
}

SizeCheck CheckWalk::check(std::int64_t r, std::int64_t warm_s, double floor, std::int64_t least_count) {
    if (r == 0) {
        return {true, 0};
    }
    common::stop_if_cancelled(cancel_);
    const CountSizes sizes(family_, harmonic_, alpha_, r, &sums_);
    Walk walk{sizes, omitted_outside(r)};
    walk.floor = floor;
    walk.least_count = least_count;
    walk.first_individual = std::max<std::int64_t>(2, walk.omitted.hi + 1);
    queue_.clear();
    examined_.clear();
    queue_.push_back({1, family_.m, 0});
    std::optional<LevelOrderKey> best;  // earliest failure found inside an omitted-outside subtree
    std::int64_t direct = 0;
    for (std::size_t head = 0; head < queue_.size(); ++head) {
        const Node node = queue_[head];
        const std::int64_t s = split_of(node, warm_s);
        if (best && precedes(*best, LevelOrderKey{node.depth, s})) {
            break;
        }
        if (head % CANCEL_POLL_SIZES == CANCEL_POLL_SIZES - 1) {
            common::stop_if_cancelled(cancel_);
        }
        if (node.depth > 0 && walk.omitted.lo <= node.lo && node.hi <= walk.omitted.hi) {
            const std::optional<LevelOrderKey> found = first_omitted_failure(walk, node);
            if (found && (!best || precedes(*found, *best))) {
                best = found;
            }
            continue;
        }
        // After a sweep that decided every size, a subtree of sizes that all
        // pass holds no failure, and nothing met later reads what its sizes
        // left: every size examined from here on is one of the sweep's
        // (verdict pass or fail), or passes the bound test, or is size 1 or
        // an omitted-outside one, and none of those replays the history of
        // examined sizes. So the walk skips the subtree and finds the same
        // first failure in the same order.
        if (walk.swept && verdicts_.all_decided() && node.lo >= walk.first_swept &&
            verdicts_.all_pass(node.lo, node.hi)) {
            continue;
        }
        if (decider_.bound_passes(sizes, s)) {
            if (s < node.hi) {
                queue_.push_back({s + 1, node.hi, node.depth + 1});
            }
            continue;
        }
        if (s == 1) {
            if (decider_.size_one_fails(sizes)) {
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
                verdict = verdicts_.at(s);
            }
            if (verdict == SizeVerdict::unknown) {
                verdict = known_verdict(r, s);
            }
            if (verdict == SizeVerdict::unknown) {
                verdict = decider_.evaluate_single(sizes, s);
            } else if (verdict == SizeVerdict::uncertain) {
                const SizeSetup z = sizes.setup(s);
                std::int64_t argmin = -1;
                verdict = decider_.decide(sizes, z, sizes.cut_index(z.Hs, family_.pad - 1), &argmin, false, false);
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
    return best ? SizeCheck{false, best->s} : SizeCheck{true, 0};
}

cBYCheckResult certified_cby_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic, int warm_s,
                                   double alpha, CertifiedCbyStats* stats, const CertifiedCbyTuning& tuning) {
    if (r == 0) {
        return {true, 0};
    }
    CertifiedCbyStats local;
    CertifiedCbyStats& counts = stats != nullptr ? *stats : local;
    const int m = common::checked_count(p.size(), "pvalues");
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
    CheckWalk walk(PFamily{p.data(), m, 0, m}, table, alpha, counts, tuning, nullptr);
    const SizeCheck result = walk.check(r, warm_s);
    return {result.res, static_cast<int>(result.at_s)};  // at most m, an int
}

}  // namespace tarvimo::closed_by
