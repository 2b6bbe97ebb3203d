#pragma once

// The present values a family's count reads, gathered in one pass over its
// entries: a large family is never copied whole unless its count reads every
// value (closed e-BH). The values left out count as omitted hypotheses
// (p = 1, e = 0), which changes no count and no mask, as shown at
// needed_values.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <vector>

#include "closed_by/closed_by.hpp"
#include "common/common.hpp"
#include "families/methods.hpp"

namespace tarvimo::families {

// Values gathered, or mask entries written, between two checks for a stop
// request: a large family's pass over fresh memory is slowed by page faults
// enough to hold up a stop.
constexpr std::int64_t STOP_CHECK_VALUES = std::int64_t{1} << 20;

// The most entries the closed BY gather reserves room for beforehand (1 GiB
// of address space); beyond them its vector grows as it fills.
constexpr std::int64_t RESERVED_ENTRIES = std::int64_t{1} << 27;

// Entries gathered at a time: each block is written to a buffer without
// branches, and only what it keeps is appended.
constexpr std::int64_t GATHER_BLOCK = 1024;

// The largest j for which 2^j is a double: up to it the p-values scaled by
// 2^j are products, beyond it (alpha subnormal) every present value is kept.
constexpr int LARGEST_SCALE_EXPONENT = std::numeric_limits<double>::max_exponent - 1;

// Which present values a count reads. NaN (a missing entry) is never kept.
struct NeededValues {
    enum class Kind { present, evalue_candidates, pvalue_candidates, pvalues_within_bound };
    Kind kind = Kind::present;
    double scale = 1.0;       // p-values: 2^j, the factor of the scaled evaluation
    double alpha = 0.0;       // the level the core decides at
    double factor_low = 1.0;  // BY and BH: the lower bound of the line's factor
    double bound = 0.0;       // closed BY: the omission bound

    // p 2^j at most 1: common::scaled_pvalue, since a product by a power of
    // two is exact short of overflow, where both give +inf.
    double scaled(double p) const { return std::min(p * scale, 1.0); }

    bool operator()(double v) const {
        switch (kind) {
            case Kind::evalue_candidates:
                return is_evalue_candidate(v, alpha);
            case Kind::pvalue_candidates:
                return is_pvalue_candidate(scaled(v), factor_low, alpha);
            case Kind::pvalues_within_bound:
                return scaled(v) <= bound;
            case Kind::present:
                break;
        }
        return !std::isnan(v);
    }

    bool operator==(const NeededValues& other) const {
        return kind == other.kind && scale == other.scale && alpha == other.alpha && factor_low == other.factor_low &&
               bound == other.bound;
    }
};

// The values the count of a family of `total` hypotheses reads at `alpha`
// (rejection_count's level; p-values below 0.05 are scaled by 2^j as it
// scales them):
// - by, bh: the step-up candidates. The ranked count sets the others aside
//   and ranks the candidates alone, so leaving them out changes neither the
//   ranks nor their limit (the number of candidates); its one test of the
//   number of given values, whether omitted p-values of 1 pass at rank m,
//   is false here, for the candidates are narrowed only where it is false
//   for the family too. Every present value is kept where the ranked count
//   takes the sorted route (alpha not positive finite, or those p-values of
//   1 passing), which then reads the same vector as before.
// - ebh: the candidates, for a positive finite alpha: an omitted e = 0
//   passes at no rank, (k 0) (alpha / m) = 0 < 1 + 1e-12, and so the count
//   of the candidates with the others omitted is the count of all (the
//   comment on sorted_step_up_count).
// - closed BY: the p-values within the omission bound, for 0 < alpha < 1:
//   drop_beyond_omission_bound's own test in input order, so the values
//   sorted are the same.
// - closed e-BH: every present value.
// Where 2^j is not a double, every present value is kept.
inline NeededValues needed_values(const Method& method, double alpha, std::int64_t total) {
    NeededValues needed;
    const int j = method.evidence == Evidence::pvalues ? common::level_exponent(alpha) : 0;
    if (j > LARGEST_SCALE_EXPONENT) {
        return needed;
    }
    needed.scale = std::ldexp(1.0, j);
    needed.alpha = std::ldexp(alpha, j);
    const double level = needed.alpha;
    if (method.evidence == Evidence::evalues) {
        if (!method.closed && level > 0.0 && level <= std::numeric_limits<double>::max()) {
            needed.kind = NeededValues::Kind::evalue_candidates;
        }
    } else if (method.closed) {
        if (level > 0.0 && level < 1.0) {
            needed.kind = NeededValues::Kind::pvalues_within_bound;
            needed.bound = level + closed_by::TOLERANCE;
        }
    } else if (level > 0.0 && level <= std::numeric_limits<double>::max() && total > 0 &&
               !omitted_pvalues_pass(step_up_factor(method, total), total, level)) {
        needed.kind = NeededValues::Kind::pvalue_candidates;
        needed.factor_low = line_factor_lower_bound(method, total);
    }
    return needed;
}

// The number of present (non-NaN) entries of n, read through value(j).
template <typename Value>
std::int64_t count_present(std::int64_t n, const Value& value, const common::CancelFlag* cancel) {
    std::int64_t present = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        if (j % STOP_CHECK_VALUES == 0) {
            common::stop_if_cancelled(cancel);
        }
        present += std::isnan(value(j)) ? 0 : 1;
    }
    return present;
}

