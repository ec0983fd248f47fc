#pragma once
// Forward-mode derivatives, and four independent values at once.
//
// DualT<T> is a value with its partial derivatives in two inputs, carried through + - * / and
// sqrt by the chain rule. Lanes4 is four doubles handled together: the quadratically
// convergent iterations of the elliptic integrals are chains of dependent divisions and
// square roots, and four independent chains side by side keep the processor busy where one
// would wait on each result. A formula written once as a template serves for double, Lanes4
// and their DualT; the value part of a DualT, and each lane of a Lanes4, is computed by the
// very operations of the double version, so its bits are the same.

#include <cmath>
#include <cstddef>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumagnis::numerics {

// Four doubles, element by element. A plain array, not a vector-extension type: the compiler
// vectorises what it can for the target at hand, and no wide-vector calling convention is
// assumed by the interface.
struct Lanes4 {
    static constexpr std::size_t size = 4;
    double x[size];
};

template <class Op> Lanes4 each(const Lanes4& a, const Lanes4& b, Op op) {
    return Lanes4{{op(a.x[0], b.x[0]), op(a.x[1], b.x[1]), op(a.x[2], b.x[2]), op(a.x[3], b.x[3])}};
}
inline Lanes4 splat(double x) { return Lanes4{{x, x, x, x}}; }

inline Lanes4 operator+(const Lanes4& a, const Lanes4& b) { return each(a, b, std::plus<>{}); }
inline Lanes4 operator-(const Lanes4& a, const Lanes4& b) { return each(a, b, std::minus<>{}); }
inline Lanes4 operator*(const Lanes4& a, const Lanes4& b) {
    return each(a, b, std::multiplies<>{});
}
inline Lanes4 operator/(const Lanes4& a, const Lanes4& b) { return each(a, b, std::divides<>{}); }
inline Lanes4 operator+(const Lanes4& a, double b) { return a + splat(b); }
inline Lanes4 operator+(double a, const Lanes4& b) { return splat(a) + b; }
inline Lanes4 operator-(const Lanes4& a, double b) { return a - splat(b); }
inline Lanes4 operator-(double a, const Lanes4& b) { return splat(a) - b; }
inline Lanes4 operator*(const Lanes4& a, double b) { return a * splat(b); }
inline Lanes4 operator*(double a, const Lanes4& b) { return splat(a) * b; }
inline Lanes4 operator/(const Lanes4& a, double b) { return a / splat(b); }
inline Lanes4 operator/(double a, const Lanes4& b) { return splat(a) / b; }

inline Lanes4 operator-(const Lanes4& a) { return Lanes4{{-a.x[0], -a.x[1], -a.x[2], -a.x[3]}}; }
// The packed square root is correctly rounded like the scalar one, and, unlike std::sqrt,
// needs no path for setting errno, which would keep the compiler from pairing the lanes.
inline Lanes4 sqrt(const Lanes4& a) {
#if defined(__SSE2__)
    Lanes4 r;
    _mm_storeu_pd(r.x, _mm_sqrt_pd(_mm_loadu_pd(a.x)));
    _mm_storeu_pd(r.x + 2, _mm_sqrt_pd(_mm_loadu_pd(a.x + 2)));
    return r;
#else
    return Lanes4{{std::sqrt(a.x[0]), std::sqrt(a.x[1]), std::sqrt(a.x[2]), std::sqrt(a.x[3])}};
#endif
}
inline double sqrt(double a) { return std::sqrt(a); }

template <class T> struct DualT {
    T v;
    T d0;
    T d1;
};
using Dual = DualT<double>;

