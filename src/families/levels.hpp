#pragma once

// Levels of one family: for each entry the smallest double alpha in
// (0, max_level) at which the family's procedure, as decide_family decides
// it, rejects the entry; 1 where none does; NaN for a missing entry. The
// ranks follow the mask: strongest first, the earlier entry first among
// equal values.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "closed_ebh/closed_ebh.hpp"
#include "common/common.hpp"
#include "families/methods.hpp"
#include "families/needed.hpp"
#include "families/rank_order.hpp"

namespace tarvimo::families {

// Working storage of one thread, kept from one family to the next.
struct LevelScratch {
    std::vector<RankedValue> ranked;
    std::vector<RankedValue> spare;
    std::vector<double> sorted;
};

// Levels exist for the exact searches only: an approximate search's count
// need not grow with alpha.
inline Method level_method_named(const std::string& name) {
    const Method method = method_named(name);
    if (method.approximate) {
        throw std::invalid_argument("levels exist for the exact searches only, not for '" + name + "'");
    }
    return method;
}

inline void require_max_level(double max_level) {
    if (!(max_level > 0.0 && max_level <= 1.0)) {
        throw std::invalid_argument("max_level must lie in (0, 1], got " + std::to_string(max_level));
    }
}

// The H of the p-value step-up test: H_total for BY (and closed BY), 1 for BH.
inline double step_up_harmonic(const Method& method, std::int64_t total) {
    return method.harmonic ? closed_by::harmonic_number(total) : 1.0;
}

// Whether a value can have a step-up level below max_level at all; the
// others, and with them every weaker value (at a larger rank), fail their
// test at every rank at max_level, and so at every smaller level.
// - p-values, judged as the engine scales them at max_level (p' and
//   alpha' >= 0.05): at rank k <= total the test's left side is
//   fl(fl(p' factor) / k) - alpha' >= p' H_total (1 - 3u) - alpha', H_total
//   being the same summed double the test uses. Where p' H_total >=
//   alpha' (1 + 1e-6) that is at least alpha' (1e-6 - 4u) > 5e-8 > 1e-10.
// - e-values: (k e) fl(alpha / total) <= e alpha (1 + 2u) for k <= total,
//   below 1 + 1e-12 where e alpha < 1 - 1e-6.
// - closed BY, with H = 1: at every alpha < max_level, in its own band
//   (alpha' >= 0.05, the same or a larger power of two), such a p' exceeds
//   alpha' (1 + 1e-6 - 3u) > alpha' + 1e-10 or is clamped to 1 > alpha' +
//   1e-10, and fl(p' H_s) >= p'. So its e-value is 0 at every size, as an
//   omitted hypothesis' (p = 1) is: both lie at the top of the largest-first
//   vector, where the check's walk meets them only as cut off, and every
//   count holding one fails at size one and in BY's test (fl(fl(p' factor)
//   / k) >= p', factor >= total >= k). The family's checks are the same
//   with it omitted, and its level is at least max_level.
constexpr double CANDIDATE_SLACK = 1e-6;

class StepUpCandidates {
public:
    StepUpCandidates(const Method& method, double harmonic, double max_level)
        : evalues_(method.evidence == Evidence::evalues),
          harmonic_(harmonic),
          band_(common::level_exponent(max_level)),
          level_(std::ldexp(max_level, band_)) {}

