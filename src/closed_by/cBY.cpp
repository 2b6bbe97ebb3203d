#include "closed_by/cBY.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/common.hpp"

namespace tarvimo::closed_by {

namespace {

void require_harmonic_length(const std::vector<double>& harmonic, int m) {
    if (harmonic.size() <= static_cast<std::size_t>(m)) {
        throw std::invalid_argument("harmonic must hold at least " + std::to_string(m + 1) + " entries (H_0 ... H_" +
                                    std::to_string(m) + " for " + std::to_string(m) + " p-values), got " +
                                    std::to_string(harmonic.size()));
    }
}

void require_in_range(const char* name, int value, int lo, int hi) {
    if (value < lo || value > hi) {
        throw std::invalid_argument(std::string(name) + " must lie in " + std::to_string(lo) + " ... " +
                                    std::to_string(hi) + " (the number of p-values), got " + std::to_string(value));
    }
}

// E-values of the p-values outside the candidate set, at positions 1 ... m,
// all 0.0 when a check starts. Only the band of positions written so far is
// initialised: a check that ends at its first size writes a few positions at
// most, and would otherwise spend most of its time zeroing m + 1 entries.
class OutsideEvalues {
public:
    explicit OutsideEvalues(int m) : values_(new double[static_cast<std::size_t>(m) + 1]) {}

    double operator[](int k) const { return lo_ <= k && k <= hi_ ? values_[k] : 0.0; }

