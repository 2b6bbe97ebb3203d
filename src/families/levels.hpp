#pragma once

// Levels of one family: for each entry the smallest double alpha in
// (0, max_level) at which the family's procedure, as decide_family decides
// it, rejects the entry; 1 where none does; NaN for a missing entry. The
// ranks follow the mask: strongest first, the earlier entry first among
// equal values.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "closed_by/levels.hpp"
#include "closed_ebh/levels.hpp"
#include "common/level_search.hpp"
#include "../../python/family_decisions.hpp"  // families/families.hpp once moved
#include "harmonic_table.hpp"

struct RankedValue {
    double value;
    std::int64_t position;
};

// Working storage of one thread, kept from one family to the next.
struct LevelScratch {
    std::vector<RankedValue> ranked;
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

// The H of the step-up test: H_total for BY.
inline double step_up_harmonic(int total) { return harmonic_number(total); }

// Whether a value can have a level below max_level at all. A value that is
// not a candidate of the step-up count at max_level (family_decisions.hpp)
// fails its test at every rank there, and so at every smaller level; so do
// the weaker values, at the larger ranks. p-values are judged as the engine
// scales them at max_level.
inline bool has_step_up_level(const Method& method, double value, double harmonic, double max_level) {
    if (method.evidence == Evidence::evalues) {
        return is_evalue_candidate(value, max_level);
    }
    const int j = level_exponent(max_level);
    return is_pvalue_candidate(scaled_pvalue(value, j), harmonic, std::ldexp(max_level, j));
}

// The levels of a family of n entries read through value(j), written
// through write(j, level); `total` counts the family's hypotheses (the
// omitted ones as p = 1 or e = 0), or is -1 for the present entries alone.
template <typename Value, typename Write>
void family_levels(const Method& method, std::int64_t n, const Value& value, const Write& write, int total,
                   double max_level, LevelScratch& scratch, const CancelFlag* cancel) {
    std::vector<RankedValue>& ranked = scratch.ranked;
    ranked.clear();
    for (std::int64_t j = 0; j < n; ++j) {
        const double v = value(j);
        if (std::isnan(v)) {
            write(j, std::numeric_limits<double>::quiet_NaN());
        } else {
            ranked.push_back({v, j});
        }
    }
    const int given = checked_count(ranked.size(), "a family");
    const int family_total = total < 0 ? given : total;
    require_family_size(given, family_total);
    const double harmonic = method.evidence == Evidence::pvalues ? step_up_harmonic(family_total) : 1.0;
    if (!method.closed) {
        const auto weak = std::partition(ranked.begin(), ranked.end(), [&](const RankedValue& entry) {
            return has_step_up_level(method, entry.value, harmonic, max_level);
        });
        for (auto it = weak; it != ranked.end(); ++it) {
            write(it->position, 1.0);
        }
        ranked.erase(weak, ranked.end());
    }
    const bool larger_is_stronger = method.evidence == Evidence::evalues;
    std::sort(ranked.begin(), ranked.end(), [larger_is_stronger](const RankedValue& a, const RankedValue& b) {
        if (a.value != b.value) {
            return larger_is_stronger ? a.value > b.value : a.value < b.value;
        }
        return a.position < b.position;
    });
    std::vector<double>& sorted = scratch.sorted;
    sorted.resize(ranked.size());
    for (std::size_t t = 0; t < ranked.size(); ++t) {
        sorted[t] = ranked[t].value;
    }
    // The weak values left out rank after every candidate: ranks stay.
    const int n_ranked = static_cast<int>(sorted.size());
    std::vector<double> levels;
    if (method.evidence == Evidence::pvalues) {
        levels = method.closed ? closed_by_levels(sorted.data(), n_ranked, family_total, max_level, cancel)
                               : step_up_pvalue_levels(sorted.data(), n_ranked, family_total, harmonic, max_level);
    } else {
        levels = method.closed ? closed_ebh_levels(sorted.data(), n_ranked, family_total, max_level, cancel)
                               : step_up_evalue_levels(sorted.data(), n_ranked, family_total, max_level);
    }
    for (std::size_t t = 0; t < ranked.size(); ++t) {
        write(ranked[t].position, reported_level(levels[t], max_level));
    }
}