// What a pass over the entries found: whether some present entry lies
// outside the domain, and the number of present (non-NaN) entries.
struct EntryScan {
    bool out_of_domain = false;
    std::int64_t present = 0;
};

// What the pass checks of entries that arrive unchecked: nothing (checked
// already), p-values in [0, 1] or non-negative e-values (+inf allowed); NaN,
// a missing entry, is allowed only where `missing_allowed`.
struct DomainCheck {
    bool check = false;
    bool missing_allowed = true;
};

inline bool in_domain(const EntryScan& scan, std::int64_t n, const DomainCheck& domain) {
    return !domain.check || (!scan.out_of_domain && (domain.missing_allowed || scan.present == n));
}

// 1 for an entry outside the domain of its evidence (a p-value outside
// [0, 1], a negative e-value), else 0, as an int to combine without
// branches; NaN, a missing entry, fails both comparisons and passes.
inline int outside_domain(double v, bool pvalues) { return (v < 0.0) | (pvalues & (v > 1.0)); }

// The domain and the present entries of n contiguous entries at `in`: one
// loop without branches, which the compiler vectorises.
TARVIMO_AVX2_CLONE inline EntryScan scan_entries(const double* in, std::int64_t n, bool pvalues) {
    int outside = 0;
    std::int64_t missing = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double v = in[j];
        outside |= outside_domain(v, pvalues);
        missing += v != v ? 1 : 0;
    }
    return {outside != 0, n - missing};
}

// The domain test of entries checked already: every one passes, and the
// gather counts the present entries.
struct NoDomainTest {
    static constexpr bool scans_blocks = false;
};

// The domain test of unchecked contiguous p-values: scan_entries on each
// block that the gather has just read, entries in the cache, which also
// counts the present ones; the same tests in the gather's scalar loop would
// cost about as much as a pass of their own.
struct PvalueDomainTest {
    static constexpr bool scans_blocks = true;
    const double* in;
    EntryScan operator()(std::int64_t start, std::int64_t end) const {
        return scan_entries(in + start, end - start, true);
    }
};

// Appends the values of n entries (read through value(j)) that keep(v)
// holds for to `kept`, in input order, checking `cancel` every
// STOP_CHECK_VALUES entries; returns the number of present entries and
// whether `outside` found one outside the domain: a domain test that scans
// each block just read (counting its present entries), or none.
template <typename Value, typename Keep, typename Outside = NoDomainTest>
EntryScan gather_kept(std::int64_t n, const Value& value, const Keep& keep, std::vector<double>& kept,
                      const common::CancelFlag* cancel, const Outside& outside = {}) {
    kept.clear();
    std::int64_t present = 0;
    int out_of_domain = 0;
    double block[GATHER_BLOCK];
    for (std::int64_t start = 0; start < n; start += GATHER_BLOCK) {
        if (start % STOP_CHECK_VALUES == 0) {
            common::stop_if_cancelled(cancel);
        }
        const std::int64_t end = std::min(n, start + GATHER_BLOCK);
        std::size_t next = 0;
        if constexpr (Outside::scans_blocks) {
            for (std::int64_t j = start; j < end; ++j) {
                const double v = value(j);
                block[next] = v;
                next += keep(v) ? 1 : 0;
            }
            const EntryScan scan = outside(start, end);
            out_of_domain |= scan.out_of_domain ? 1 : 0;
            present += scan.present;
        } else {
            for (std::int64_t j = start; j < end; ++j) {
                const double v = value(j);
                block[next] = v;
                next += keep(v) ? 1 : 0;
                present += std::isnan(v) ? 0 : 1;
            }
        }
        kept.insert(kept.end(), block, block + next);
    }
    return {out_of_domain != 0, present};
}

// The p-values of n entries within the omission bound of `needed` (closed
// BY), as gather_kept gathers them with the domain test `outside`.
template <typename Value, typename Outside = NoDomainTest>
EntryScan gather_within_bound(std::int64_t n, const Value& value, const NeededValues& needed, std::vector<double>& kept,
                              const common::CancelFlag* cancel, const Outside& outside = {}) {
    // Room for every entry, reserved and not written: the kept values (some
    // 15% of a realistic family) then fill fresh pages once, where a growing
    // vector would copy them and fault in about twice as many pages (at 10^6
    // values, 205 page faults a call instead of 825). Up to RESERVED_ENTRIES:
    // the address space taken must not refuse a huge family (a memory-mapped
    // one) whose kept values fit.
    kept.reserve(static_cast<std::size_t>(std::min(n, RESERVED_ENTRIES)));
    // The test's constants as locals, which the loop keeps in registers.
    const double scale = needed.scale;
    const double bound = needed.bound;
    return gather_kept(
        n, value, [scale, bound](double p) { return std::min(p * scale, 1.0) <= bound; }, kept, cancel, outside);
}

