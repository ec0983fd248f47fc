// Exact signs of small polynomials at doubles, through floating-point expansions: a value held
// as a sum of non-overlapping doubles, so that sums and products of doubles are kept without
// rounding and the sign is that of the largest component. The polynomial is small (degree 4),
// so the expansions stay a few dozen components long; this runs once per law, at construction.

#include "models/fspl_quartic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace lumagnis::models::fspl {
namespace {

using Expansion = std::vector<double>; // ascending magnitude, non-overlapping, no zeros

// a + b = sum + error exactly.
void two_sum(double a, double b, double& sum, double& error) {
    sum = a + b;
    const double b_virtual = sum - a;
    const double a_virtual = sum - b_virtual;
    error = (a - a_virtual) + (b - b_virtual);
}

// a = high + low, each with at most 26 significant bits, so that their products are exact.
void split(double a, double& high, double& low) {
    constexpr double splitter = 134217729.0; // 2^27 + 1
    const double c = splitter * a;
    high = c - (c - a);
    low = a - high;
}

// a * b = product + error exactly (no fused multiply-add: the build forbids contraction).
void two_product(double a, double b, double& product, double& error) {
    product = a * b;
    double a_high, a_low, b_high, b_low;
    split(a, a_high, a_low);
    split(b, b_high, b_low);
    error = ((a_high * b_high - product) + a_high * b_low + a_low * b_high) + a_low * b_low;
}

// e + b, exactly.
Expansion grow(const Expansion& e, double b) {
    Expansion out;
    double q = b;
    for (const double component : e) {
        double sum, error;
        two_sum(q, component, sum, error);
        if (error != 0.0) out.push_back(error);
        q = sum;
    }
    if (q != 0.0 || out.empty()) out.push_back(q);
    return out;
}

Expansion add(const Expansion& e, const Expansion& f) {
    Expansion out = e;
    for (const double component : f) out = grow(out, component);
    return out;
}

// e * b, exactly.
Expansion scale(const Expansion& e, double b) {
    Expansion out{0.0};
    for (const double component : e) {
        double product, error;
        two_product(component, b, product, error);
        out = grow(grow(out, error), product);
    }
    return out;
}

int sign(const Expansion& e) {
    for (std::size_t i = e.size(); i-- > 0;) {
        if (e[i] > 0.0) return 1;
        if (e[i] < 0.0) return -1;
    }
    return 0;
}

// The exact sign of p(s) = one + sum_k a[k-1] (s^k - 1) and of p'(s) = sum_k k a[k-1] s^(k-1).
struct Quartic {
    double a[4];
    double one;

    int value_sign(double s) const {
        Expansion total{one};
        Expansion power{1.0};
        for (int k = 0; k < 4; ++k) {
            power = scale(power, s);
            total = add(total, scale(grow(power, -1.0), a[k]));
        }
        return sign(total);
    }

    int slope_sign(double s) const {
        Expansion total{0.0};
        Expansion power{1.0};
        for (int k = 0; k < 4; ++k) {
            total = add(total, scale(scale(power, a[k]), static_cast<double>(k + 1)));
            power = scale(power, s);
        }
        return sign(total);
    }
};

// On [lo, hi], where p' goes from negative to positive, the doubles around the minimum of p:
// bisection on the exact sign of p' down to adjacent doubles (or a double where p' is 0).
bool minimum_nonnegative(const Quartic& p, double lo, double hi) {
    while (true) {
        const double mid = lo + (hi - lo) / 2;
        if (mid <= lo || mid >= hi) break;
        const int slope = p.slope_sign(mid);
        if (slope == 0) return p.value_sign(mid) >= 0;
        (slope < 0 ? lo : hi) = mid;
    }
    return p.value_sign(lo) >= 0 && p.value_sign(hi) >= 0;
}

} // namespace

bool quartic_law_nonnegative(const double (&a)[4]) {
    // The sign is unchanged by a power-of-two scaling, which keeps huge coefficients and their
    // products in range (splitting a double above 2^995 would overflow).
    double largest = 1.0;
    for (const double c : a) largest = std::fmax(largest, std::fabs(c));
    int exponent = 0;
    std::frexp(largest, &exponent);
    Quartic p{};
    for (int k = 0; k < 4; ++k) p.a[k] = std::ldexp(a[k], -exponent);
    p.one = std::ldexp(1.0, -exponent);
    if (p.value_sign(0.0) < 0) return false; // the limb
    // p' is a cubic; between the roots of p'' (a quadratic) it is monotonic, so each piece of
    // [0, 1] holds at most one minimum of p, where p' changes sign from - to +.
    // p''(s) = c0 + c1 s + c2 s^2.
    const double c0 = 2 * p.a[1];
    const double c1 = 6 * p.a[2];
    const double c2 = 12 * p.a[3];
    std::vector<double> cuts{0.0};
    if (c2 != 0.0) {
        const double discriminant = c1 * c1 - 4 * c2 * c0;
        if (discriminant > 0.0) {
            const double root = std::sqrt(discriminant);
            // The root without cancellation, then the other through their product c0 / c2.
            const double first = (-c1 - std::copysign(root, c1)) / (2 * c2);
            const double second = first != 0.0 ? c0 / (c2 * first) : 0.0;
            for (const double x : {first, second}) {
                if (x > 0.0 && x < 1.0) cuts.push_back(x);
            }
        }
    } else if (c1 != 0.0) {
        const double x = -c0 / c1;
        if (x > 0.0 && x < 1.0) cuts.push_back(x);
    }
    cuts.push_back(1.0);
    std::sort(cuts.begin(), cuts.end());
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        const double lo = cuts[i];
        const double hi = cuts[i + 1];
        if (p.value_sign(hi) < 0) return false;
        const int at_lo = p.slope_sign(lo);
        const int at_hi = p.slope_sign(hi);
        if (at_lo < 0 && at_hi > 0 && !minimum_nonnegative(p, lo, hi)) return false;
    }
    return true;
}

} // namespace lumagnis::models::fspl