    void set(int k, double value) {
        if (lo_ > hi_) {
            lo_ = hi_ = k;
        } else if (k < lo_) {
            std::fill(&values_[k + 1], &values_[lo_], 0.0);
            lo_ = k;
        } else if (k > hi_) {
            std::fill(&values_[hi_ + 1], &values_[k], 0.0);
            hi_ = k;
        }
        values_[k] = value;
    }

private:
    std::unique_ptr<double[]> values_;
    int lo_ = 1;  // the initialised band is lo_ ... hi_, empty while lo_ > hi_
    int hi_ = 0;
};

}  // namespace

std::vector<double> harmonic_numbers_cpp(int m) {
    // m = -1 gives an empty vector; m <= -2 asks for more than max_size().
    std::vector<double> harmonic(static_cast<std::size_t>(m) + 1, 0.0);
    double sum = 0.0;
    for (std::size_t i = 1; i < harmonic.size(); ++i) {
        sum += 1.0 / static_cast<double>(i);
        harmonic[i] = sum;
    }
    return harmonic;
}

std::vector<double> sanitize_pvalues_cpp(const std::vector<double>& p) {
    std::vector<double> sanitized(p);
    for (double& value : sanitized) {
        if (value == 0.0) {
            value = ZERO_REPLACEMENT;
        }
    }
    return sanitized;
}

int BY_cpp(const std::vector<double>& p, const std::vector<double>& harmonic, double alpha) {
    const int m = common::checked_count(p.size(), "pvalues");
    if (m == 0) {
        return 0;
    }
    require_harmonic_length(harmonic, m);
    const double factor = static_cast<double>(m) * harmonic[m];
    for (int i = 0; i < m; ++i) {
        const int k = m - i;
        if (((p[i] * factor) / static_cast<double>(k)) - alpha <= TOLERANCE) {
            return k;
        }
    }
    return 0;
}

cBYCheckResult cBY_check_cpp(const std::vector<double>& p, int r, const std::vector<double>& harmonic, int warm_s,
                             double alpha) {
    if (r == 0) {
        return {true, 0};
    }
    const int m = common::checked_count(p.size(), "pvalues");
    require_in_range("r", r, 0, m);
    require_in_range("warm_s", warm_s, 0, m);
    require_harmonic_length(harmonic, m);

    const double invalpha = 1.0 / alpha;
    const double largest_inside_p = p[m - r];
    OutsideEvalues e_out(m);
    common::IntervalQueue queue(1, m);
    bool use_warm = warm_s != 0;

    while (!queue.empty()) {
        const auto [lo, hi] = queue.pop();
        const int s = use_warm ? warm_s : lo + (hi - lo) / 2;
        use_warm = false;
        const double Hs = harmonic[s];
        const double factor = static_cast<double>(s) * Hs;
        const int maxu = std::min(s, r);

        // Sufficient bound: every e-value inside the candidate set reaches
        // invalpha / maxu, and the bound then holds at every smaller size too.
        if (largest_inside_p * factor <= static_cast<double>(maxu) * alpha) {
            if (s < hi) {
                queue.push(s + 1, hi);
            }
            continue;
        }

        if (s == 1) {
            const double largest_inside_e = largest_inside_p <= alpha + TOLERANCE
                                                ? invalpha / stable_ceiling_cpp(largest_inside_p * invalpha)
                                                : 0.0;
            if (invalpha / static_cast<double>(r) > largest_inside_e + TOLERANCE) {
                return {false, 1};
            }
            if (hi > 1) {
                queue.push(2, hi);
            }
            continue;
        }

        const double factoralpha = factor * invalpha;
        const int minu = std::max(1, s - (m - r));
        const int maxv = s - minu;

        // E-values of the maxv largest p-values outside the candidate set,
        // from the smallest p-value up to the cut-off.
        double sum_e_out = 0.0;
        for (int i = maxv - 1; i >= 0; --i) {
            if (p[i] * Hs > alpha + TOLERANCE) {
                // Everything from here up is cut off; clear what earlier
                // sizes left, down to the first entry that is already 0.
                for (int j = i + 1; j >= 1 && e_out[j] != 0.0; --j) {
                    e_out.set(j, 0.0);
                }
                break;
            }
            const double next_e = invalpha / stable_ceiling_cpp(p[i] * factoralpha);
            e_out.set(i + 1, next_e);
            sum_e_out += next_e;
        }

        // The minu - 1 largest p-values inside, which every subset of size s takes.
        double sum_e_in = 0.0;
        for (int i = minu - 2; i >= 0; --i) {
            const double pi = p[m - r + i];
            if (Hs * pi > alpha + TOLERANCE) {
                break;
            }
            sum_e_in += invalpha / stable_ceiling_cpp(pi * factoralpha);
        }

        // Both sides of each comparison fall with invalpha and are rounded
        // separately: where the reciprocal sums of the ceilings come within about
        // 1e-10 * alpha of u / r, rounding decides, and the verdict need not be
        // monotone in alpha (README, "Monotone in alpha").
        for (int u = minu; u <= maxu; ++u) {
            const int v = s - u;
            const double pu_in = p[m - r + u - 1];
            const double next_e_in =
                Hs * pu_in <= alpha + TOLERANCE ? invalpha / stable_ceiling_cpp(pu_in * factoralpha) : 0.0;
            sum_e_in += next_e_in;
            const double critical = (static_cast<double>(u) * invalpha) / static_cast<double>(r);
            if (sum_e_in >= critical - TOLERANCE) {
                break;
            }
            if (sum_e_in + sum_e_out < critical - TOLERANCE) {
                return {false, s};
            }
            sum_e_out -= e_out[v];
        }

        if (s > lo) {
            queue.push(lo, s - 1);
        }
        if (s < hi) {
            queue.push(s + 1, hi);
        }
    }
    return {true, 0};
}

int largestcBYsignificant_cpp(const std::vector<double>& p, double alpha) {
    if (alpha <= 0.0) {
        return 0;
    }
    const int m = common::checked_count(p.size(), "pvalues");
    const std::vector<double> sanitized = sanitize_pvalues_cpp(p);
    const std::vector<double> harmonic = harmonic_numbers_cpp(m);
    int warm_s = 0;
    for (int r = m; r >= 1; --r) {
        const cBYCheckResult check = cBY_check_cpp(sanitized, r, harmonic, warm_s, alpha);
        if (check.res) {
            return r;
        }
        warm_s = check.at_s;
    }
    return 0;
}

int largestcBYsignificant_approximate_cpp(const std::vector<double>& p, double alpha) {
    if (alpha <= 0.0) {
        return 0;
    }
    const int m = common::checked_count(p.size(), "pvalues");
    const std::vector<double> sanitized = sanitize_pvalues_cpp(p);
    const std::vector<double> harmonic = harmonic_numbers_cpp(m);
    const int r_BY = BY_cpp(sanitized, harmonic, alpha);
    int best_r = r_BY;
    int warm_s = 0;
    int lo = r_BY + 1;
    int hi = m;
    while (lo <= hi) {
        const int r = lo + (hi - lo) / 2;
        const cBYCheckResult check = cBY_check_cpp(sanitized, r, harmonic, warm_s, alpha);
        if (check.res) {
            best_r = r;
            lo = r + 1;
        } else {
            hi = r - 1;
            warm_s = check.at_s;
        }
    }
    return best_r;
}

}  // namespace tarvimo::closed_by