    bool operator()(double value) const {
        if (evalues_) {
            return value * level_ >= 1.0 - CANDIDATE_SLACK;
        }
        return (band_ == 0 ? value : common::scaled_pvalue(value, band_)) * harmonic_ <
               level_ * (1.0 + CANDIDATE_SLACK);
    }

private:
    bool evalues_;
    double harmonic_;
    int band_;
    double level_;
};

// The levels of a family of n entries read through value(j), written
// through write(j, level); `total` counts the family's hypotheses (the
// omitted ones as p = 1 or e = 0), or is -1 for the present entries alone.
// A closed BY family may take `threads` (two at most) for its scan.
template <typename Value, typename Write>
void family_levels(const Method& method, std::int64_t n, const Value& value, const Write& write, std::int64_t total,
                   double max_level, LevelScratch& scratch, const common::CancelFlag* cancel, int threads = 1) {
    std::int64_t present = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        present += std::isnan(value(j)) ? 0 : 1;
    }
    const int given = common::checked_count(static_cast<std::size_t>(present), "a family");
    const std::int64_t family_total = total < 0 ? given : total;
    common::require_family_size(given, family_total);
    const double harmonic = method.evidence == Evidence::pvalues ? step_up_harmonic(method, family_total) : 1.0;
    // A step-up procedure ranks only its candidates: the others rank after
    // every candidate, which keep their ranks. Closed BY ranks the p-values
    // that can have a level below max_level and counts the others as omitted.
    const bool closed_pvalues = method.closed && method.evidence == Evidence::pvalues;
    const bool screened = !method.closed || closed_pvalues;
    const StepUpCandidates is_candidate(method, closed_pvalues ? 1.0 : harmonic, max_level);
    // A value that is no candidate is rejected only with the omitted ones.
    const double weak_level =
        method.evidence == Evidence::pvalues && !closed_pvalues
            ? common::reported_level(closed_by::omitted_pvalue_level(given, family_total, harmonic, max_level),
                                     max_level)
            : 1.0;
    std::vector<RankedValue>& ranked = scratch.ranked;
    ranked.clear();
    // Room for every present value; pages never written cost nothing.
    common::reserve_advised(ranked, static_cast<std::size_t>(present));
    for (std::int64_t j = 0; j < n; ++j) {
        const double v = value(j);
        if (std::isnan(v)) {
            write(j, std::numeric_limits<double>::quiet_NaN());
        } else if (!screened || is_candidate(v)) {
            ranked.push_back({v, j});
        } else {
            write(j, weak_level);
        }
    }
    // Gathered by ascending position, as rank_values needs.
    rank_values(ranked, scratch.spare, method.evidence == Evidence::evalues);
    std::vector<double>& sorted = scratch.sorted;
    common::reserve_advised(sorted, ranked.size());
    sorted.resize(ranked.size());
    for (std::size_t t = 0; t < ranked.size(); ++t) {
        sorted[t] = ranked[t].value;
    }
    const int n_ranked = static_cast<int>(sorted.size());
    std::vector<double> levels;
    if (method.evidence == Evidence::pvalues) {
        levels = method.closed
                     ? closed_by::closed_by_levels(sorted.data(), n_ranked, family_total, max_level, cancel, nullptr,
                                                   threads)
                     : closed_by::step_up_pvalue_levels(sorted.data(), n_ranked, family_total, harmonic, max_level);
    } else {
        levels = method.closed
                     ? closed_ebh::stays_rejected_levels(sorted.data(), n_ranked, family_total, max_level, cancel)
                     : closed_ebh::step_up_evalue_levels(sorted.data(), n_ranked, family_total, max_level);
    }
    for (std::size_t t = 0; t < ranked.size(); ++t) {
        write(ranked[t].position, common::reported_level(levels[t], max_level));
    }
}

// How many leading ranks have a level below max_level: levels are
// nondecreasing in rank, so the last such rank ends them.
inline std::size_t ranks_below(const std::vector<double>& levels, double max_level) {
    std::size_t t = levels.size();
    while (t > 0 && !(levels[t - 1] < max_level)) {
        --t;
    }
    return t;
}

// The entries of `in` holding the `count` strongest ranks of the family
// whose ranked values `strongest` holds (strongest first: descending where
// larger is stronger, else ascending), ranked strongest first and the
// earlier entry first among equal values. A missing entry (NaN) compares
// neither stronger nor equal, and is left out.
inline std::vector<RankedValue> strongest_entries(const double* in, std::int64_t n, const double* strongest,
                                                  std::size_t count, bool larger_is_stronger,
                                                  const common::CancelFlag* cancel) {
    std::vector<RankedValue> ranked;
    if (count == 0) {
        return ranked;
    }
    const double weakest = strongest[count - 1];
    // Ranks before the first value equal to the weakest kept one hold the stronger values.
    const auto stronger = static_cast<std::size_t>(
        std::find_if(strongest, strongest + count, [weakest](double v) { return v == weakest; }) - strongest);
    std::size_t equal_left = count - stronger;
    ranked.reserve(count);
    for (std::int64_t block = 0; block < n; block += STOP_CHECK_VALUES) {
        common::stop_if_cancelled(cancel);
        const std::int64_t end = std::min(n, block + STOP_CHECK_VALUES);
        for (std::int64_t j = block; j < end; ++j) {
            const double v = in[j];
            if (larger_is_stronger ? v > weakest : v < weakest) {
                ranked.push_back({v, j});
            } else if (v == weakest && equal_left > 0) {
                ranked.push_back({v, j});
                --equal_left;
            }
        }
    }
    std::vector<RankedValue> spare;
    rank_values(ranked, spare, larger_is_stronger);
    return ranked;
}

}  // namespace tarvimo::families