// Whether some of the n contiguous values is NaN.
TARVIMO_AVX2_CLONE inline bool any_nan(const double* values, std::int64_t n) {
    int nan = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        nan |= values[j] != values[j];
    }
    return nan != 0;
}

// The present values of n contiguous ones, a piece at a time, checking
// `cancel` before each: plain copies of the pieces without NaN into memory
// reserved, not written, beforehand. Returns their number.
inline std::int64_t gather_present(const double* values, std::int64_t n, std::vector<double>& present,
                                   const common::CancelFlag* cancel) {
    present.clear();
    present.reserve(static_cast<std::size_t>(n));
    common::advise_huge_pages(present.data(), present.capacity() * sizeof(double));
    for (std::int64_t start = 0; start < n; start += STOP_CHECK_VALUES) {
        common::stop_if_cancelled(cancel);
        const double* first = values + start;
        const double* last = values + std::min(n, start + STOP_CHECK_VALUES);
        if (any_nan(first, last - first)) {
            std::copy_if(first, last, std::back_inserter(present), [](double v) { return !std::isnan(v); });
        } else {
            present.insert(present.end(), first, last);
        }
    }
    return static_cast<std::int64_t>(present.size());
}

// gather_kept with the test of `needed`, in a loop of its own for each kind.
template <typename Value>
std::int64_t gather_needed_values(std::int64_t n, const Value& value, const NeededValues& needed,
                                  std::vector<double>& kept, const common::CancelFlag* cancel,
                                  const double* contiguous) {
    using Kind = NeededValues::Kind;
    // The tests with their constants as locals, which the loops keep in registers.
    const double scale = needed.scale;
    const double alpha = needed.alpha;
    switch (needed.kind) {
        case Kind::evalue_candidates:
            return gather_kept(
                       n, value, [alpha](double e) { return is_evalue_candidate(e, alpha); }, kept, cancel)
                .present;
        case Kind::pvalue_candidates: {
            const double factor_low = needed.factor_low;
            return gather_kept(
                       n, value,
                       [scale, alpha, factor_low](double p) {
                           return is_pvalue_candidate(std::min(p * scale, 1.0), factor_low, alpha);
                       },
                       kept, cancel)
                .present;
        }
        case Kind::pvalues_within_bound:
            return gather_within_bound(n, value, needed, kept, cancel).present;
        case Kind::present:
            break;
    }
    if (contiguous != nullptr) {
        return gather_present(contiguous, n, kept, cancel);
    }
    return gather_kept(n, value, [](double v) { return !std::isnan(v); }, kept, cancel).present;
}

// Gathers into `needed` the values that the count of a family of n entries
// (read through value(j), NaN missing) reads, and returns the family's total:
// `total` if given (checked against the present values), else the number of
// present values, refused beyond 32 bits naming the family `name`.
// `contiguous`, if given, holds the n entries in order: every present value
// is then copied in pieces rather than tested one by one. One pass
// when the total is given and not below n, or when no entry is missing;
// otherwise the present values are counted first, or the values gathered
// again for the total that the missing entries leave.
template <typename Value>
std::int64_t gather_needed(const Method& method, double alpha, std::int64_t n, std::optional<std::int64_t> total,
                           const Value& value, std::vector<double>& needed, const common::CancelFlag* cancel,
                           const char* name, const double* contiguous = nullptr) {
    constexpr std::int64_t largest = std::numeric_limits<int>::max();
    if ((total && *total < n) || (!total && n > largest)) {
        const int present = common::checked_count(static_cast<std::size_t>(count_present(n, value, cancel)), name);
        const std::int64_t family_total = total.value_or(present);
        common::require_family_size(present, family_total);
        gather_needed_values(n, value, needed_values(method, alpha, family_total), needed, cancel, contiguous);
        return family_total;
    }
    const std::int64_t assumed = total.value_or(n);
    const NeededValues kept = needed_values(method, alpha, assumed);
    const std::int64_t present = gather_needed_values(n, value, kept, needed, cancel, contiguous);
    if (total || present == n) {
        return assumed;
    }
    const std::int64_t family_total = present;
    const NeededValues exact = needed_values(method, alpha, family_total);
    if (!(exact == kept)) {
        gather_needed_values(n, value, exact, needed, cancel, contiguous);
    }
    return family_total;
}

}  // namespace tarvimo::families
