#include "numerics/gauss_jacobi.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumagnis::numerics {
namespace {

// The recurrence matrix of the orthonormal polynomials of (1 + x)^a on [-1, 1]: its diagonal d
// and its off-diagonal e (e[k] joins rows k and k + 1; the last is 0).
void recurrence(double a, std::vector<double>& d, std::vector<double>& e) {
    const int n = static_cast<int>(d.size());
    for (int k = 0; k < n; ++k) {
        const double s = 2.0 * k + a;
        // (a^2 - b^2) / (s (s + 2)) with the exponent b = 0 at x = 1; at k = 0, where s = a may
        // vanish, the same a / (a + 2) with s cancelled.
        d[k] = k == 0 ? a / (a + 2) : (a * a) / (s * (s + 2));
        if (k + 1 < n) {
            const double m = k + 1.0;
            const double t = 2.0 * m + a;
            e[k] = 2 / t * std::sqrt(m * m * (m + a) * (m + a) / ((t - 1) * (t + 1)));
        }
    }
}

// The derivatives of recurrence()'s entries in a.
void recurrence_slopes(double a, const std::vector<double>& e, std::vector<double>& dd,
                       std::vector<double>& de) {
    const int n = static_cast<int>(dd.size());
    for (int k = 0; k < n; ++k) {
        const double s = 2.0 * k + a;
        const double q = s * (s + 2);
        dd[k] = k == 0 ? 2 / ((a + 2) * (a + 2)) : (2 * a * q - (a * a) * (2 * s + 2)) / (q * q);
        if (k + 1 < n) {
            // e = 2 m (m + a) / (t sqrt(t^2 - 1)), t = 2 m + a: its logarithmic derivative.
            const double m = k + 1.0;
            const double t = 2.0 * m + a;
            de[k] = e[k] * (1 / (m + a) - 1 / t - t / ((t - 1) * (t + 1)));
        }
    }
}

// The eigenvalues of the symmetric tridiagonal matrix with diagonal d and off-diagonal e (e[k]
// joins rows k and k + 1; the last is 0), left in d, and the first components of the normalised
// eigenvectors, left in first: implicit QL iterations with shifts, carrying only the first row of
// the rotations. False if an eigenvalue takes more than 60 iterations.
bool diagonalise(std::vector<double>& d, std::vector<double>& e, std::vector<double>& first) {
    const int n = static_cast<int>(d.size());
    first.assign(n, 0.0);
    first[0] = 1.0;
    constexpr double eps = std::numeric_limits<double>::epsilon();
    for (int l = 0; l < n; ++l) {
        for (int iteration = 0;; ++iteration) {
            int m = l;
            for (; m < n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) <= eps * dd) break;
            }
            if (m == l) break;
            if (iteration == 60) return false;
            double g = (d[l + 1] - d[l]) / (2 * e[l]);
            double r = std::hypot(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + std::copysign(r, g));
            double s = 1.0;
            double c = 1.0;
            double p = 0.0;
            bool underflow = false;
            for (int i = m - 1; i >= l; --i) {
                const double f = s * e[i];
                const double b = c * e[i];
                r = std::hypot(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    underflow = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
                const double z = first[i + 1];
                first[i + 1] = s * first[i] + c * z;
                first[i] = c * first[i] - s * z;
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
    return true;
}

// The rule of the eigenvalues x(lambda) and the weights scale * first^2, ascending.
template <class Node>
std::vector<GaussNode> rule_of(const std::vector<double>& d, const std::vector<double>& first,
                               double scale, Node node) {
    std::vector<GaussNode> rule(d.size());
    for (std::size_t k = 0; k < d.size(); ++k)
        rule[k] = GaussNode{.x = node(d[k]), .w = scale * (first[k] * first[k])};
    std::sort(rule.begin(), rule.end(),
              [](const GaussNode& p, const GaussNode& q) { return p.x < q.x; });
    return rule;
}

} // namespace

// The nodes are the eigenvalues of the orthonormal polynomials' three-term recurrence matrix
// (those of (1 + x)^a on [-1, 1], mapped to x' = (1 + x) / 2), and each weight is the square
// of the first component of its normalised eigenvector.
std::vector<GaussNode> gauss_jacobi_power(int n, double a) {
    std::vector<double> d(n);
    std::vector<double> e(n, 0.0);
    recurrence(a, d, e);
    std::vector<double> first;
    if (!diagonalise(d, e, first)) return {};
    return rule_of(d, first, 1.0, [](double lambda) { return (1 + lambda) / 2; });
}

// Stieltjes' procedure on the discrete measure: each orthonormal polynomial's values at the
// points from the two before, and the recurrence's coefficients from their sums; then the
// nodes and weights as for the Jacobi rules.
std::vector<GaussNode> gauss_rule_of_measure(std::span<const double> x, std::span<const double> w,
                                             int n) {
    const std::size_t size = x.size();
    double total = 0.0;
    for (double weight : w) total += weight;
    if (!(total > 0) || n < 1) return {};
    std::vector<double> d(n);
    std::vector<double> e(n, 0.0);
    std::vector<double> p(size, 1 / std::sqrt(total)); // p_k at the points
    std::vector<double> previous(size, 0.0);           // p_k-1
    std::vector<double> next(size);
    for (int k = 0;; ++k) {
        double alpha = 0.0;
        for (std::size_t j = 0; j < size; ++j) alpha += w[j] * (x[j] * (p[j] * p[j]));
        d[k] = alpha;
        if (k + 1 == n) break;
        const double below = k > 0 ? e[k - 1] : 0.0;
        double norm = 0.0;
        for (std::size_t j = 0; j < size; ++j) {
            next[j] = (x[j] - alpha) * p[j] - below * previous[j];
            norm += w[j] * (next[j] * next[j]);
        }
        if (!(norm > 0)) return {};
        e[k] = std::sqrt(norm);
        for (std::size_t j = 0; j < size; ++j) {
            previous[j] = p[j];
            p[j] = next[j] / e[k];
        }
    }
    std::vector<double> first;
    if (!diagonalise(d, e, first)) return {};
    return rule_of(d, first, total, [](double lambda) { return lambda; });
}

// A node x is the eigenvalue lambda = 2 x - 1 of the recurrence matrix J, and its weight the
// square of the first component of the normalised eigenvector v, which the recurrence itself
// gives: v_i is proportional to the i-th orthonormal polynomial at lambda. For a symmetric matrix
// with distinct eigenvalues, lambda_k' = v_k . J' v_k and
// v_k' = sum over j != k of v_j (v_j . J' v_k) / (lambda_k - lambda_j).
std::vector<GaussSlope> gauss_jacobi_power_slopes(double a, std::span<const GaussNode> rule) {
    const int n = static_cast<int>(rule.size());
    std::vector<double> d(n);
    std::vector<double> e(n, 0.0);
    std::vector<double> dd(n);
    std::vector<double> de(n, 0.0);
    recurrence(a, d, e);
    recurrence_slopes(a, e, dd, de);
    std::vector<double> lambda(n);
    std::vector<std::vector<double>> v(n, std::vector<double>(n));
    for (int k = 0; k < n; ++k) {
        lambda[k] = 2 * rule[k].x - 1;
        std::vector<double>& p = v[k];
        p[0] = 1.0;
        double norm = 1.0;
        for (int i = 0; i + 1 < n; ++i) {
            const double below = i == 0 ? 0.0 : e[i - 1] * p[i - 1];
            p[i + 1] = ((lambda[k] - d[i]) * p[i] - below) / e[i];
            norm += p[i + 1] * p[i + 1];
        }
        const double scale = 1 / std::sqrt(norm);
        for (double& x : p) x *= scale;
    }
    // J' v_j . v_k, symmetric in j and k.
    const auto coupling = [&](int j, int k) {
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            double row = dd[i] * v[k][i];
            if (i > 0) row += de[i - 1] * v[k][i - 1];
            if (i + 1 < n) row += de[i] * v[k][i + 1];
            sum += v[j][i] * row;
        }
        return sum;
    };
    std::vector<GaussSlope> slopes(n);
    for (int k = 0; k < n; ++k) {
        double first = 0.0; // v_k'[0]
        for (int j = 0; j < n; ++j)
            if (j != k) first += v[j][0] * coupling(j, k) / (lambda[k] - lambda[j]);
        slopes[k] = GaussSlope{.dx = coupling(k, k) / 2, .dw = 2 * v[k][0] * first};
    }
    return slopes;
}

} // namespace lumagnis::numerics