template <class T> DualT<T> operator+(const DualT<T>& a, const DualT<T>& b) {
    return DualT<T>{a.v + b.v, a.d0 + b.d0, a.d1 + b.d1};
}
template <class T> DualT<T> operator-(const DualT<T>& a, const DualT<T>& b) {
    return DualT<T>{a.v - b.v, a.d0 - b.d0, a.d1 - b.d1};
}
template <class T> DualT<T> operator-(const DualT<T>& a) { return DualT<T>{-a.v, -a.d0, -a.d1}; }
template <class T> DualT<T> operator*(const DualT<T>& a, const DualT<T>& b) {
    return DualT<T>{a.v * b.v, a.d0 * b.v + a.v * b.d0, a.d1 * b.v + a.v * b.d1};
}
template <class T> DualT<T> operator/(const DualT<T>& a, const DualT<T>& b) {
    // The value as a double's quotient, to the bit; the slopes through one reciprocal.
    const T q = a.v / b.v;
    const T inv = 1.0 / b.v;
    return DualT<T>{q, (a.d0 - q * b.d0) * inv, (a.d1 - q * b.d1) * inv};
}
template <class T> DualT<T> operator+(const DualT<T>& a, double b) {
    return DualT<T>{a.v + b, a.d0, a.d1};
}
template <class T> DualT<T> operator+(double a, const DualT<T>& b) {
    return DualT<T>{a + b.v, b.d0, b.d1};
}
template <class T> DualT<T> operator-(const DualT<T>& a, double b) {
    return DualT<T>{a.v - b, a.d0, a.d1};
}
template <class T> DualT<T> operator-(double a, const DualT<T>& b) {
    return DualT<T>{a - b.v, -b.d0, -b.d1};
}
template <class T> DualT<T> operator*(const DualT<T>& a, double b) {
    return DualT<T>{a.v * b, a.d0 * b, a.d1 * b};
}
template <class T> DualT<T> operator*(double a, const DualT<T>& b) {
    return DualT<T>{a * b.v, a * b.d0, a * b.d1};
}
template <class T> DualT<T> operator/(const DualT<T>& a, double b) {
    return DualT<T>{a.v / b, a.d0 / b, a.d1 / b};
}
template <class T> DualT<T> operator/(double a, const DualT<T>& b) {
    // q / b through the reciprocal, which does not wait for q; for a = 1 the two quotients
    // are one.
    const T q = a / b.v;
    const T slope = q * (1.0 / b.v);
    return DualT<T>{q, -(slope * b.d0), -(slope * b.d1)};
}
template <class T> DualT<T> sqrt(const DualT<T>& a) {
    const T r = sqrt(a.v);
    const T half_inverse = 0.5 / r;
    return DualT<T>{r, a.d0 * half_inverse, a.d1 * half_inverse};
}

// A constant, with zero derivatives, in every lane.
template <class T> struct Constant;
template <> struct Constant<double> {
    static double make(double x) { return x; }
};
template <> struct Constant<Lanes4> {
    static Lanes4 make(double x) { return splat(x); }
};
template <class T> struct Constant<DualT<T>> {
    static DualT<T> make(double x) {
        return DualT<T>{Constant<T>::make(x), Constant<T>::make(0.0), Constant<T>::make(0.0)};
    }
};
template <class T> T constant(double x) { return Constant<T>::make(x); }

// Whether an iteration that stops once |a - b| <= tolerance * a must go on: in any lane, on the
// values alone (so that a DualT takes exactly the steps of its value).
inline bool apart(double a, double b, double tolerance) { return std::fabs(a - b) > a * tolerance; }
inline bool apart(const Lanes4& a, const Lanes4& b, double tolerance) {
    bool any = false;
    for (std::size_t i = 0; i < Lanes4::size; ++i) any = any || apart(a.x[i], b.x[i], tolerance);
    return any;
}
template <class T> bool apart(const DualT<T>& a, const DualT<T>& b, double tolerance) {
    return apart(a.v, b.v, tolerance);
}

// apart lane by lane, and what an iteration whose lanes stop each on its own needs of it
// (CelPair::step_each).
struct LaneMask4 {
    bool x[Lanes4::size];
};
inline LaneMask4 every_lane(const Lanes4&) { return LaneMask4{{true, true, true, true}}; }
inline LaneMask4 lanes_apart(const Lanes4& a, const Lanes4& b, double tolerance) {
    LaneMask4 m{};
    for (std::size_t i = 0; i < Lanes4::size; ++i) m.x[i] = apart(a.x[i], b.x[i], tolerance);
    return m;
}
inline LaneMask4 lanes_both(const LaneMask4& a, const LaneMask4& b) {
    LaneMask4 m{};
    for (std::size_t i = 0; i < Lanes4::size; ++i) m.x[i] = a.x[i] && b.x[i];
    return m;
}
inline bool lanes_any(const LaneMask4& m) { return m.x[0] || m.x[1] || m.x[2] || m.x[3]; }
// A DualT's lanes stop on its values' convergence, and carry their derivatives with them.
template <class T> auto lanes_apart(const DualT<T>& a, const DualT<T>& b, double tolerance) {
    return lanes_apart(a.v, b.v, tolerance);
}
template <class T, class Mask>
DualT<T> lanes_select(const Mask& m, const DualT<T>& a, const DualT<T>& b) {
    return DualT<T>{lanes_select(m, a.v, b.v), lanes_select(m, a.d0, b.d0),
                    lanes_select(m, a.d1, b.d1)};
}
inline Lanes4 lanes_select(const LaneMask4& m, const Lanes4& a, const Lanes4& b) {
    Lanes4 out{};
    for (std::size_t i = 0; i < Lanes4::size; ++i) out.x[i] = m.x[i] ? a.x[i] : b.x[i];
    return out;
}

} // namespace lumagnis::numerics
