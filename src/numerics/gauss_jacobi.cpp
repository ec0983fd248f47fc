#include "numerics/gauss_jacobi.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumagnis::numerics {

// The nodes are the eigenvalues of the orthonormal polynomials' three-term recurrence matrix
// (those of (1 + x)^a on [-1, 1], mapped to x' = (1 + x) / 2), and each weight is the square
// of the first component of its normalised eigenvector. The symmetric tridiagonal matrix is
// diagonalised by implicit QL iterations with shifts, carrying only the first row of the
// rotations.
std::vector<GaussNode> gauss_jacobi_power(int n, double a) {
    std::vector<double> d(n);
    std::vector<double> e(n, 0.0);
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
    std::vector<double> first(n, 0.0);
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
            if (iteration == 60) return {};
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
    std::vector<GaussNode> rule(n);
    for (int k = 0; k < n; ++k) rule[k] = GaussNode{.x = (1 + d[k]) / 2, .w = first[k] * first[k]};
    std::sort(rule.begin(), rule.end(),
              [](const GaussNode& p, const GaussNode& q) { return p.x < q.x; });
    return rule;
}

} // namespace lumagnis::numerics
