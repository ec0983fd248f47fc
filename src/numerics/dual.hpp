#pragma once
// Forward-mode derivatives: a value with its partial derivatives in two inputs, carried
// through + - * / and sqrt by the chain rule. A formula written once as a template serves for
// double and for Dual; the value part of a Dual is computed by the very operations of the
// double version, so its bits are the same.

#include <cmath>

namespace lumagnis::numerics {

struct Dual {
    double v;
    double d0;
    double d1;
};

// A constant, with zero derivatives.
template <class T> T constant(double x);
template <> inline double constant<double>(double x) { return x; }
template <> inline Dual constant<Dual>(double x) { return Dual{x, 0.0, 0.0}; }

inline double value(double x) { return x; }
inline double value(const Dual& x) { return x.v; }

inline Dual operator+(const Dual& a, const Dual& b) {
    return Dual{a.v + b.v, a.d0 + b.d0, a.d1 + b.d1};
}
inline Dual operator-(const Dual& a, const Dual& b) {
    return Dual{a.v - b.v, a.d0 - b.d0, a.d1 - b.d1};
}
inline Dual operator-(const Dual& a) { return Dual{-a.v, -a.d0, -a.d1}; }
inline Dual operator*(const Dual& a, const Dual& b) {
    return Dual{a.v * b.v, a.d0 * b.v + a.v * b.d0, a.d1 * b.v + a.v * b.d1};
}
inline Dual operator/(const Dual& a, const Dual& b) {
    const double q = a.v / b.v;
    return Dual{q, (a.d0 - q * b.d0) / b.v, (a.d1 - q * b.d1) / b.v};
}
inline Dual operator+(const Dual& a, double b) { return Dual{a.v + b, a.d0, a.d1}; }
inline Dual operator+(double a, const Dual& b) { return Dual{a + b.v, b.d0, b.d1}; }
inline Dual operator-(const Dual& a, double b) { return Dual{a.v - b, a.d0, a.d1}; }
inline Dual operator-(double a, const Dual& b) { return Dual{a - b.v, -b.d0, -b.d1}; }
inline Dual operator*(const Dual& a, double b) { return Dual{a.v * b, a.d0 * b, a.d1 * b}; }
inline Dual operator*(double a, const Dual& b) { return Dual{a * b.v, a * b.d0, a * b.d1}; }
inline Dual operator/(const Dual& a, double b) { return Dual{a.v / b, a.d0 / b, a.d1 / b}; }
inline Dual operator/(double a, const Dual& b) {
    const double q = a / b.v;
    return Dual{q, -(q * b.d0) / b.v, -(q * b.d1) / b.v};
}

inline Dual sqrt(const Dual& a) {
    const double r = std::sqrt(a.v);
    const double half_inverse = 0.5 / r;
    return Dual{r, a.d0 * half_inverse, a.d1 * half_inverse};
}
inline double sqrt(double a) { return std::sqrt(a); }

} // namespace lumagnis::numerics
