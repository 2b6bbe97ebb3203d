#include "closed_by/size_decider.hpp"

#include <algorithm>

namespace tarvimo::closed_by {

// For r <= n, size s of 2 ... pad + 1 passes at its only overlap iff the e-value
// of the largest value in the candidate set reaches theta(1).
SizeVerdict SizeDecider::omitted_size_verdict(const CountSizes& sizes, std::int64_t s) const {
    const double Hs = harmonic_(s);
    const double F = (static_cast<double>(s) * Hs) * invalpha_;
    const double p = sizes.largest_inside();
    const double next_e_in = by_evalue(p, Hs, F, cutoff_, invalpha_);
    const double critical = invalpha_ / static_cast<double>(sizes.count());
    return next_e_in >= critical - TOLERANCE ? SizeVerdict::pass : SizeVerdict::fail;
}

long SizeDecider::literal_cost(const CountSizes& sizes, const SizeSetup& z, std::int64_t cut) const {
    const std::int64_t t0 = family_.m - sizes.count();
    const std::int64_t walk = walk_cut(z, cut);
    const long outside = z.maxv - 1 - walk;
    const long inside_cut = std::clamp<std::int64_t>(cut + 1 - t0, 0, sizes.count());
    const long prefix = std::max(0L, static_cast<long>(z.minu - 1) - inside_cut);
    return outside + prefix + (last_overlap(z, walk) - z.minu + 1);
}

// A size with its cut-off known: literally if that is cheap, else by a
// certificate, else literally after all. With `defer` (in a sweep, where the
// breadth-first order may never reach the size) the certificate skips exact
// sums and an undecided size is left `uncertain`.
SizeVerdict SizeDecider::decide(const CountSizes& sizes, const SizeSetup& z, std::int64_t cut, std::int64_t* argmin,
                                bool defer, bool expect_fail) {
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

SizeVerdict SizeDecider::run_literal(const CountSizes& sizes, const SizeSetup& z) const {
    return sizes.literal(z, UNLIMITED, nullptr, cancel_);
}

SizeVerdict SizeDecider::fall_back(const CountSizes& sizes, const SizeSetup& z) {
    ++stats_.fallbacks;
    return run_literal(sizes, z);
}

// A size met on its own. Searches meet the same warm size for many counts
// in a row; its cut-off does not depend on the count, and where the smallest
// h lies moves little. Otherwise its literal steps are tried within a small
// budget first, which needs no search for the cut-off.
SizeVerdict SizeDecider::evaluate_single(const CountSizes& sizes, std::int64_t s) {
    const SizeSetup z = sizes.setup(s);
    if (memo_.s != s) {
        const SizeVerdict verdict = sizes.literal(z, tuning_.literal_work, nullptr);
        if (verdict != SizeVerdict::unknown) {
            ++stats_.sizes_literal;
            return verdict;
        }
        memo_ = {s, sizes.cut_index(z.Hs, family_.pad - 1), -1, SizeVerdict::unknown};
    } else if (memo_.cut < 0) {
        memo_.cut =
            memo_.cut_hint >= 0 ? sizes.cut_index_near(z.Hs, memo_.cut_hint) : sizes.cut_index(z.Hs, family_.pad - 1);
    }
    memo_.verdict = decide(sizes, z, memo_.cut, &memo_.argmin, false, memo_.verdict == SizeVerdict::fail);
    return memo_.verdict;
}

}  // namespace tarvimo::closed_by
