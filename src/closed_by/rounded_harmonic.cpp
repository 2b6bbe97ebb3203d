#include "closed_by/rounded_harmonic.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace tarvimo::closed_by {

// How H_m is evaluated and why the result is the nearest double.
//
// H_m = ln m + gamma + 1/(2m) - 1/(12 m^2) + rho, 0 < rho < 1/(120 m^4)
// (the Euler-Maclaurin series is enveloping), and rho < 2^-130 for m >= 2^31.
// With m = 2^k f, f in [0.75, 1.5) (exact: a power of two apart),
// ln m = k ln 2 + 2 atanh(t), t = (f - 1) / (f + 1), |t| <= 1/5, and
// 2 atanh(t) = 2 t P(t^2) + R, P(y) = sum_{j < J} y^j / (2j + 1),
// 0 <= |R| <= 2 |t|^(2J+1) / ((2J+1)(1 - t^2)).
//
// Each step runs in a binary type T of precision p (x87 long double, p = 64;
// __float128, p = 113), unit roundoff U = 2^-p:
// - f - 1 and f + 1 are exact (f has at most 46 significant bits, both are
//   within a factor 2 of numbers of that size), so t carries one rounding, U.
// - y = t^2 carries 3.01 U; Horner's rule on positive terms and the rounded
//   coefficients fl(1 / (2j + 1)) gives P within (2J - 1) 1.01 U + 0.05 U
//   (dP/dy y / P < 0.014) relative, and the product t P adds one rounding:
//   2 t P(t^2) is within (2J + 2) 1.01 U of itself relative, at most
//   0.406 (2J + 2) 1.01 U absolute as |2 atanh t| <= ln 1.5. J = 14 (p = 64)
//   and J = 26 (p = 113) make |R| below 0.01 U: at most 12.4 U and 22.1 U.
// - ln 2 = c0 + L, c0 a double, so k c0 is exact (k <= 46: at most 59 bits);
//   L and gamma are held as sums of doubles, each within 2.01 U relative in
//   T: gamma within 1.17 U, k L within 2^-40 U.
// - The sum ((k c0 + (2 t P + k L)) + gamma) + (q / 2 - (q q) / 12), q =
//   fl(1 / m): the inner addition rounds by at most 0.25 U (its result is
//   below 0.5), the three outer ones by half an ulp each of a value in
//   [16, 32) (H_m < 32 for m <= 2^45), 16 U; the small terms carry a few U
//   of 2^-32.
// In all the result is within 12.4 + 0.25 + 1.17 + 48 + 0.02 < 80 U (22.1 in
// place of 12.4 for p = 113: < 80 U too) of H_m. The ends of
// [H - 96 U, H + 96 U] computed in T round by at most 16 U more and so
// enclose H_m; rounding to nearest is monotone, so when both ends round to
// the same double, that double is the one nearest to H_m. The 64-bit
// evaluation settles all but about one m in 340 (the enclosure spans
// 192 2^-64 against doubles 2^-48 apart); the rest take the 113-bit one,
// whose enclosure (2^-105 wide) leaves m undecided only if H_m lies that
// close to a midpoint between two doubles.

namespace {

// ln 2 = LN2_HI + LN2_MID + LN2_LO + O(2^-164), gamma likewise.
constexpr double LN2_HI = 0x1.62e42fefa39efp-1;
constexpr double LN2_MID = 0x1.abc9e3b39803fp-56;
constexpr double LN2_LO = 0x1.7b57a079a1934p-111;
constexpr double GAMMA_HI = 0x1.2788cfc6fb619p-1;
constexpr double GAMMA_MID = -0x1.6cb90701fbfabp-58;
constexpr double GAMMA_LO = -0x1.34a95e3133c51p-112;

// Terms of the atanh series and the precision of each evaluation.
constexpr int LONG_DOUBLE_TERMS = 14;
constexpr int LONG_DOUBLE_PRECISION = 64;
constexpr int QUAD_TERMS = 26;
constexpr int QUAD_PRECISION = 113;
// Half the width of the enclosure, in units of U.
constexpr int ENCLOSURE_ULPS = 96;

static_assert(std::numeric_limits<long double>::digits == LONG_DOUBLE_PRECISION,
              "the 64-bit evaluation needs the x87 extended type");

struct Enclosure {
    double lo;  // the double nearest to the lower end
    double hi;  // the double nearest to the upper end
};

// fl(1 / (2j + 1)) in T for j < Terms.
template <typename T, int Terms>
struct SeriesCoefficients {
    T inverse_odd[Terms];
    SeriesCoefficients() {
        for (int j = 0; j < Terms; ++j) {
            inverse_odd[j] = static_cast<T>(1) / static_cast<T>(2 * j + 1);
        }
    }
};

// The coefficients, computed once per process and only read after.
template <typename T, int Terms>
const T* series_coefficients() {
    static const SeriesCoefficients<T, Terms> coefficients;
    return coefficients.inverse_odd;
}

// H_m evaluated in T (precision `precision`, `Terms` terms of the series),
// enclosed and rounded to doubles at both ends.
template <typename T, int Terms>
Enclosure harmonic_enclosure(std::int64_t m, int precision) {
    const T* inverse_odd = series_coefficients<T, Terms>();
    const int terms = Terms;
    int k = 0;
    while ((m >> (k + 1)) != 0) {
        ++k;
    }
    T f = static_cast<T>(m) * static_cast<T>(std::ldexp(1.0, -k));
    if (f >= static_cast<T>(1.5)) {
        f = f * static_cast<T>(0.5);
        ++k;
    }
    const T one = 1;
    const T t = (f - one) / (f + one);
    const T y = t * t;
    T p = inverse_odd[terms - 1];
    for (int j = terms - 2; j >= 0; --j) {
        p = p * y + inverse_odd[j];
    }
    const T log_f = static_cast<T>(2) * (t * p);
    const T big_k = static_cast<T>(k);
    const T low_ln2 = static_cast<T>(LN2_MID) + static_cast<T>(LN2_LO);
    const T gamma = (static_cast<T>(GAMMA_HI) + static_cast<T>(GAMMA_MID)) + static_cast<T>(GAMMA_LO);
    const T q = one / static_cast<T>(m);
    const T small = q * static_cast<T>(0.5) - (q * q) / static_cast<T>(12);
    const T h = ((big_k * static_cast<T>(LN2_HI) + (log_f + big_k * low_ln2)) + gamma) + small;
    const T margin = static_cast<T>(std::ldexp(1.0, -precision)) * static_cast<T>(ENCLOSURE_ULPS);
    return {static_cast<double>(h - margin), static_cast<double>(h + margin)};
}

}  // namespace

RoundedHarmonic rounded_harmonic(std::int64_t m, bool extended) {
    if (m <= LAST_SUMMED_HARMONIC || m > LARGEST_ROUNDED_HARMONIC) {
        throw std::domain_error("the rounded harmonic number is defined for 2^31 <= m <= 2^45, got " +
                                std::to_string(m));
    }
    if (!extended) {
        const Enclosure quick = harmonic_enclosure<long double, LONG_DOUBLE_TERMS>(m, LONG_DOUBLE_PRECISION);
        if (quick.lo == quick.hi) {
            return {quick.lo, false};
        }
    }
    const Enclosure wide = harmonic_enclosure<__float128, QUAD_TERMS>(m, QUAD_PRECISION);
    if (wide.lo != wide.hi) {
        throw std::domain_error("the harmonic number of " + std::to_string(m) +
                                " lies too close to a midpoint between two doubles to be rounded");
    }
    return {wide.lo, true};
}

}  // namespace tarvimo::closed_by
